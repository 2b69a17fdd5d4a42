// Interrupt callback for the RTMP output's sockets: stop requests and the close budget.
#include "publish/output_interrupt.h"

#include "base/mutex_lock.h"
#include "base/stream_records.h"
#include "publish/delivery_ledger.h"

extern "C" {
#include <libavutil/time.h>
}

// FFmpeg calls this before every socket transfer and every 100 ms while a
// socket wait blocks (connect, handshake reads, writes to a full socket,
// the wait for the server's close). Until a deadline is set the common path
// is one short locked read of the stop flag.
int output_interrupt_check(void *opaque) {
  auto *interrupt = static_cast<OutputInterrupt *>(opaque);
  const int64_t now = av_gettime_relative();
  if (!interrupt->deadline) {
    MutexLock lock(interrupt->control->lock);
    if (!interrupt->control->stop_requested) return 0;
    interrupt->deadline = now + interrupt->stop_allowance;
  }
  if (now < interrupt->deadline) return 0;
  if (!interrupt->tripped) {
    interrupt->tripped = 1;
    delivery_ledger_cut(*interrupt->ledger);
  }
  return 1;
}

void output_interrupt_watch(OutputInterrupt &interrupt, StreamControl &control,
                            DeliveryLedger &ledger) {
  interrupt = OutputInterrupt{};
  interrupt.control = &control;
  interrupt.ledger = &ledger;
  interrupt.stop_allowance = kStopGrace;
}

void output_interrupt_published(OutputInterrupt &interrupt) {
  interrupt.stop_allowance = kCloseBudget;
}

void output_interrupt_limit(OutputInterrupt &interrupt, int64_t budget) {
  const int64_t deadline = av_gettime_relative() + budget;
  if (!interrupt.deadline || deadline < interrupt.deadline) interrupt.deadline = deadline;
}
