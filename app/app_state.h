// Process-wide state: the stream control block, the parameter handle, the
// identity cache. The process entry holds the program's one instance, with
// static storage, and hands it to what works on it.
#pragma once

#include <glib.h>

#include <cstdint>

#include "device/identity_warnings.h"

#include "axparameter.h"

inline constexpr std::size_t kMessageSize = 512;  // refusal and worker messages

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
  uint32_t silent_audio;
  StreamControl *control;  // the block the run reports to; not the request's
};

struct DeviceIdentity {
  char serial_number[32];
  char device_model[128];
  char os_version[64];
  char chip[64];
  char architecture[32];
};

struct AppState {
  StreamControl stream;
  AXParameter *parameters;  // none when the platform refused the handle
  uint32_t curl_ready;
  GMutex identity_lock;
  DeviceIdentity identity_cache;
  bool identity_cached;
  RepeatedWarnings identity_warnings;  // under identity_lock
};
