// Parameter-set capture, the open gate, packet times and the computed bitrate. The start-code
// search itself is checked against the rule position by position by fuzz/nal_scan_fuzzer.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "publish/codec_config.h"
#include "publish/frame_pump.h"
#include "publish/rtmp_output.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const GByteArray *array) {  // "-" for none
  std::string s = array ? "" : "-";
  for (guint i = 0; array && i < array->len; ++i) {
    s += "0123456789abcdef"[array->data[i] >> 4];
    s += "0123456789abcdef"[array->data[i] & 15];
  }
  return s;
}

TEST(CodecConfig, ScanHoldsSetsAndGateBuildsExtradata) {
  const Bytes sps = {0, 0, 0, 1, 0x67, 0x42}, pps = {0, 0, 0, 1, 0x68, 0xce}, idr = {0, 0, 1, 0x65, 0x88};
  const Bytes vps5 = {0, 0, 0, 1, 0x40, 0x01}, sps5 = {0, 0, 1, 0x42, 0x01}, pps5 = {0, 0, 0, 1, 0x44, 0x01};
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const VideoCodecKind H264 = VIDEO_CODEC_H264, H265 = VIDEO_CODEC_H265, AV1 = VIDEO_CODEC_AV1;
  const struct {
    VideoCodecKind codec;
    uint32_t frame_type;
    Bytes payload;
    const char *held;  // vps sps pps
    bool key;
    const char *extradata;  // "-": the gate stays closed
  } cases[] = {
      {H264, 4, cat({sps, pps, idr}), "- 000000016742 0000000168ce", true, "0000000167420000000168ce"},
      {H264, 4, cat({sps, pps, idr}), "- 000000016742 0000000168ce", false, "-"},
      {H264, 4, cat({{0x67, 9}, pps}), "- - 0000000168ce", true, "-"},
      {H264, 4, cat({{0, 0, 1, 0x67, 0, 0, 0, 0, 1}, pps}), "- 000000016700 0000000168ce", true,
       "0000000167000000000168ce"},  // a zero before the next code stays with the unit
      {H264, 4, {0, 0, 1, 0, 0, 0x67, 1, 0, 0, 1}, "- 000000016701 -", true, "-"},
      {H264, 4, {0, 0, 1, 0, 0, 1, 0x68, 3}, "- - 000000016803", true, "-"},
      {H264, 1, {0, 0, 1, 0, 0}, "- - -", true, "-"},
      {H264, 1, {0, 0x68}, "- 000000010068 -", true, "-"}, {H264, 4, {0x68}, "- - 0000000168", true, "-"},
      {H264, 1, {}, "- - -", true, "-"}, {H264, 1, pps, "- 0000000168ce -", true, "-"},
      {H264, 1, cat({sps, idr}), "- 000000016588 -", true, "-"},
      {H264, 2, cat({sps, idr}), "- 000000016742 000000016588", true, "000000016742000000016588"},
      {H264, 6, idr, "- - -", true, "-"},
      {H265, 12, cat({vps5, sps5, pps5, idr}), "000000014001 000000014201 000000014401", true,
       "000000014001000000014201000000014401"},
      {H265, 12, cat({sps5, pps5}), "- 000000014201 000000014401", true, "-"},
      {H265, 12, {0, 0, 1, 0x40}, "- - -", true, "-"}, {H265, 12, {0x42, 1}, "- 000000014201 -", true, "-"},
      {AV1, 22, cat({sps, pps}), "- - -", true, "0000000167420000000168ce"}, {AV1, 22, {}, "- - -", true, ""},
      {AV1, 23, {0x12, 0}, "- - -", false, "-"},
  };
  for (const auto &c : cases) {
    CodecConfigCapture capture{};
    codec_config_capture_scan(capture, c.payload.data(), c.payload.size(), c.codec, c.frame_type);
    SCOPED_TRACE(testing::PrintToString(c.payload));
    EXPECT_EQ(hex(capture.vps) + " " + hex(capture.sps) + " " + hex(capture.pps), c.held);
    int64_t wait_log_due = INT64_MAX;
    GByteArray *extradata =
        codec_config_gate(capture, c.codec, c.payload.data(), c.payload.size(), c.key, wait_log_due);
    EXPECT_EQ(hex(extradata), c.extradata);
    if (extradata) g_byte_array_free(extradata, TRUE);
    codec_config_clear(capture);
    EXPECT_TRUE(!capture.vps && !capture.sps && !capture.pps);
  }
}

// The frame types of 0 to 31 that `types` holds.
std::vector<uint32_t> frame_types_in(const FrameTypes &types) {
  std::vector<uint32_t> held;
  for (uint32_t type = 0; type < 32; ++type) {
    if (is_frame_type(types, type)) held.push_back(type);
  }
  return held;
}

TEST(VideoFormat, FrameTypesThatCountAsKeyframesAndThatAreSent) {
  const struct {
    const char *name;
    VideoCodecKind codec;
    std::vector<uint32_t> key_types, sent_types;
  } rows[] = {
      {"h264", VIDEO_CODEC_H264, {4, 5}, {4, 5, 6, 7}},
      {"h265", VIDEO_CODEC_H265, {12, 13}, {12, 13, 14}},
      {"av1", VIDEO_CODEC_AV1, {22}, {22, 23}},
  };
  for (const auto &row : rows) {
    const VideoFormat &format = video_format(row.codec);
    EXPECT_EQ(frame_types_in(format.key_frames), row.key_types) << row.name;
    EXPECT_EQ(frame_types_in(format.sent_frames), row.sent_types) << row.name;
  }
}

// A set held as the gate sees it: present or not.
GByteArray *held(bool present) { return present ? g_byte_array_new() : nullptr; }

TEST(CodecConfig, WaitMessageListsWhatTheCodecWaitsFor) {
  const struct {
    const char *name;
    VideoCodecKind codec;
    bool vps, sps, pps, key;
    const char *message;
  } rows[] = {
      {"h264_sps_held_at_a_keyframe", VIDEO_CODEC_H264, false, true, false, true,
       "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output "
       "(sps=yes, pps=no, keyframe=yes)"},
      {"h265_vps_and_pps_held", VIDEO_CODEC_H265, true, false, true, false,
       "Waiting for H.265 VPS/SPS/PPS/keyframe before opening RTMP output "
       "(vps=yes, sps=no, pps=yes, keyframe=no)"},
      {"av1_at_a_keyframe", VIDEO_CODEC_AV1, false, false, false, true,
       "Waiting for AV1 keyframe before opening Enhanced RTMP output (keyframe=yes)"},
  };
  for (const auto &row : rows) {
    CodecConfigCapture capture{held(row.vps), held(row.sps), held(row.pps)};
    char message[kWaitMessageSize];
    format_wait_message(capture, row.codec, row.key, message, sizeof message);
    EXPECT_STREQ(message, row.message) << row.name;
    codec_config_clear(capture);
  }
}

std::string text(VideoPacketTime time) { return std::to_string(time.pts) + "/" + std::to_string(time.duration); }

TEST(PacketTime, FrameDurationMonotonicPtsRescaleAndBitrate) {
  for (auto [fps, duration] :
       {std::pair<uint32_t, int64_t>{30, 33333}, {25, 40000}, {1, 1000000}, {1000000, 1}, {1000001, 33333}})
    EXPECT_EQ(frame_duration_for(fps), duration) << fps;
  const uint64_t big = 0xFFFFFF0000000000ull;
  const struct {
    uint64_t base;
    int64_t last_pts, frame_duration;
    uint64_t timestamp;
    const char *time;
  } cases[] = {{5000000, -1, 33333, 5000000, "0/33333"}, {5000000, -1, 40000, 5000100, "100/40000"},
               {5000000, -1, 33333, 4000000, "0/33333"}, {5000000, 0, 33333, 5033400, "33400/33400"},
               {5000000, 33333, 33333, 5033333, "66666/33333"}, {5000000, 66666, 33333, 5040000, "99999/33333"},
               {5000000, 66666, 33333, 4999999, "99999/33333"}, {5000000, 33333, 33333, 5033733, "33733/400"},
               {big, 0, 33333, big + 50000000000ull, "50000000000/50000000000"}};
  for (const auto &c : cases)
    EXPECT_EQ(text(video_packet_time(c.base, c.last_pts, c.frame_duration, c.timestamp)), c.time) << c.timestamp;
  for (auto [time, ms] : {std::pair<VideoPacketTime, const char *>{{33333, 33333}, "33/33"}, {{66666, 33333}, "67/33"},
                          {{33733, 400}, "34/1"}, {{0, 0}, "0/1"}})
    EXPECT_EQ(text(rescale_video_packet_time(time, 1, 1000)), ms) << time.pts;
  const struct {
    uint64_t total, last;
    int64_t now, last_time;
    uint32_t bits_per_second;
  } rates[] = {{625000, 0, 5000000, 0, 1000000}, {1625000, 1000000, 10000000, 5000000, 1000000},
               {1, 0, 3000000, 0, 3}, {1, 0, 16000000, 0, 1}, {1, 0, 17000000, 0, 0},
               {100, 0, 5000000, 5000000, 0}, {100, 0, 4000000, 5000000, 0}, {99, 100, 6000000, 0, 0},
               {1ull << 40, 0, 1000000, 0, 4294967295u}, {536870911, 0, 1000000, 0, 4294967288u}};
  for (const auto &c : rates)
    EXPECT_EQ(computed_bitrate(c.total, c.last, c.now, c.last_time), c.bits_per_second) << c.total;
}

}  // namespace
