// Test peers on a private system bus: the bus daemon itself and the
// platform's credential service answering GetCredentials.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/test_support.h"

namespace corvane_peers {

// A dbus-daemon with the tests' system-bus policy, listening on a socket in
// a temporary directory. start() points DBUS_SYSTEM_BUS_ADDRESS at it.
class SystemBus {
 public:
  SystemBus() = default;
  ~SystemBus();
  SystemBus(const SystemBus &) = delete;
  SystemBus &operator=(const SystemBus &) = delete;

  // Starts the daemon and waits until it accepts connections; false with
  // error() set when it does not.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void stop();
  const std::string &address() const { return address_; }
  const std::string &error() const { return error_; }

 private:
  std::unique_ptr<corvane_test::TempDir> dir_;
  std::unique_ptr<corvane_test::Child> daemon_;
  std::string address_;
  std::string error_;
};

// How the credential service answers GetCredentials.
enum class CredentialMode { GOOD, NO_COLON, ERROR, WRONG_TYPE };
const char *credential_mode_name(CredentialMode mode);

// The credential service process, owning com.axis.HTTPConf1 on `bus`.
class CredentialService {
 public:
  CredentialService(const SystemBus &bus, CredentialMode mode, std::string credential = "");
  ~CredentialService();
  CredentialService(const CredentialService &) = delete;
  CredentialService &operator=(const CredentialService &) = delete;

  // Waits until the service owns its name; false when it failed.
  bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // GetCredentials calls answered so far (each is recorded before its reply).
  int calls() const;
  // The account names the calls asked for, one per line.
  std::string call_log() const;
  std::string error_output() const;

 private:
  corvane_test::TempDir dir_;
  std::unique_ptr<corvane_test::Child> child_;
};

}  // namespace corvane_peers
