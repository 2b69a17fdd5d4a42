// Bounds the output's blocking network calls: a stop, or the close budget,
// cuts a wait short so the worker can always be joined promptly.
//
// How long the output can block, by case:
// - A stop is pending: any connect, handshake, header or packet write that
//   has run for kStopGrace is abandoned (FFmpeg checks every 100 ms), and
//   the run ends as a plain stop. The close then sends nothing more on the
//   stuck connection; on a working one it says goodbye as usual.
// - Nobody asks to stop and the server takes no data: the socket wait gives
//   up after the output's write stall time (kWriteStallTimeout, 15 s,
//   FFmpeg's rw_timeout), and the stream ends with "Unable to send RTMP
//   packet: Connection timed out" (during the open: "Unable to connect to
//   RTMP destination: ..."). A TCP connect gives up after FFmpeg's 5 s.
// - The close after a failure: the goodbye messages get kCloseBudget.
// Name resolution (getaddrinfo for a host name) is the one wait FFmpeg
// cannot interrupt; it is bounded only by the resolver's own time-outs.
#pragma once

#include <cstdint>

struct StreamControl;

// What the I/O interrupt callback of an open output looks at. Lives inside
// the RtmpOutput, so the output must stay in place while it is open.
struct OutputInterrupt {
  StreamControl *control;   // whose stop request cuts a wait short; not owned
  int64_t operation_start;  // av_gettime_relative() when the current network operation began
  int64_t deadline;         // 0, or the time after which every wait is cut short
  uint32_t tripped;         // an operation was abandoned: the connection is stuck
};

// A server that takes no data for this long ends the stream with
// "Unable to send RTMP packet: ..." instead of holding the worker.
inline constexpr int64_t kWriteStallTimeout = 15000000;  // µs

// A pending stop abandons an operation that has been running this long;
// a healthy packet write finishes well within it, so stops do not cut
// packets in half on a working connection.
inline constexpr int64_t kStopGrace = 250000;  // µs

// Time the close may spend on a connection that no longer takes data.
inline constexpr int64_t kCloseBudget = 1000000;  // µs

// FFmpeg's AVIOInterruptCB callback; `opaque` is an OutputInterrupt.
// Nonzero means "abandon the current operation".
int output_interrupt_check(void *opaque);

// Starts afresh for a new output that the stop requests of `control` interrupt.
void output_interrupt_watch(OutputInterrupt &interrupt, StreamControl &control);

// Marks the start of a network operation (open, packet write, close).
void output_interrupt_begin(OutputInterrupt &interrupt);

// Cuts every later wait short once `budget` µs have passed from now.
void output_interrupt_limit(OutputInterrupt &interrupt, int64_t budget);
