// What a stream request asks for, and what the emulated camera delivers for
// it once its limits and defaults are applied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "codecs.h"
#include "emulator_config.h"

namespace vdo_emulator {

// Camera rate-control modes of "rc.mode".
constexpr uint32_t RC_CBR = 0;
constexpr uint32_t RC_VBR = 1;
constexpr uint32_t RC_MBR = 2;
constexpr uint32_t RC_ABR = 3;

// How the clip encoder spends bits.
enum class EncoderRateMode { QUALITY, CBR, CAPPED_QUALITY, AVERAGE };

// The settings map's entries the emulator honours; absent ones are unset.
struct RequestedSettings {
  std::optional<uint32_t> format;
  std::optional<std::pair<uint32_t, uint32_t>> resolution;
  std::optional<double> framerate;
  std::optional<uint32_t> input;
  std::optional<uint32_t> channel;
  std::optional<uint32_t> compression;
  std::optional<uint32_t> rc_mode;
  std::optional<uint32_t> bitrate;
  std::optional<uint32_t> abr_target_bitrate;
  std::optional<bool> chunks;
};

// What the stream really delivers.
struct StreamSetup {
  Codec codec;
  uint32_t format;
  uint32_t width;
  uint32_t height;
  double fps;
  uint32_t fps_num;  // fps as a reduced fraction, for the encoders
  uint32_t fps_den;
  uint32_t input;
  uint32_t channel;
  uint32_t compression;  // 0..100, higher is smaller
  uint32_t rc_mode;      // as reported back
  EncoderRateMode rate_mode;
  uint32_t bitrate;  // bits per second the encoder aims at; 0 in QUALITY mode
  uint32_t gop_frames;
  uint32_t clip_frames;
  bool chunked;
};

// Error codes of the resolution (values of the VDO error domain).
enum class SetupError { NONE = 0, NOT_FOUND = 2, INVALID_ARGUMENT = 3 };

// Applies the camera's defaults and limits. Returns NONE and fills `setup`,
// or an error code with `message` for a request the camera refuses.
SetupError resolve_stream_setup(const RequestedSettings &request, const EmulatorConfig &config, StreamSetup &setup,
                                std::string &message);

// The size delivered for a request: aspect kept when shrunk to the limits,
// even dimensions, at least 16x16.
std::pair<uint32_t, uint32_t> fit_resolution(uint32_t width, uint32_t height, uint32_t max_width,
                                             uint32_t max_height);

// Nominal frame interval in microseconds of frame `n` from the first.
int64_t frame_offset_us(const StreamSetup &setup, uint64_t n);

}  // namespace vdo_emulator
