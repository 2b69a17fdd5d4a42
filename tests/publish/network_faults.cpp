// Misbehaving TCP peers on the loopback interface.
#include "tests/publish/network_faults.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace publish_test {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int listen_on(int port, int backlog, int receive_buffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receive_buffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in address = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
      listen(fd, backlog) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int connect_to(int port, bool blocking) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0) return -1;
  sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Caps TCP send buffers in this network namespace, so that a peer that
// stops reading blocks the sender for good; otherwise the kernel grows the
// sender's buffer at each zero-window probe and the writer wakes now and
// then. Only done in a private namespace (the tests' own), never in the
// host's: there /proc/1/ns/net is ours and readable.
void cap_send_buffers() {
  char own[64] = "", init[64] = "";
  const ssize_t own_length = readlink("/proc/self/ns/net", own, sizeof own - 1);
  const ssize_t init_length = readlink("/proc/1/ns/net", init, sizeof init - 1);
  if (own_length <= 0) return;
  if (init_length > 0 && std::strcmp(own, init) == 0) return;
  if (FILE *file = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "w")) {
    std::fputs("4096 16384 65536", file);
    std::fclose(file);
  }
}

}  // namespace

FullBacklogListener::FullBacklogListener(int port) {
  listener_ = listen_on(port, 0);
  if (listener_ < 0) return;
  // A backlog of 0 holds one established connection; the next SYNs wait in
  // the SYN queue or are dropped. Fill both with connections never accepted.
  for (int i = 0; i < 4; ++i) {
    int fd = connect_to(port, false);
    if (fd >= 0) fillers_.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ok_ = !fillers_.empty();
}

FullBacklogListener::~FullBacklogListener() {
  for (int fd : fillers_) close(fd);
  if (listener_ >= 0) close(listener_);
}

SilentServer::SilentServer(int port) { listener_ = listen_on(port, 16); }

SilentServer::~SilentServer() {
  if (listener_ >= 0) close(listener_);
}

StallingRelay::StallingRelay(int listen_port, int target_port) : target_port_(target_port) {
  cap_send_buffers();
  listener_ = listen_on(listen_port, 4, 4096);
  if (listener_ < 0) return;
  if (pipe2(wake_, O_CLOEXEC) < 0) {
    close(listener_);
    listener_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

StallingRelay::~StallingRelay() {
  if (thread_.joinable()) {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
  }
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
  if (listener_ >= 0) close(listener_);
}

void StallingRelay::run() {
  pollfd accept_fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  if (poll(accept_fds, 2, -1) <= 0 || accept_fds[1].revents) return;
  int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  int server = connect_to(target_port_, true);
  if (server < 0) {
    close(client);
    return;
  }
  char buffer[4096];
  for (;;) {
    const bool stalled = stalled_;
    pollfd fds[3] = {
        {server, POLLIN, 0}, {wake_[0], POLLIN, 0}, {client, short(stalled ? 0 : POLLIN), 0}};
    if (poll(fds, 3, stalled ? 100 : 20) < 0) break;
    if (fds[1].revents) break;
    if (fds[0].revents) {
      ssize_t n = read(server, buffer, sizeof buffer);
      if (n <= 0) break;
      if (write(client, buffer, static_cast<size_t>(n)) != n) break;
    }
    if (!stalled && fds[2].revents) {
      ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      client_bytes_ += static_cast<uint64_t>(n);
      if (write(server, buffer, static_cast<size_t>(n)) != n) break;
    }
  }
  // Hold the client's connection open (unread) until the relay goes away.
  pollfd wait_fd = {wake_[0], POLLIN, 0};
  poll(&wait_fd, 1, -1);
  close(server);
  close(client);
}

}  // namespace publish_test
