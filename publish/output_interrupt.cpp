// Interrupt callback for the RTMP output's sockets: stop requests and the close budget.
#include "publish/output_interrupt.h"

#include "base/mutex_lock.h"
#include "base/stream_records.h"

extern "C" {
#include <libavutil/time.h>
}

// FFmpeg calls this before every socket transfer and every 100 ms while a
// socket wait blocks (connect, handshake reads, writes to a full socket).
// The common path is one short locked read of the stop flag.
int output_interrupt_check(void *opaque) {
  auto *interrupt = static_cast<OutputInterrupt *>(opaque);
  if (interrupt->deadline && av_gettime_relative() >= interrupt->deadline) {
    interrupt->tripped = 1;
    return 1;
  }
  bool stop;
  {
    MutexLock lock(interrupt->control->lock);
    stop = interrupt->control->stop_requested != 0;
  }
  if (!stop || av_gettime_relative() - interrupt->operation_start < kStopGrace) return 0;
  interrupt->tripped = 1;
  return 1;
}

void output_interrupt_watch(OutputInterrupt &interrupt, StreamControl &control) {
  interrupt = OutputInterrupt{};
  interrupt.control = &control;
}

void output_interrupt_begin(OutputInterrupt &interrupt) {
  interrupt.operation_start = av_gettime_relative();
}

void output_interrupt_limit(OutputInterrupt &interrupt, int64_t budget) {
  interrupt.deadline = av_gettime_relative() + budget;
}
