// The codecs the emulated camera encodes, one row each: the "format" that
// asks for it, the frame types it delivers, its parameter sets and its
// encoder.
#pragma once

#include <cstdint>
#include <string>

namespace vdo_emulator {

struct StreamSetup;
struct Clip;

enum class Codec { H264, H265, AV1 };

// Frame type codes the camera reports.
constexpr uint32_t TYPE_H264_SPS = 1;
constexpr uint32_t TYPE_H264_PPS = 2;
constexpr uint32_t TYPE_H264_IDR = 4;
constexpr uint32_t TYPE_H264_I = 5;
constexpr uint32_t TYPE_H264_P = 6;
constexpr uint32_t TYPE_H264_B = 7;
constexpr uint32_t TYPE_H265_VPS = 9;
constexpr uint32_t TYPE_H265_SPS = 10;
constexpr uint32_t TYPE_H265_PPS = 11;
constexpr uint32_t TYPE_H265_IDR = 12;
constexpr uint32_t TYPE_H265_I = 13;
constexpr uint32_t TYPE_H265_P = 14;
constexpr uint32_t TYPE_H265_B = 15;
constexpr uint32_t TYPE_AV1_KEY = 22;
constexpr uint32_t TYPE_AV1_INTER = 23;

// A parameter set among a keyframe's NAL units, and the frame type it gets
// when the camera also sends it as a frame of its own.
struct ParameterSetFrame {
  uint8_t nal_type;
  uint32_t frame_type;  // 0: an unused entry
};

struct CodecRow {
  Codec codec;
  uint32_t format;  // the "format" setting that asks for it
  const char *name;  // in clip file names
  uint32_t first_picture_type, last_picture_type;  // the types its pictures get
  uint8_t nal_type_shift, nal_type_mask;  // NAL type = (first byte >> shift) & mask
  ParameterSetFrame parameter_sets[3];  // none for a codec without NAL units
  bool (*encode)(const StreamSetup &setup, Clip &clip, std::string &error);  // appends clip.frames
  std::string (*encoder_build)();  // the library's build: a clip of another is not reused
};

const CodecRow &codec_row(Codec codec);

// The row a "format" setting asks for; null for a format the camera lacks.
const CodecRow *codec_for_format(uint32_t format);

// The encoders behind the rows.
bool encode_h264(const StreamSetup &setup, Clip &clip, std::string &error);
bool encode_h265(const StreamSetup &setup, Clip &clip, std::string &error);
bool encode_av1(const StreamSetup &setup, Clip &clip, std::string &error);
std::string x264_build();
std::string x265_build();
std::string aom_build();

}  // namespace vdo_emulator
