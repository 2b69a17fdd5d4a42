// Bounds the output's blocking network calls: a stop, or the close budget,
// cuts a wait short so the worker can always be joined promptly.
//
// How long the output can block, by case:
// - A stop is pending: from the moment the output sees it, the output has
//   kStopGrace while it is still opening (nothing is published yet) and
//   kCloseBudget once the header is written, for everything that is left:
//   the packet being written, the trailer, the goodbye and the server's
//   close. FFmpeg asks every 100 ms while a socket wait blocks. What the
//   server has not taken when the time is up is dropped (DeliveryLedger),
//   and the run ends as a plain stop.
// - Nobody asks to stop and the server takes no data: the socket wait gives
//   up after the output's write stall time (kWriteStallTimeout, 15 s,
//   FFmpeg's rw_timeout), and the stream ends with "Unable to send RTMP
//   packet: Connection timed out" (during the open: "Unable to connect to
//   RTMP destination: ..."). A TCP connect gives up after FFmpeg's 5 s.
// - The close after a failure or at the stream's own end: kCloseBudget.
// Name resolution (getaddrinfo for a host name) is the one wait FFmpeg
// cannot interrupt; it is bounded only by the resolver's own time-outs.
#pragma once

#include <cstdint>

struct StreamControl;
struct DeliveryLedger;

// What the I/O interrupt callback of an open output looks at. Lives inside
// the RtmpOutput, so the output must stay in place while it is open.
struct OutputInterrupt {
  StreamControl *control;   // whose stop request starts the end; not owned
  DeliveryLedger *ledger;   // told when the time is up; not owned
  int64_t stop_allowance;   // µs a seen stop leaves the output
  int64_t deadline;         // 0, or when (av_gettime_relative) every wait is cut short
  uint32_t tripped;         // the deadline has cut the connection off
};

// A server that takes no data for this long ends the stream with
// "Unable to send RTMP packet: ..." instead of holding the worker.
inline constexpr int64_t kWriteStallTimeout = 15000000;  // µs

// What a stop leaves an output that is still connecting: nothing of the
// stream has gone out yet.
inline constexpr int64_t kStopGrace = 250000;  // µs

// What the end of a published stream may take: the packet being written,
// the trailer, the goodbye and the server's close. A stop, restart or
// SIGTERM stays within 2 s with it.
inline constexpr int64_t kCloseBudget = 1000000;  // µs

// FFmpeg's AVIOInterruptCB callback; `opaque` is an OutputInterrupt.
// Nonzero means "abandon the current operation".
int output_interrupt_check(void *opaque);

// Starts afresh for a new output that the stop requests of `control` end
// and whose deliveries `ledger` tracks; a stop leaves it kStopGrace.
void output_interrupt_watch(OutputInterrupt &interrupt, StreamControl &control,
                            DeliveryLedger &ledger);

// The header is written: from now on a stop leaves the output kCloseBudget.
void output_interrupt_published(OutputInterrupt &interrupt);

// Cuts every later wait short once `budget` µs have passed from now, or at
// the deadline already set if that comes first.
void output_interrupt_limit(OutputInterrupt &interrupt, int64_t budget);
