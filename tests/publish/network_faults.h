// Misbehaving network peers for the publisher's bounded-wait tests: a
// listener whose accept queue is full (connects hang), a server that
// accepts and never answers, and a relay that stops reading on request.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace publish_test {

// Listens on 127.0.0.1:port with a full accept queue: further SYNs are
// dropped, so a connect stays pending.
class FullBacklogListener {
 public:
  explicit FullBacklogListener(int port);
  ~FullBacklogListener();
  bool ok() const { return ok_; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  bool ok_ = false;
};

// Accepts connections on 127.0.0.1:port (the kernel completes the TCP
// handshake) and never sends or reads a byte.
class SilentServer {
 public:
  explicit SilentServer(int port);
  ~SilentServer();
  bool ok() const { return listener_ >= 0; }

 private:
  int listener_ = -1;
};

// Relays one connection from 127.0.0.1:listen_port to 127.0.0.1:target_port
// until stall(); from then on it reads nothing from the client, whose
// writes soon block for good. Small socket buffers (a small receive buffer
// here, send buffers capped in the tests' own network namespace) make that
// happen quickly.
class StallingRelay {
 public:
  StallingRelay(int listen_port, int target_port);
  ~StallingRelay();
  bool ok() const { return listener_ >= 0; }
  void stall() { stalled_ = true; }
  uint64_t client_bytes() const { return client_bytes_; }

 private:
  void run();
  int listener_ = -1;
  int target_port_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stalled_{false};
  std::atomic<uint64_t> client_bytes_{0};
  std::thread thread_;
};

}  // namespace publish_test
