// Clip helpers shared by the encoders: Annex-B framing, the parameter-set
// frames a camera sends before keyframes, quality mapping.
#include "clip.h"

#include <glib.h>

namespace vdo_emulator {
namespace {

// Position and length of the first start code at or after `from`, or size.
size_t next_start_code(const uint8_t *data, size_t size, size_t from, size_t &length) {
  for (size_t i = from; i + 3 <= size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0) continue;
    if (data[i + 2] == 1) {
      length = 3;
      return i;
    }
    if (i + 4 <= size && data[i + 2] == 0 && data[i + 3] == 1) {
      length = 4;
      return i;
    }
  }
  length = 0;
  return size;
}

ClipFrame parameter_frame(const NalUnit &unit, uint32_t type) {
  ClipFrame frame{{0, 0, 0, 1}, type, false};
  frame.bytes.insert(frame.bytes.end(), unit.data, unit.data + unit.size);
  return frame;
}

}  // namespace

std::vector<NalUnit> split_annexb(const uint8_t *data, size_t size) {
  std::vector<NalUnit> units;
  size_t length = 0;
  size_t at = next_start_code(data, size, 0, length);
  while (at < size) {
    size_t begin = at + length;
    size_t next_length = 0;
    size_t next = next_start_code(data, size, begin, next_length);
    if (next > begin) units.push_back(NalUnit{data + begin, next - begin});
    at = next;
    length = next_length;
  }
  return units;
}

void append_annexb_units(std::vector<uint8_t> &out, const uint8_t *data, size_t size) {
  for (const NalUnit &unit : split_annexb(data, size)) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.data, unit.data + unit.size);
  }
}

void index_clip(Clip &clip) {
  const CodecRow &row = codec_row(clip.codec);
  clip.picture_bytes = 0;
  clip.parameter_frames.assign(clip.frames.size(), {});
  for (size_t i = 0; i < clip.frames.size(); ++i) {
    const ClipFrame &frame = clip.frames[i];
    clip.picture_bytes += frame.bytes.size();
    // A codec without parameter-set frames (AV1) has no entries.
    if (!frame.key || !row.parameter_sets[0].frame_type) continue;
    for (const NalUnit &unit : split_annexb(frame.bytes.data(), frame.bytes.size())) {
      const uint8_t nal_type = (unit.data[0] >> row.nal_type_shift) & row.nal_type_mask;
      for (const ParameterSetFrame &set : row.parameter_sets) {
        if (set.frame_type && set.nal_type == nal_type)
          clip.parameter_frames[i].push_back(parameter_frame(unit, set.frame_type));
      }
    }
  }
}

double h26x_rate_factor(uint32_t compression) { return 18.0 + 0.25 * compression; }

unsigned av1_quality_level(uint32_t compression) { return 16 + (compression * 2) / 5; }

bool encode_clip(const StreamSetup &setup, Clip &clip, std::string &error) {
  clip = Clip{setup.codec, setup.width, setup.height, {}, {}, 0, 0};
  int64_t started = g_get_monotonic_time();
  if (!codec_row(setup.codec).encode(setup, clip, error)) return false;
  if (clip.frames.size() != setup.clip_frames || !clip.frames.front().key) {
    error = "the encoder did not deliver one frame per picture, starting with a keyframe";
    return false;
  }
  clip.encode_us = g_get_monotonic_time() - started;
  index_clip(clip);
  return true;
}

}  // namespace vdo_emulator
