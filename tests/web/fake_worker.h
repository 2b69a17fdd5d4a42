// A stand-in "rtmp-stream" worker for in-process tests of the control plane.
// A binary that links fake_worker.cpp supplies its own `stream_worker`, so
// the linker does not take the real one from corvane_core.
//
// It keeps the real worker's obligations towards StreamControl (empties
// last_error first, polls stop_requested, final write-back) and records what
// it saw, so tests can check who ran, with which request, and that no two
// ever held the running phase at once.
#pragma once

#include <glib.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>

struct FakeWorkerRecord {
  int started = 0;
  int finished = 0;
  int overlapping = 0;  // workers that began while another was still running
  int started_while_idle = 0;  // workers that found running clear: a broken start
  std::string destination, profile_name, profile_parameters;
  uint32_t silent_audio = 0;
  std::set<GThread *> threads;  // every worker thread ever started
};

// How long a worker runs before it ends by itself with "fake worker ended";
// zero (the default) runs until stopped.
void fake_worker_set_lifetime(std::chrono::microseconds lifetime);
FakeWorkerRecord fake_worker_record();
void fake_worker_reset();
// Waits until `count` workers have started (recorded their request).
bool fake_worker_wait_started(int count, std::chrono::milliseconds timeout);
// Waits until `count` workers have finished their final write-back.
bool fake_worker_wait_finished(int count, std::chrono::milliseconds timeout);
