// Start codes, the NAL scan, the parameter-set rules, the log-once flags and
// the open gate with its extradata, from byte-level cases.
#include "publish/codec_config.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/publish/syslog_capture.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

using Bytes = std::vector<uint8_t>;
using publish_test::captured_count;
using publish_test::captured_dump;
using publish_test::clear_captured_lines;

Bytes held(const GByteArray *array) {
  return array ? Bytes(array->data, array->data + array->len) : Bytes{};
}

Bytes annexb(Bytes unit) {
  unit.insert(unit.begin(), {0, 0, 0, 1});
  return unit;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct CaptureOwner {
  CodecConfigCapture capture{};
  ~CaptureOwner() { codec_config_clear(capture); }
};

// ---- find_start_code ----

struct StartCodeCase {
  const char *name;
  Bytes bytes;
  std::size_t from;      // search starts here
  long expected_offset;  // -1: not found
  std::size_t expected_length;
};

class FindStartCode : public testing::TestWithParam<StartCodeCase> {};

TEST_P(FindStartCode, ReportsFirstCodeAndItsLength) {
  const StartCodeCase &c = GetParam();
  const uint8_t *base = c.bytes.data();
  StartCode code = find_start_code(base + c.from, base + c.bytes.size());
  if (c.expected_offset < 0) {
    EXPECT_EQ(code.position, nullptr);
  } else {
    ASSERT_NE(code.position, nullptr);
    EXPECT_EQ(code.position - base, c.expected_offset);
    EXPECT_EQ(code.length, c.expected_length);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindStartCode,
    testing::Values(StartCodeCase{"empty", {}, 0, -1, 0},
                    StartCodeCase{"two_bytes", {0, 0}, 0, -1, 0},
                    StartCodeCase{"three_byte_code", {0, 0, 1}, 0, 0, 3},
                    StartCodeCase{"four_byte_code_at_first_zero", {0, 0, 0, 1}, 0, 0, 4},
                    StartCodeCase{"extra_leading_zero", {0, 0, 0, 0, 1}, 0, 1, 4},
                    StartCodeCase{"after_one_byte", {5, 0, 0, 1}, 0, 1, 3},
                    StartCodeCase{"false_start_then_code", {0, 0, 2, 0, 0, 1}, 0, 3, 3},
                    StartCodeCase{"one_before_zeros", {0, 1, 0, 0, 1}, 0, 2, 3},
                    StartCodeCase{"zeros_without_one", {0, 0, 0}, 0, -1, 0},
                    StartCodeCase{"one_first", {1, 0, 0}, 0, -1, 0},
                    StartCodeCase{"trailing_zeros_only", {7, 0, 0}, 0, -1, 0},
                    StartCodeCase{"first_of_two", {0, 0, 1, 0, 0, 0, 1}, 0, 0, 3},
                    StartCodeCase{"four_byte_after_payload", {9, 9, 0, 0, 0, 1}, 0, 2, 4},
                    StartCodeCase{"search_from_inside_four_byte", {0, 0, 0, 1, 7}, 1, 1, 3},
                    StartCodeCase{"search_past_code", {0, 0, 1, 7, 8}, 1, -1, 0},
                    StartCodeCase{"search_range_too_short", {0, 0, 0, 1}, 2, -1, 0}),
    [](const testing::TestParamInfo<StartCodeCase> &info) { return info.param.name; });

// The scan rule as written, one position at a time.
StartCode reference_start_code(const uint8_t *start, const uint8_t *end) {
  if (end - start < 3) return {nullptr, 0};
  for (const uint8_t *q = start;; ++q) {
    const long left = end - q;
    if (left < 3) return {nullptr, 0};
    if (q[0] == 0 && q[1] == 0 && q[2] == 1) return {q, 3};
    if (left < 4) return {nullptr, 0};
    if (q[0] == 0 && q[1] == 0 && q[2] == 0 && q[3] == 1) return {q, 4};
  }
}

TEST(FindStartCodeRandom, AgreesWithPositionByPositionScan) {
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> byte(0, 2);  // zeros and ones are what matter
  std::uniform_int_distribution<int> size(0, 48);
  for (int round = 0; round < 20000; ++round) {
    Bytes bytes(static_cast<std::size_t>(size(random)));
    for (uint8_t &b : bytes) b = static_cast<uint8_t>(byte(random));
    const uint8_t *begin = bytes.data();
    const uint8_t *end = begin + bytes.size();
    for (const uint8_t *from = begin; from <= end; ++from) {
      StartCode expected = reference_start_code(from, end);
      StartCode actual = find_start_code(from, end);
      ASSERT_EQ(actual.position, expected.position) << "round " << round;
      if (expected.position) {
        ASSERT_EQ(actual.length, expected.length);
      }
    }
  }
}

// ---- the scan and the capture rules ----

struct ScanCase {
  const char *name;
  VideoCodecKind codec;
  uint32_t frame_type;
  Bytes payload;
  Bytes vps, sps, pps;  // expected held sets, empty for none
};

class Scan : public testing::TestWithParam<ScanCase> {};

TEST_P(Scan, HoldsTheExpectedSets) {
  const ScanCase &c = GetParam();
  CaptureOwner owner;
  codec_config_capture_scan(owner.capture, c.payload.data(), c.payload.size(), c.codec,
                            c.frame_type);
  EXPECT_EQ(held(owner.capture.vps), c.vps);
  EXPECT_EQ(held(owner.capture.sps), c.sps);
  EXPECT_EQ(held(owner.capture.pps), c.pps);
}

const Bytes kSps264 = {0x67, 0x42, 0xC0, 0x1E};
const Bytes kPps264 = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr264 = {0x65, 0x88, 0x84};
const Bytes kVps265 = {0x40, 0x01, 0x0C};
const Bytes kSps265 = {0x42, 0x01, 0x01};
const Bytes kPps265 = {0x44, 0x01, 0xC1};
const Bytes kIdr265 = {0x26, 0x01, 0xAF};

INSTANTIATE_TEST_SUITE_P(
    Cases, Scan,
    testing::Values(
        ScanCase{"h264_access_unit",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 0, 1}, kSps264, {0, 0, 0, 1}, kPps264, {0, 0, 1}, kIdr264}),
                 {},
                 annexb(kSps264),
                 annexb(kPps264)},
        ScanCase{"bytes_before_first_code_ignored",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0x67, 9}, {0, 0, 1}, kPps264}),
                 {},
                 {},
                 annexb(kPps264)},
        ScanCase{"trailing_zero_stays_with_unit",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 1}, kSps264, {0, 0, 0, 0, 1}, kPps264}),
                 {},
                 annexb(concat({kSps264, {0}})),
                 annexb(kPps264)},
        ScanCase{"leading_zeros_of_unit_skipped",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 1, 0, 0}, kSps264}),
                 {},
                 annexb(kSps264),
                 {}},
        ScanCase{"payload_ending_in_code_has_no_last_unit",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 1}, kSps264, {0, 0, 1}}),
                 {},
                 annexb(kSps264),
                 {}},
        ScanCase{"adjacent_codes_skip_empty_unit",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 1, 0, 0, 1}, kPps264}),
                 {},
                 {},
                 annexb(kPps264)},
        ScanCase{"all_zero_unit_skipped", VIDEO_CODEC_H264, 1, {0, 0, 1, 0, 0}, {}, {}, {}},
        ScanCase{
            "no_code_whole_payload_is_unit", VIDEO_CODEC_H264, 4, kPps264, {}, {}, annexb(kPps264)},
        ScanCase{"no_code_keeps_leading_zeros",
                 VIDEO_CODEC_H264,
                 1,
                 {0, 0x67},
                 {},
                 annexb({0, 0x67}),
                 {}},
        ScanCase{"short_payload_one_unit", VIDEO_CODEC_H264, 4, {0x67}, {}, annexb({0x67}), {}},
        ScanCase{"empty_payload", VIDEO_CODEC_H264, 1, {}, {}, {}, {}},
        ScanCase{"frame_type_1_makes_pps_unit_the_sps",
                 VIDEO_CODEC_H264,
                 1,
                 concat({{0, 0, 0, 1}, kPps264}),
                 {},
                 annexb(kPps264),
                 {}},
        ScanCase{"frame_type_1_last_unit_wins",
                 VIDEO_CODEC_H264,
                 1,
                 concat({{0, 0, 0, 1}, kSps264, {0, 0, 0, 1}, kIdr264}),
                 {},
                 annexb(kIdr264),
                 {}},
        ScanCase{"frame_type_2_sps_stays_sps_rest_is_pps",
                 VIDEO_CODEC_H264,
                 2,
                 concat({{0, 0, 0, 1}, kSps264, {0, 0, 0, 1}, kIdr264}),
                 {},
                 annexb(kSps264),
                 annexb(kIdr264)},
        ScanCase{"h264_slice_only_ignored",
                 VIDEO_CODEC_H264,
                 6,
                 concat({{0, 0, 0, 1}, kIdr264}),
                 {},
                 {},
                 {}},
        ScanCase{"later_sps_replaces_earlier",
                 VIDEO_CODEC_H264,
                 4,
                 concat({{0, 0, 1}, kSps264, {0, 0, 1}, {0x67, 0x64}}),
                 {},
                 annexb({0x67, 0x64}),
                 {}},
        ScanCase{"h265_parameter_sets", VIDEO_CODEC_H265, 12,
                 concat({{0, 0, 0, 1},
                         kVps265,
                         {0, 0, 0, 1},
                         kSps265,
                         {0, 0, 0, 1},
                         kPps265,
                         {0, 0, 1},
                         kIdr265}),
                 annexb(kVps265), annexb(kSps265), annexb(kPps265)},
        ScanCase{"h265_one_byte_unit_ignored", VIDEO_CODEC_H265, 12, {0, 0, 1, 0x40}, {}, {}, {}},
        ScanCase{"h265_frame_type_not_consulted",
                 VIDEO_CODEC_H265,
                 1,
                 concat({{0, 0, 1}, kIdr265}),
                 {},
                 {},
                 {}},
        ScanCase{"h265_no_code", VIDEO_CODEC_H265, 12, kSps265, {}, annexb(kSps265), {}},
        ScanCase{"h265_no_code_one_byte", VIDEO_CODEC_H265, 12, {0x42}, {}, {}, {}},
        ScanCase{"av1_not_examined",
                 VIDEO_CODEC_AV1,
                 22,
                 concat({{0, 0, 0, 1}, kSps264, {0, 0, 0, 1}, kVps265}),
                 {},
                 {},
                 {}}),
    [](const testing::TestParamInfo<ScanCase> &info) { return info.param.name; });

TEST(CaptureNal, H264UnitOfOtherTypeInPictureFrameIsIgnored) {
  CaptureOwner owner;
  capture_h264_nal(owner.capture, kIdr264.data(), kIdr264.size(), 5);
  EXPECT_EQ(owner.capture.sps, nullptr);
  EXPECT_EQ(owner.capture.pps, nullptr);
  capture_h264_nal(owner.capture, kIdr264.data(), 0, 1);  // an empty unit holds nothing
  EXPECT_EQ(owner.capture.sps, nullptr);
}

TEST(CodecConfigClear, ReleasesAndEmpties) {
  CodecConfigCapture capture{};
  const Bytes payload = concat({{0, 0, 1}, kVps265, {0, 0, 1}, kSps265, {0, 0, 1}, kPps265});
  codec_config_capture_scan(capture, payload.data(), payload.size(), VIDEO_CODEC_H265, 12);
  ASSERT_NE(capture.vps, nullptr);
  codec_config_clear(capture);
  EXPECT_EQ(capture.vps, nullptr);
  EXPECT_EQ(capture.sps, nullptr);
  EXPECT_EQ(capture.pps, nullptr);
  codec_config_clear(capture);  // twice is harmless
}

// ---- log once ----

TEST(LogNewSets, EachKindOnceHoweverOftenReplaced) {
  clear_captured_lines();
  CaptureOwner owner;
  bool vps_logged = false, sps_logged = false, pps_logged = false;
  const Bytes payload = concat({{0, 0, 1}, kVps265, {0, 0, 1}, kSps265, {0, 0, 1}, kPps265});
  for (int frame = 0; frame < 3; ++frame) {
    codec_config_capture_scan(owner.capture, payload.data(), payload.size(), VIDEO_CODEC_H265, 12);
    codec_config_log_new_sets(owner.capture, VIDEO_CODEC_H265, vps_logged, sps_logged, pps_logged);
  }
  EXPECT_EQ(captured_count("Captured H.265 VPS", LOG_INFO), 1u) << captured_dump();
  EXPECT_EQ(captured_count("Captured H.265 SPS", LOG_INFO), 1u);
  EXPECT_EQ(captured_count("Captured H.265 PPS", LOG_INFO), 1u);
  EXPECT_TRUE(vps_logged && sps_logged && pps_logged);
}

TEST(LogNewSets, H264SetsArriveInSeparateFramesAndInOrder) {
  clear_captured_lines();
  CaptureOwner owner;
  bool vps_logged = false, sps_logged = false, pps_logged = false;
  const Bytes sps_frame = annexb(kSps264);
  codec_config_capture_scan(owner.capture, sps_frame.data(), sps_frame.size(), VIDEO_CODEC_H264, 1);
  codec_config_log_new_sets(owner.capture, VIDEO_CODEC_H264, vps_logged, sps_logged, pps_logged);
  EXPECT_EQ(captured_count("Captured H.264 SPS"), 1u);
  EXPECT_EQ(captured_count("PPS"), 0u);
  const Bytes pps_frame = annexb(kPps264);
  codec_config_capture_scan(owner.capture, pps_frame.data(), pps_frame.size(), VIDEO_CODEC_H264, 2);
  codec_config_log_new_sets(owner.capture, VIDEO_CODEC_H264, vps_logged, sps_logged, pps_logged);
  EXPECT_EQ(captured_count("Captured H.264 SPS"), 1u);
  EXPECT_EQ(captured_count("Captured H.264 PPS"), 1u);
  EXPECT_EQ(captured_count("VPS"), 0u);
  EXPECT_FALSE(vps_logged);
}

// ---- the gate ----

struct GateCase {
  const char *name;
  VideoCodecKind codec;
  Bytes held_payload;  // scanned before the gate
  uint32_t frame_type;
  Bytes frame;  // the frame the gate looks at
  bool key;
  bool ready;
  Bytes extradata;
};

class Gate : public testing::TestWithParam<GateCase> {};

TEST_P(Gate, OpensOnlyWithEverythingAndBuildsExtradata) {
  const GateCase &c = GetParam();
  CaptureOwner owner;
  codec_config_capture_scan(owner.capture, c.held_payload.data(), c.held_payload.size(), c.codec,
                            c.frame_type);
  int64_t wait_log_due = av_gettime_relative() + 60000000;
  GByteArray *extradata = codec_config_gate(owner.capture, c.codec, c.frame.data(), c.frame.size(),
                                            c.key, wait_log_due);
  EXPECT_EQ(extradata != nullptr, c.ready);
  if (extradata) {
    EXPECT_EQ(held(extradata), c.extradata);
    g_byte_array_free(extradata, TRUE);
  }
}

const Bytes kH264Au = concat({annexb(kSps264), annexb(kPps264), {0, 0, 1}, kIdr264});
const Bytes kH265Au =
    concat({annexb(kVps265), annexb(kSps265), annexb(kPps265), {0, 0, 1}, kIdr265});
const Bytes kAv1Key = {0x12, 0x00, 0x0A, 0x0B, 0x00, 0x00, 0x00, 0x02, 0xAF, 0xFF, 0x9F, 0xF8};

INSTANTIATE_TEST_SUITE_P(
    Cases, Gate,
    testing::Values(
        GateCase{"h264_ready", VIDEO_CODEC_H264, kH264Au, 4, kH264Au, true, true,
                 concat({annexb(kSps264), annexb(kPps264)})},
        GateCase{"h264_not_key", VIDEO_CODEC_H264, kH264Au, 6, kH264Au, false, false, {}},
        GateCase{"h264_no_pps", VIDEO_CODEC_H264, annexb(kSps264), 4, kH264Au, true, false, {}},
        GateCase{"h264_no_sps", VIDEO_CODEC_H264, annexb(kPps264), 4, kH264Au, true, false, {}},
        GateCase{"h265_ready", VIDEO_CODEC_H265, kH265Au, 12, kH265Au, true, true,
                 concat({annexb(kVps265), annexb(kSps265), annexb(kPps265)})},
        GateCase{"h265_no_vps",
                 VIDEO_CODEC_H265,
                 concat({annexb(kSps265), annexb(kPps265)}),
                 12,
                 kH265Au,
                 true,
                 false,
                 {}},
        GateCase{"h265_not_key", VIDEO_CODEC_H265, kH265Au, 14, kH265Au, false, false, {}},
        GateCase{"av1_keyframe_is_extradata", VIDEO_CODEC_AV1, kAv1Key, 22, kAv1Key, true, true,
                 kAv1Key},
        GateCase{
            "av1_whatever_the_key_holds", VIDEO_CODEC_AV1, {}, 22, kH264Au, true, true, kH264Au},
        GateCase{"av1_empty_keyframe_empty_extradata", VIDEO_CODEC_AV1, {}, 22, {}, true, true, {}},
        GateCase{"av1_not_key", VIDEO_CODEC_AV1, {}, 23, kAv1Key, false, false, {}}),
    [](const testing::TestParamInfo<GateCase> &info) { return info.param.name; });

struct WaitMessageCase {
  VideoCodecKind codec;
  Bytes held_payload;
  bool key;
  const char *message;
};

class GateWaitMessage : public testing::TestWithParam<WaitMessageCase> {};

TEST_P(GateWaitMessage, LoggedWhenDueWithWhatIsHeld) {
  const WaitMessageCase &c = GetParam();
  clear_captured_lines();
  CaptureOwner owner;
  codec_config_capture_scan(owner.capture, c.held_payload.data(), c.held_payload.size(), c.codec,
                            4);
  const Bytes frame = {0x01};

  // Not due yet: nothing logged, the timer unchanged.
  int64_t not_due = av_gettime_relative() + 60000000;
  const int64_t before = not_due;
  GByteArray *extradata =
      codec_config_gate(owner.capture, c.codec, frame.data(), frame.size(), c.key, not_due);
  if (extradata) g_byte_array_free(extradata, TRUE);
  EXPECT_EQ(not_due, before);
  EXPECT_EQ(captured_count("Waiting for"), 0u);

  // Due: the message with the current state, and the next one 5 s later.
  int64_t due = av_gettime_relative() - 1;
  const int64_t start = av_gettime_relative();
  extradata = codec_config_gate(owner.capture, c.codec, frame.data(), frame.size(), c.key, due);
  if (extradata) g_byte_array_free(extradata, TRUE);
  EXPECT_EQ(captured_count(c.message, LOG_INFO), 1u) << captured_dump();
  EXPECT_EQ(captured_count("Waiting for"), 1u);
  EXPECT_GE(due, start + 5000000);
  EXPECT_LE(due, av_gettime_relative() + 5000000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GateWaitMessage,
    testing::Values(
        WaitMessageCase{VIDEO_CODEC_H264,
                        {},
                        false,
                        "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output (sps=no, "
                        "pps=no, keyframe=no)"},
        WaitMessageCase{VIDEO_CODEC_H264, annexb(kSps264), true,
                        "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output (sps=yes, "
                        "pps=no, keyframe=yes)"},
        // The message comes before the keyframe test, so it can read yes throughout
        // on the very frame that opens the output.
        WaitMessageCase{VIDEO_CODEC_H264, kH264Au, true,
                        "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output (sps=yes, "
                        "pps=yes, keyframe=yes)"},
        WaitMessageCase{VIDEO_CODEC_H265, concat({annexb(kVps265), annexb(kPps265)}), false,
                        "Waiting for H.265 VPS/SPS/PPS/keyframe before opening RTMP output "
                        "(vps=yes, sps=no, pps=yes, keyframe=no)"},
        WaitMessageCase{VIDEO_CODEC_AV1,
                        {},
                        false,
                        "Waiting for AV1 keyframe before opening Enhanced RTMP output "
                        "(keyframe=no)"}));

}  // namespace
