// Stream start, stop and reap on the process-wide StreamControl.
#include "app/stream_control.h"

#include <glib.h>
#include <malloc.h>
#include <syslog.h>

#include <cstring>

#include "app/bounded_text.h"

namespace {

bool has_rtmp_prefix(const char *destination) {
  return destination && std::strlen(destination) > 6 && std::strncmp(destination, "rtmp://", 7) == 0;
}

// Joins an ended or stopping worker, then hands what its run freed back to
// the system: the allocator keeps freed pages for reuse otherwise, and a
// stream's buffers are megabytes that the camera's video pipeline needs.
void join_worker(GThread *thread) {
  g_thread_join(thread);
  malloc_trim(0);
}

// Takes the worker handle out of the block; the caller joins it.
GThread *take_worker_locked() {
  GThread *thread = app_state.stream.worker_thread;
  app_state.stream.worker_thread = nullptr;
  return thread;
}

}  // namespace

void free_stream_request(StreamRequest *request) {
  if (!request) return;
  g_free(request->destination);
  g_free(request->profile_name);
  g_free(request->profile_parameters);
  g_free(request);
}

bool stream_start(const char *destination, const char *profile_name,
                  const char *profile_parameters, uint32_t silent_audio,
                  const char *log_message, char *message_out) {
  if (!has_rtmp_prefix(destination)) {
    copy_bounded(message_out, kMessageSize, "Destination must begin with rtmp://.");
    return false;
  }
  if (profile_name && profile_name[0] && (!profile_parameters || !profile_parameters[0])) {
    copy_bounded(message_out, kMessageSize, "Selected stream profile is missing parameters.");
    return false;
  }

  auto *request = g_new0(StreamRequest, 1);
  request->destination = g_strdup(destination);
  request->profile_name = g_strdup(profile_name ? profile_name : "");
  request->profile_parameters = g_strdup(profile_parameters ? profile_parameters : "");
  request->silent_audio = silent_audio;

  GThread *ended_worker = nullptr;
  {
    StreamLock lock;
    StreamControl &control = app_state.stream;
    if (control.running) {
      // unlock before freeing: nothing slow under the lock
    } else {
      // An ended worker that nobody reaped yet is joined below, so that no
      // handle is ever overwritten.
      ended_worker = take_worker_locked();
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

void stream_stop() {
  GThread *thread;
  {
    StreamLock lock;
    thread = take_worker_locked();
    if (thread) app_state.stream.stop_requested = 1;
  }
  if (thread) join_worker(thread);
}

void stream_reap() {
  GThread *thread = nullptr;
  {
    StreamLock lock;
    if (!app_state.stream.running) thread = take_worker_locked();
  }
  if (thread) join_worker(thread);
}
