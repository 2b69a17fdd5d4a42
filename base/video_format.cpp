// The codec table.
#include "base/video_format.h"

namespace {

constexpr VideoFormat kVideoFormats[] = {
    {
        .kind = VIDEO_CODEC_H264,
        .label = "H.264",
        .profile_words = {"h264", "h.264", "avc"},
        .vdo_format = 0,
        .codec_id = AV_CODEC_ID_H264,
        .enhanced_rtmp = false,
        .extradata_is_keyframe = false,
        .parameter_sets = {.header_size = 1, .type_shift = 0, .type_mask = 0x1F,
                           .vps_type = -1, .sps_type = 7, .pps_type = 8,
                           .sps_frame = VDO_FRAME_TYPE_H264_SPS,
                           .pps_frame = VDO_FRAME_TYPE_H264_PPS},
        .wait_message = "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output",
        .key_frames = {{VDO_FRAME_TYPE_H264_IDR, VDO_FRAME_TYPE_H264_I}},
        .sent_frames = {{VDO_FRAME_TYPE_H264_IDR, VDO_FRAME_TYPE_H264_I, VDO_FRAME_TYPE_H264_P,
                         VDO_FRAME_TYPE_H264_B}},
    },
    {
        .kind = VIDEO_CODEC_H265,
        .label = "H.265",
        .profile_words = {"h265", "h.265", "hevc"},
        .vdo_format = 1,
        .codec_id = AV_CODEC_ID_HEVC,
        .enhanced_rtmp = true,
        .extradata_is_keyframe = false,
        .parameter_sets = {.header_size = 2, .type_shift = 1, .type_mask = 0x3F,
                           .vps_type = 32, .sps_type = 33, .pps_type = 34,
                           .sps_frame = VDO_FRAME_TYPE_NONE, .pps_frame = VDO_FRAME_TYPE_NONE},
        .wait_message = "Waiting for H.265 VPS/SPS/PPS/keyframe before opening RTMP output",
        .key_frames = {{VDO_FRAME_TYPE_H265_IDR, VDO_FRAME_TYPE_H265_I}},
        .sent_frames = {{VDO_FRAME_TYPE_H265_IDR, VDO_FRAME_TYPE_H265_I, VDO_FRAME_TYPE_H265_P}},
    },
    {
        .kind = VIDEO_CODEC_AV1,
        .label = "AV1",
        .profile_words = {"av1"},
        .vdo_format = 10,
        .codec_id = AV_CODEC_ID_AV1,
        .enhanced_rtmp = true,
        .extradata_is_keyframe = true,
        .parameter_sets = {.vps_type = -1, .sps_type = -1, .pps_type = -1},
        .wait_message = "Waiting for AV1 keyframe before opening Enhanced RTMP output",
        .key_frames = {{VDO_FRAME_TYPE_AV1_KEY}},
        .sent_frames = {{VDO_FRAME_TYPE_AV1_KEY, VDO_FRAME_TYPE_AV1_INTER}},
    },
};

// The table is indexed by kind.
static_assert(kVideoFormats[VIDEO_CODEC_H264].kind == VIDEO_CODEC_H264);
static_assert(kVideoFormats[VIDEO_CODEC_H265].kind == VIDEO_CODEC_H265);
static_assert(kVideoFormats[VIDEO_CODEC_AV1].kind == VIDEO_CODEC_AV1);

}  // namespace

std::span<const VideoFormat> video_formats() { return kVideoFormats; }

const VideoFormat &video_format(VideoCodecKind kind) {
  if (kind >= std::size(kVideoFormats)) return kVideoFormats[VIDEO_CODEC_H264];
  return kVideoFormats[kind];
}

bool is_frame_type(const FrameTypes &types, uint32_t frame_type) {
  if (frame_type == VDO_FRAME_TYPE_NONE) return false;
  for (VdoFrameType type : types.types) {
    if (type == frame_type) return true;
  }
  return false;
}
