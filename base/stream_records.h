// The records one stream is made of: its control block under the stream
// lock, and the request one start hands to its worker.
#pragma once

#include <glib.h>

#include <cstdint>

#include "base/bounded_text.h"

// The one stream's control block; every field but `lock` is touched only
// while `lock` is held.
struct StreamControl {
  GMutex lock;
  GThread *worker_thread;  // the worker not joined yet; whoever takes it joins it
  uint32_t running;
  uint32_t stop_requested;
  uint64_t frames_sent;
  uint64_t bytes_sent;
  uint64_t last_packet_bytes;
  uint32_t current_bitrate;
  char profile_name[128];
  char destination[1024];
  char stream_details[1024];
  char profile_details[1024];
  char last_error[kMessageSize];
};

// What one start hands to its worker; the worker frees it (free_stream_request).
struct StreamRequest {
  char *destination;
  char *profile_name;
  char *profile_parameters;
  bool silent_audio;
  StreamControl *control;  // the block the run reports to; not the request's
};

// Frees a request and its three texts.
void free_stream_request(StreamRequest *request);
