// The stand-in worker of fake_worker.h.
#include "tests/web/fake_worker.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "app/app_state.h"
#include "app/bounded_text.h"
#include "app/stream_control.h"

namespace {

std::mutex record_lock;
FakeWorkerRecord record;
std::atomic<int64_t> lifetime_us{0};
// Workers inside their running phase: entered under the stream lock while
// `running` is 1, left in the same locked section that clears it.
int in_running_phase = 0;  // guarded by the stream lock

}  // namespace

void fake_worker_set_lifetime(std::chrono::microseconds lifetime) { lifetime_us = lifetime.count(); }

FakeWorkerRecord fake_worker_record() {
  std::lock_guard guard(record_lock);
  return record;
}

void fake_worker_reset() {
  std::lock_guard guard(record_lock);
  record = {};
}

namespace {

template <typename Predicate>
bool wait_for_record(Predicate predicate, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate(fake_worker_record())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return predicate(fake_worker_record());
}

}  // namespace

bool fake_worker_wait_started(int count, std::chrono::milliseconds timeout) {
  return wait_for_record([count](const FakeWorkerRecord &r) { return r.started >= count; }, timeout);
}

bool fake_worker_wait_finished(int count, std::chrono::milliseconds timeout) {
  return wait_for_record([count](const FakeWorkerRecord &r) { return r.finished >= count; }, timeout);
}

void *stream_worker(void *data) {
  auto *request = static_cast<StreamRequest *>(data);
  bool overlapping, idle;
  {
    StreamLock lock;
    app_state.stream.last_error[0] = '\0';
    idle = app_state.stream.running != 1;
    overlapping = in_running_phase != 0;
    ++in_running_phase;
  }
  {
    std::lock_guard guard(record_lock);
    ++record.started;
    if (overlapping) ++record.overlapping;
    if (idle) ++record.started_while_idle;
    record.destination = request->destination;
    record.profile_name = request->profile_name;
    record.profile_parameters = request->profile_parameters;
    record.silent_audio = request->silent_audio;
    record.threads.insert(g_thread_self());
  }

  auto lifetime = std::chrono::microseconds(lifetime_us.load());
  auto end = std::chrono::steady_clock::now() + lifetime;
  bool ended_by_itself = false;
  for (;;) {
    {
      StreamLock lock;
      if (app_state.stream.stop_requested) break;
      ++app_state.stream.frames_sent;
    }
    if (lifetime.count() > 0 && std::chrono::steady_clock::now() >= end) {
      ended_by_itself = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  if (ended_by_itself) {
    StreamLock lock;
    copy_bounded(app_state.stream.last_error, "fake worker ended");
  }
  free_stream_request(request);
  {
    StreamLock lock;
    StreamControl &control = app_state.stream;
    control.running = 0;
    control.stop_requested = 0;
    control.current_bitrate = 0;
    if (!control.last_error[0]) copy_bounded(control.last_error, "Stream stopped.");
    control.destination[0] = '\0';
    --in_running_phase;
  }
  std::lock_guard guard(record_lock);
  ++record.finished;
  return nullptr;
}
