// An encoded clip: one loop of the emulated camera's video, replayed by
// every stream of the same configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stream_setup.h"

namespace vdo_emulator {

struct ClipFrame {
  std::vector<uint8_t> bytes;  // Annex-B (4-byte start codes) or an AV1 temporal unit
  uint32_t type;
  bool key;
};

struct Clip {
  Codec codec;
  uint32_t width;
  uint32_t height;
  std::vector<ClipFrame> frames;  // pictures, starting with a keyframe
  // Per picture: the parameter sets a camera may also send as frames of
  // their own just before it (keyframes only; empty otherwise).
  std::vector<std::vector<ClipFrame>> parameter_frames;
  uint64_t picture_bytes;  // sum over `frames`
  int64_t encode_us;       // time spent encoding; 0 when loaded from disk
};

// Encodes `setup.clip_frames` frames of the test pattern with closed GOPs of
// `setup.gop_frames`. False with `error` when the encoder refuses.
bool encode_clip(const StreamSetup &setup, Clip &clip, std::string &error);

// Appends Annex-B NAL units (each with its own 3- or 4-byte start code, as
// encoders emit them) to `out`, rewriting every start code to 4 bytes.
void append_annexb_units(std::vector<uint8_t> &out, const uint8_t *data, size_t size);

// Fills clip.parameter_frames and clip.picture_bytes from clip.frames.
void index_clip(Clip &clip);

// Splits an Annex-B buffer into NAL units (without start codes).
struct NalUnit {
  const uint8_t *data;
  size_t size;
};
std::vector<NalUnit> split_annexb(const uint8_t *data, size_t size);

// Encoder quality for a compression 0..100: a constant-rate factor for the
// H.26x encoders and a quantiser level for AV1.
double h26x_rate_factor(uint32_t compression);
unsigned av1_quality_level(uint32_t compression);

}  // namespace vdo_emulator
