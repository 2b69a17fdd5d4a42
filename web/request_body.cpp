// A body read with one deadline. CivetWeb's mg_read waits up to the request
// time-out for each piece and starts again whenever a byte arrives, so a
// client sending one byte every few seconds would hold a server thread for
// as long as it liked. A watcher thread shuts the socket's receiving side
// when the deadline passes; the waiting read then sees the end of input.
#include "web/request_body.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// The address of one end of a TCP socket as text and port.
bool socket_end(int fd, bool peer, char (&address)[INET6_ADDRSTRLEN], int &port) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  auto *any = reinterpret_cast<sockaddr *>(&storage);
  if ((peer ? getpeername(fd, any, &size) : getsockname(fd, any, &size)) != 0) return false;
  if (storage.ss_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&storage);
    port = ntohs(v4->sin_port);
    return inet_ntop(AF_INET, &v4->sin_addr, address, sizeof address) != nullptr;
  }
  if (storage.ss_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&storage);
    port = ntohs(v6->sin6_port);
    return inet_ntop(AF_INET6, &v6->sin6_addr, address, sizeof address) != nullptr;
  }
  return false;
}

// CivetWeb hands a handler no socket; the connection's own is the one whose
// ends are the request's server port and client address. It stays open until
// the handler returns. -1 when none matches.
int connection_socket(const mg_connection *conn) {
  const mg_request_info *info = mg_get_request_info(conn);
  if (!info) return -1;
  DIR *fds = opendir("/proc/self/fd");
  if (!fds) return -1;
  int found = -1;
  while (const dirent *entry = readdir(fds)) {
    char *end;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (*end || end == entry->d_name || fd == dirfd(fds)) continue;
    char address[INET6_ADDRSTRLEN];
    int port;
    if (!socket_end(static_cast<int>(fd), false, address, port) || port != info->server_port) continue;
    if (!socket_end(static_cast<int>(fd), true, address, port) || port != info->remote_port ||
        std::strcmp(address, info->remote_addr) != 0)
      continue;
    found = static_cast<int>(fd);
    break;
  }
  closedir(fds);
  return found;
}

// Shuts the socket's receiving side at the deadline, unless the read is done first.
struct BodyWatch {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  int socket = -1;
  std::chrono::steady_clock::time_point deadline;
};

void watch_body(BodyWatch &watch) {
  std::unique_lock guard(watch.lock);
  if (!watch.finished.wait_until(guard, watch.deadline, [&] { return watch.done; })) {
    // Under the lock: the handler has not returned, so the socket is still its own.
    shutdown(watch.socket, SHUT_RD);
  }
}

}  // namespace

std::size_t read_request_body(mg_connection *conn, char *body, std::size_t length,
                              int64_t deadline) {
  BodyWatch watch;
  watch.socket = connection_socket(conn);
  watch.deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(deadline);
  std::thread watcher;
  if (watch.socket >= 0) {
    try {
      watcher = std::thread(watch_body, std::ref(watch));
    } catch (const std::system_error &) {
      // No thread to spare: the read goes on without its deadline.
    }
  }

  std::size_t received = 0;
  while (received < length) {
    const int n = mg_read(conn, body + received, length - received);
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
  }

  if (watcher.joinable()) {
    {
      std::lock_guard guard(watch.lock);
      watch.done = true;
    }
    watch.finished.notify_one();
    watcher.join();
  }
  return received;
}
