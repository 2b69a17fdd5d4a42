// Test peer: the camera's device-information API on 127.0.0.12:80. It checks
// each request (method, path, Basic credential, content type, body) and
// answers with whatever reply the test has set, counting requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace corvane_peers {

inline constexpr const char *kDeviceInfoPath = "/axis-cgi/basicdeviceinfo.cgi";
inline constexpr const char *kDeviceInfoRequestBody =
    "{\"apiVersion\":\"1.3\",\"method\":\"getAllProperties\"}";

struct DeviceInfoReply {
  int status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};  // before the answer is sent
};

struct ReceivedRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string rejection;  // why the server refused it; empty when it was served
};

class DeviceInfoServer {
 public:
  // `credential` is the "user:password" the server accepts.
  explicit DeviceInfoServer(std::string credential, std::string address = "127.0.0.12", int port = 80);
  ~DeviceInfoServer();
  DeviceInfoServer(const DeviceInfoServer &) = delete;
  DeviceInfoServer &operator=(const DeviceInfoServer &) = delete;

  // Binds and starts serving; false with error() set when the address
  // cannot be bound (not root, or no network namespace of our own).
  bool start();
  const std::string &error() const { return error_; }

  void set_reply(DeviceInfoReply reply);
  // Requests received (served or refused) since start or the last reset().
  int requests() const;
  void reset();
  ReceivedRequest last_request() const;

 private:
  void serve();
  void handle(int connection);
  std::string address_;
  int port_;
  std::string credential_;
  std::string error_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  bool stopping_ = false;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  DeviceInfoReply reply_;
  int requests_ = 0;
  ReceivedRequest last_;
  std::thread thread_;
};

}  // namespace corvane_peers
