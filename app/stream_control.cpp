// Stream start, stop and reap on the stream's StreamControl.
#include "app/stream_control.h"

#include <glib.h>
#include <malloc.h>
#include <syslog.h>

#include <cstring>

#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "capture/stream_worker.h"

namespace {

// Joins an ended or stopping worker, then hands what its run freed back to
// the system: the allocator keeps freed pages for reuse otherwise, and a
// stream's buffers are megabytes that the camera's video pipeline needs.
void join_worker(GThread *thread) {
  g_thread_join(thread);
  malloc_trim(0);
}

// Takes the worker handle out of the block; the caller joins it.
GThread *take_worker_locked(StreamControl &control) {
  GThread *thread = control.worker_thread;
  control.worker_thread = nullptr;
  return thread;
}

}  // namespace

const char *stream_choice_refusal(const char *destination, const char *profile_name,
                                  const char *profile_parameters) {
  // Lower case only: "RTMP://" and "rtmps://" are refused.
  if (!destination || std::strlen(destination) <= 6 || std::strncmp(destination, "rtmp://", 7) != 0)
    return "Destination must begin with rtmp://.";
  if (profile_name && profile_name[0] && (!profile_parameters || !profile_parameters[0]))
    return "Selected stream profile is missing parameters.";
  return nullptr;
}

bool stream_start(StreamControl &control, const char *destination, const char *profile_name,
                  const char *profile_parameters, bool silent_audio, const char *log_message,
                  char *message_out) {
  if (const char *refusal = stream_choice_refusal(destination, profile_name, profile_parameters)) {
    copy_bounded(message_out, kMessageSize, refusal);
    return false;
  }

  auto *request = g_new0(StreamRequest, 1);
  request->destination = g_strdup(destination);
  request->profile_name = g_strdup(profile_name ? profile_name : "");
  request->profile_parameters = g_strdup(profile_parameters ? profile_parameters : "");
  request->silent_audio = silent_audio;
  request->control = &control;

  GThread *ended_worker = nullptr;
  {
    MutexLock lock(control.lock);
    if (control.running) {
      // unlock before freeing: nothing slow under the lock
    } else {
      // An ended worker that nobody reaped yet is joined below, so that no
      // handle is ever overwritten.
      ended_worker = take_worker_locked(control);
      control.frames_sent = 0;
      control.bytes_sent = 0;
      control.last_packet_bytes = 0;
      control.current_bitrate = 0;
      copy_bounded(control.profile_name, profile_name);
      copy_bounded(control.destination, destination);
      control.running = 1;
      control.stop_requested = 0;
      control.stream_details[0] = '\0';
      control.profile_details[0] = '\0';
      control.last_error[0] = '\0';
      // The worker owns the request from here on.
      control.worker_thread = g_thread_new("rtmp-stream", stream_worker, request);
      request = nullptr;
    }
  }
  if (ended_worker) join_worker(ended_worker);
  if (request) {
    free_stream_request(request);
    copy_bounded(message_out, kMessageSize, "Stream is already running.");
    return false;
  }
  syslog(LOG_INFO, "%s", log_message);
  return true;
}

void stream_stop(StreamControl &control) {
  GThread *thread;
  {
    MutexLock lock(control.lock);
    thread = take_worker_locked(control);
    if (thread) control.stop_requested = 1;
  }
  if (thread) join_worker(thread);
}

void stream_reap(StreamControl &control) {
  GThread *thread = nullptr;
  {
    MutexLock lock(control.lock);
    if (!control.running) thread = take_worker_locked(control);
  }
  if (thread) join_worker(thread);
}
