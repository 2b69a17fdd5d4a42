// A stream profile's parameter text, parsed into typed, flagged values.
#pragma once

#include <cstdint>

#include "base/video_format.h"

enum RateControlMode : uint32_t {
  RATE_CONTROL_CBR = 0,
  RATE_CONTROL_VBR = 1,
  RATE_CONTROL_MBR = 2,
  RATE_CONTROL_ABR = 3,
  RATE_CONTROL_NONE = 4294967295u,
};

// Every understood key has a presence flag; while it is 0 the value stays zero.
struct StreamProfileConfig {
  uint32_t has_camera, camera;
  uint32_t has_channel, channel;
  uint32_t has_resolution, width, height;
  uint32_t has_fps;
  double fps;
  uint32_t has_compression, compression;
  uint32_t has_codec;
  VideoCodecKind codec;
  char codec_label[32];
  uint32_t has_h264_profile;
  char h264_profile[32];
  uint32_t has_keyframe_interval, keyframe_interval;
  uint32_t has_audio;
  char audio[16];
  uint32_t has_overlays;
  char overlays[64];
  uint32_t has_bitrate, bitrate;
  uint32_t has_max_bitrate, max_bitrate;
  uint32_t has_abr_target, abr_target;
  uint32_t has_rate_control;
  RateControlMode rate_control;
};

// Parses `parameters` (may be null or empty) into a zeroed `config`. On
// failure writes the message into `error_text` (kMessageSize bytes).
bool parse_stream_profile(const char *parameters, StreamProfileConfig &config, char *error_text);

bool parse_uint_in_range(const char *text, uint64_t min, uint64_t max, uint32_t *out);
bool parse_bitrate(const char *text, bool in_kbps, uint32_t *out);
