// A one-connection-at-a-time HTTP/1.1 server for the device-information API.
#include "tests/peers/device_info_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane_peers {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string trim(const std::string &text) {
  std::size_t first = text.find_first_not_of(" \t");
  std::size_t last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Reads until the predicate holds or the peer stops sending (2 s of silence).
template <typename Done>
bool read_until(int fd, std::string &data, Done done) {
  char chunk[4096];
  while (!done()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

void send_all(int fd, const std::string &data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

const char *reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

std::string response(int status, const std::string &body, const std::string &extra_headers = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extra_headers + "\r\n" + body;
}

}  // namespace

DeviceInfoServer::DeviceInfoServer(std::string credential, std::string address, int port)
    : address_(std::move(address)), port_(port), credential_(std::move(credential)) {}

DeviceInfoServer::~DeviceInfoServer() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    stopped_.notify_all();
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int fd : {listener_, wake_[0], wake_[1]})
    if (fd >= 0) close(fd);
}

bool DeviceInfoServer::start() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(static_cast<uint16_t>(port_));
  inet_pton(AF_INET, address_.c_str(), &bound.sin_addr);
  if (bind(listener_, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0 ||
      listen(listener_, 16) != 0) {
    error_ = "cannot listen on " + address_ + ":" + std::to_string(port_) + ": " + std::strerror(errno);
    return false;
  }
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

void DeviceInfoServer::set_reply(DeviceInfoReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = std::move(reply);
}

int DeviceInfoServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void DeviceInfoServer::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_ = 0;
  last_ = {};
  reply_ = {};
}

ReceivedRequest DeviceInfoServer::last_request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

void DeviceInfoServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    close(connection);
  }
}

void DeviceInfoServer::handle(int connection) {
  std::string data;
  if (!read_until(connection, data, [&] { return data.find("\r\n\r\n") != std::string::npos; })) return;
  std::size_t head_end = data.find("\r\n\r\n");
  ReceivedRequest request;
  std::string head = data.substr(0, head_end);
  std::size_t line_end = head.find("\r\n");
  std::string request_line = head.substr(0, line_end);
  std::size_t space1 = request_line.find(' ');
  std::size_t space2 = request_line.find(' ', space1 + 1);
  request.method = request_line.substr(0, space1);
  request.target = request_line.substr(space1 + 1, space2 - space1 - 1);
  std::size_t at = line_end;
  while (at != std::string::npos && at < head.size()) {
    std::size_t next = head.find("\r\n", at + 2);
    std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) request.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    at = next;
  }
  std::size_t length = 0;
  if (request.headers.count("content-length")) length = std::stoul(request.headers["content-length"]);
  std::size_t body_start = head_end + 4;
  read_until(connection, data, [&] { return data.size() >= body_start + length; });
  request.body = data.substr(body_start, length);

  gchar *encoded = g_base64_encode(reinterpret_cast<const guchar *>(credential_.data()), credential_.size());
  std::string expected_auth = std::string("Basic ") + encoded;
  g_free(encoded);

  if (request.method != "POST") request.rejection = "method " + request.method;
  else if (request.target != kDeviceInfoPath) request.rejection = "path " + request.target;
  else if (request.headers["authorization"] != expected_auth) request.rejection = "credential";
  else if (request.headers["content-type"] != "application/json") request.rejection = "content type";
  else if (request.body != kDeviceInfoRequestBody) request.rejection = "body";

  DeviceInfoReply reply;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++requests_;
    last_ = request;
    reply = reply_;
    if (reply.delay.count() > 0 && stopped_.wait_for(lock, reply.delay, [this] { return stopping_; })) return;
  }
  if (request.rejection == "credential") {
    send_all(connection, response(401, "", "WWW-Authenticate: Basic realm=\"device\"\r\n"));
  } else if (!request.rejection.empty()) {
    send_all(connection, response(400, "{\"error\":\"" + request.rejection + "\"}"));
  } else {
    send_all(connection, response(reply.status, reply.body));
  }
}

}  // namespace corvane_peers
