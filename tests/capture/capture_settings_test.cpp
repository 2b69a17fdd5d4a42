// The settings map a profile asks the camera for, read back entry by entry.
#include "capture/capture_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "app/app_state.h"

namespace {

// Every key the map may hold; a key without a value here must be absent.
struct Expected {
  uint32_t format;
  std::optional<uint32_t> input, channel, compression, rc_mode, abr_target, bitrate;
  std::optional<double> framerate;
  uint32_t width = 640, height = 360;
};

struct SettingsCase {
  const char *name;
  const char *parameters;
  Expected expected;
};

void PrintTo(const SettingsCase &c, std::ostream *os) { *os << c.parameters; }

class Settings : public testing::TestWithParam<SettingsCase> {};

void expect_uint(VdoMap *map, const char *key, std::optional<uint32_t> value) {
  if (!value) {
    EXPECT_FALSE(vdo_map_contains(map, key)) << key << " should be absent";
    return;
  }
  ASSERT_TRUE(vdo_map_contains(map, key)) << key << " should be set";
  // A distinct default shows an entry of the wrong type (the getter is strict).
  EXPECT_EQ(vdo_map_get_uint32(map, key, 0xDEADBEEFu), *value) << key;
}

TEST_P(Settings, HoldExactlyTheExpectedEntries) {
  const SettingsCase &c = GetParam();
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  ASSERT_TRUE(parse_stream_profile(c.parameters, config, error_text)) << error_text;
  VdoMap *map = build_capture_settings(config);
  const Expected &e = c.expected;

  expect_uint(map, "format", e.format);
  EXPECT_TRUE(vdo_map_contains(map, "frame.chunks"));
  EXPECT_TRUE(vdo_map_get_boolean(map, "frame.chunks", FALSE));
  expect_uint(map, "input", e.input);
  expect_uint(map, "channel", e.channel);
  expect_uint(map, "compression", e.compression);
  expect_uint(map, "rc.mode", e.rc_mode);
  expect_uint(map, "abr.target_bitrate", e.abr_target);
  expect_uint(map, "bitrate", e.bitrate);
  if (e.framerate) {
    EXPECT_DOUBLE_EQ(vdo_map_get_double(map, "framerate", NAN), *e.framerate);
  } else {
    EXPECT_FALSE(vdo_map_contains(map, "framerate"));
  }
  guint32 width = 0, height = 0;
  ASSERT_TRUE(vdo_map_get_pair32u(map, "resolution", &width, &height));
  EXPECT_EQ(width, e.width);
  EXPECT_EQ(height, e.height);
  g_object_unref(map);
}

constexpr uint32_t H264 = 0, H265 = 1, AV1 = 10;

INSTANTIATE_TEST_SUITE_P(
    Table, Settings,
    testing::Values(
        SettingsCase{"empty_profile", "", {.format = H264}},
        SettingsCase{"worked_example",
                     "videocodec=h265&resolution=1920x1080&fps=30&videobitratemode=vbr&videomaxbitrate=6000",
                     {.format = H265, .rc_mode = 1, .bitrate = 6000000, .framerate = 30.0, .width = 1920,
                      .height = 1080}},
        SettingsCase{"av1", "videocodec=av1", {.format = AV1}},
        SettingsCase{"capture_keys", "camera=2&channel=0&compression=55&fps=12.5",
                     {.format = H264, .input = 2, .channel = 0, .compression = 55, .framerate = 12.5}},
        SettingsCase{"profile_only_keys_not_sent",
                     "h264profile=high&keyframeinterval=32&audio=on&overlays=clock", {.format = H264}},
        // Without a mode the strongest bitrate picks one.
        SettingsCase{"implied_abr", "videoabrmaxbitrate=2000", {.format = H264, .rc_mode = 3, .abr_target = 2000000}},
        SettingsCase{"implied_mbr", "videomaxbitrate=800", {.format = H264, .rc_mode = 2, .bitrate = 800000}},
        SettingsCase{"plain_bitrate_no_mode", "videobitrate=3000", {.format = H264, .bitrate = 3000000}},
        SettingsCase{"implied_abr_beats_max", "videomaxbitrate=800&videoabrmaxbitrate=2000",
                     {.format = H264, .rc_mode = 3, .abr_target = 2000000}},
        SettingsCase{"implied_mbr_beats_plain", "videomaxbitrate=800&videobitrate=3000",
                     {.format = H264, .rc_mode = 2, .bitrate = 800000}},
        SettingsCase{"unlimited_counts_as_unset", "videomaxbitrate=unlimited&abr.target_bitrate=0", {.format = H264}},
        SettingsCase{"unlimited_max_leaves_plain", "videomaxbitrate=off&videobitrate=3000",
                     {.format = H264, .bitrate = 3000000}},
        SettingsCase{"mode_none_acts_as_no_mode", "videobitratemode=none&videomaxbitrate=4000",
                     {.format = H264, .rc_mode = 2, .bitrate = 4000000}},
        SettingsCase{"mode_none_alone", "videobitratemode=none", {.format = H264}},
        // An explicit mode is sent as given; the maximum beats the plain bitrate.
        SettingsCase{"cbr_max_beats_plain", "videobitratemode=cbr&videobitrate=3000&videomaxbitrate=5000",
                     {.format = H264, .rc_mode = 0, .bitrate = 5000000}},
        SettingsCase{"cbr_plain_only", "rc.mode=0&videobitrate=3000", {.format = H264, .rc_mode = 0, .bitrate = 3000000}},
        SettingsCase{"vbr_alone", "videobitratemode=vbr", {.format = H264, .rc_mode = 1}},
        SettingsCase{"vbr_ignores_abr_target", "videobitratemode=vbr&videoabrmaxbitrate=2000",
                     {.format = H264, .rc_mode = 1}},
        SettingsCase{"abr_falls_back_to_max", "videobitratemode=abr&videomaxbitrate=4000",
                     {.format = H264, .rc_mode = 3, .abr_target = 4000000}},
        SettingsCase{"abr_target_beats_max", "videobitratemode=abr&videomaxbitrate=4000&videoabrmaxbitrate=1500",
                     {.format = H264, .rc_mode = 3, .abr_target = 1500000}},
        SettingsCase{"abr_ignores_plain", "videobitratemode=abr&videobitrate=3000", {.format = H264, .rc_mode = 3}},
        SettingsCase{"mbr_with_unlimited_max_uses_plain", "videobitratemode=mbr&videomaxbitrate=0&videobitrate=900",
                     {.format = H264, .rc_mode = 2, .bitrate = 900000}}),
    [](const testing::TestParamInfo<SettingsCase> &info) { return std::string(info.param.name); });

}  // namespace
