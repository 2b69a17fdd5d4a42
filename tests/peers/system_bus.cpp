// Starts the private system bus and the credential service for tests.
#include "tests/peers/system_bus.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace corvane_peers {

namespace {

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

SystemBus::~SystemBus() { stop(); }

bool SystemBus::start(std::chrono::milliseconds timeout) {
  dir_ = std::make_unique<corvane_test::TempDir>();
  std::string socket = dir_->file("system_bus_socket");
  std::string out = dir_->file("daemon.txt");
  daemon_ = std::make_unique<corvane_test::Child>(
      std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--nosyslog",
                               "--config-file=" CORVANE_SYSTEM_BUS_CONF, "--address=unix:path=" + socket,
                               "--print-address=1"},
      out);
  // The daemon prints its address once it listens.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string printed = read_text(out);
    if (printed.find('\n') != std::string::npos) {
      address_ = printed.substr(0, printed.find('\n'));
      setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
      return true;
    }
    if (!daemon_->running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = "dbus-daemon did not start: " + read_text(out + ".err");
  return false;
}

void SystemBus::stop() {
  if (daemon_) daemon_->stop(SIGTERM, std::chrono::seconds(5));
  daemon_.reset();
}

const char *credential_mode_name(CredentialMode mode) {
  switch (mode) {
    case CredentialMode::GOOD: return "good";
    case CredentialMode::NO_COLON: return "no-colon";
    case CredentialMode::ERROR: return "error";
    case CredentialMode::WRONG_TYPE: return "wrong-type";
  }
  return "error";
}

CredentialService::CredentialService(const SystemBus &bus, CredentialMode mode, std::string credential) {
  std::vector<std::string> argv{CORVANE_CREDENTIAL_SERVICE, bus.address(), credential_mode_name(mode)};
  if (!credential.empty()) argv.push_back(credential);
  child_ = std::make_unique<corvane_test::Child>(argv, dir_.file("service.txt"));
}

CredentialService::~CredentialService() {
  if (child_) child_->stop(SIGTERM, std::chrono::seconds(5));
}

bool CredentialService::wait_ready(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_text(dir_.file("service.txt")).find("ready\n") != std::string::npos) return true;
    if (!child_->running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string CredentialService::call_log() const {
  std::string text = read_text(dir_.file("service.txt"));
  std::string calls;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("GetCredentials ", 0) == 0) calls += line.substr(15) + "\n";
  return calls;
}

int CredentialService::calls() const {
  std::string log = call_log();
  int count = 0;
  for (char c : log) count += c == '\n';
  return count;
}

std::string CredentialService::error_output() const {
  return read_text(dir_.file("service.txt.err"));
}

}  // namespace corvane_peers
