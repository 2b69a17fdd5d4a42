// Bounds the output's blocking network calls: a stop, or the close budget,
// cuts a wait short so the worker can always be joined promptly.
#pragma once

#include <cstdint>

#include "publish/rtmp_output.h"

// A pending stop abandons an operation that has been running this long;
// a healthy packet write finishes well within it, so stops do not cut
// packets in half on a working connection.
inline constexpr int64_t kStopGrace = 250000;  // µs

// Time the close may spend on a connection that no longer takes data.
inline constexpr int64_t kCloseBudget = 1000000;  // µs

// FFmpeg's AVIOInterruptCB callback; `opaque` is an OutputInterrupt.
// Nonzero means "abandon the current operation".
int output_interrupt_check(void *opaque);

// Marks the start of a network operation (open, packet write, close).
void output_interrupt_begin(OutputInterrupt &interrupt);

// Cuts every later wait short once `budget` µs have passed from now.
void output_interrupt_limit(OutputInterrupt &interrupt, int64_t budget);
