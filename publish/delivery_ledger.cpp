// Delivery ledger: where the counted frames end on the connection, what the
// server has acknowledged, and the cut that drops the rest.
#include "publish/delivery_ledger.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace {

// Kernel TCP states in which our FIN is queued and not yet acknowledged: it
// takes one place in the send queue without being data.
constexpr uint8_t kTcpFinWait1 = 4;
constexpr uint8_t kTcpLastAck = 9;
constexpr uint8_t kTcpClosing = 11;

struct SocketProgress {
  uint64_t acknowledged;  // bytes the server has acknowledged since the connection began
  uint64_t queued;        // bytes written and not acknowledged yet
};

// Read in this order, a byte acknowledged between the two reads is counted
// twice: a frame's end is then placed later than it is, never earlier, so a
// frame is never taken for delivered too soon.
bool read_progress(int socket, SocketProgress &progress) {
  int queued = 0;
  if (ioctl(socket, SIOCOUTQ, &queued) < 0 || queued < 0) return false;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) < 0) return false;
  // Kernels before 4.2 do not report the acknowledged bytes.
  if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return false;
  const bool fin_queued = info.tcpi_state == kTcpFinWait1 || info.tcpi_state == kTcpLastAck ||
                          info.tcpi_state == kTcpClosing;
  progress.acknowledged = info.tcpi_bytes_acked;
  progress.queued = static_cast<uint64_t>(queued) - (fin_queued && queued > 0 ? 1 : 0);
  return true;
}

}  // namespace

void delivery_ledger_start(DeliveryLedger &ledger, int socket) {
  ledger = DeliveryLedger{};
  SocketProgress progress;
  ledger.socket = socket >= 0 && read_progress(socket, progress) ? socket : -1;
}

void delivery_ledger_add_frame(DeliveryLedger &ledger) {
  SocketProgress progress;
  if (ledger.socket < 0 || !read_progress(ledger.socket, progress)) return;
  forget_acknowledged(ledger.frame_ends, progress.acknowledged);
  ledger.frame_ends.push_back(progress.acknowledged + progress.queued);
}

void delivery_ledger_cut(DeliveryLedger &ledger) {
  SocketProgress progress;
  if (ledger.cut || ledger.socket < 0 || !read_progress(ledger.socket, progress)) return;
  if (progress.queued == 0) return;  // everything arrived: the close goes on as usual
  // Dissolving the association resets the connection now and empties its
  // queues, so nothing more leaves after the count; the socket stays open
  // for FFmpeg, which closes it as usual.
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  connect(ledger.socket, &unspecified, sizeof unspecified);
  ledger.cut = true;
  ledger.dropped_bytes = progress.queued;
  ledger.dropped_frames = forget_acknowledged(ledger.frame_ends, progress.acknowledged);
}

std::size_t forget_acknowledged(std::deque<uint64_t> &frame_ends, uint64_t acknowledged) {
  while (!frame_ends.empty() && frame_ends.front() <= acknowledged) frame_ends.pop_front();
  return frame_ends.size();
}
