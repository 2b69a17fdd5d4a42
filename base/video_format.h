// The video codecs the program publishes, one row of facts each. Every
// place that treats H.264, H.265 and AV1 differently reads its row here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "vdo.h"

enum VideoCodecKind : uint32_t {
  VIDEO_CODEC_H264 = 0,
  VIDEO_CODEC_H265 = 1,
  VIDEO_CODEC_AV1 = 2,
};

// A few of the camera's frame type codes; unused places hold
// VDO_FRAME_TYPE_NONE, which no frame matches.
struct FrameTypes {
  VdoFrameType types[4];
};

// How the parameter sets are told apart among a frame's NAL units.
struct ParameterSetSyntax {
  std::size_t header_size;  // units shorter than the NAL header are ignored
  uint8_t type_shift;       // NAL type = (first byte >> type_shift) & type_mask
  uint8_t type_mask;
  // NAL types; -1 where the codec has no such set (the output then does
  // not wait for it).
  int vps_type;
  int sps_type;
  int pps_type;
  // Frames the camera marks as parameter-set frames: each of their units
  // counts as that set, whatever its NAL type. NONE: not marked.
  VdoFrameType sps_frame;
  VdoFrameType pps_frame;
};

struct VideoFormat {
  VideoCodecKind kind;
  const char *label;             // "H.264", "H.265", "AV1": messages, logs, details
  const char *profile_words[3];  // `videocodec` values for it, any letter case; the rest null
  uint32_t vdo_format;           // "format" in the VDO settings
  AVCodecID codec_id;            // the FLV video stream's codec
  // Published over Enhanced RTMP: the muxer is allowed unofficial
  // signalling, a header failure says so, and so do the stream details.
  bool enhanced_rtmp;
  // The keyframe's payload is the whole decoder configuration: the output
  // opens on the first keyframe and no parameter set is looked for.
  bool extradata_is_keyframe;
  ParameterSetSyntax parameter_sets;
  // Logged while the output waits; the held sets and the keyframe follow.
  const char *wait_message;
  FrameTypes key_frames;   // keyframes, besides frames flagged as key
  FrameTypes sent_frames;  // pictures: sent as packets once the output is open
};

// Every row, H.264's first.
std::span<const VideoFormat> video_formats();

// The row of `kind`; H.264's for a value that names no codec.
const VideoFormat &video_format(VideoCodecKind kind);

bool is_frame_type(const FrameTypes &types, uint32_t frame_type);
