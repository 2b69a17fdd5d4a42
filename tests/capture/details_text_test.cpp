// Profile details, stream details and their bitrate lines.
#include "capture/details_text.h"

#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"

namespace {

std::string take(GString *text) {
  std::string copy(text->str, text->len);
  g_string_free(text, TRUE);
  return copy;
}

StreamProfileConfig parsed(const char *parameters) {
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  EXPECT_TRUE(parse_stream_profile(parameters, config, error_text)) << error_text;
  return config;
}

struct BitrateLineCase {
  uint32_t bits_per_second;
  const char *line;
};

class BitrateLine : public testing::TestWithParam<BitrateLineCase> {};

TEST_P(BitrateLine, RoundsUpBelowOneMegabitAndShowsTwoDecimalsAbove) {
  GString *text = g_string_new("head");
  append_bitrate_line(text, "Rate", GetParam().bits_per_second);
  EXPECT_EQ(take(text), std::string("head\nRate: ") + GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Table, BitrateLine,
                         testing::Values(BitrateLineCase{0, "unlimited"}, BitrateLineCase{1, "1 kbps"},
                                         BitrateLineCase{1000, "1 kbps"}, BitrateLineCase{1001, "2 kbps"},
                                         BitrateLineCase{1500, "2 kbps"},
                                         BitrateLineCase{800000, "800 kbps"},
                                         BitrateLineCase{999999, "1000 kbps"},
                                         BitrateLineCase{1000000, "1.00 Mbps"},
                                         BitrateLineCase{1005000, "1.00 Mbps"},
                                         BitrateLineCase{6000000, "6.00 Mbps"},
                                         BitrateLineCase{4294967000u, "4294.97 Mbps"},
                                         BitrateLineCase{4294967295u, "4294.97 Mbps"}));

// Both texts for one profile, with the stream delivering `width`x`height` @ `fps`.
struct DetailsCase {
  const char *name;
  const char *parameters;
  const char *profile_name;
  uint32_t silent_audio;
  uint32_t width, height, fps;
  const char *profile_details;
  const char *stream_details;
};

void PrintTo(const DetailsCase &c, std::ostream *os) { *os << c.name; }

class Details : public testing::TestWithParam<DetailsCase> {};

TEST_P(Details, ShowTheRequestAndTheDeliveredStream) {
  const DetailsCase &c = GetParam();
  StreamProfileConfig config = parsed(c.parameters);
  EXPECT_EQ(take(format_profile_details(config, c.profile_name)), c.profile_details);
  EXPECT_EQ(take(format_stream_details(config, c.profile_name, c.silent_audio, c.width, c.height, c.fps)),
            c.stream_details);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Details,
    testing::Values(
        DetailsCase{"worked_example", "videocodec=h265&resolution=1920x1080&fps=30&videobitratemode=vbr&videomaxbitrate=6000",
                    "Studio", 1, 1920, 1080, 30,
                    "Name: Studio\nResolution: 1920x1080\nFrame rate: 30.00 fps\nVideo codec: H.265\n"
                    "Rate control: VBR\nMax bitrate: 6.00 Mbps",
                    "Video: H.265 1920x1080 @ 30 fps\nProfile: Studio\nRTMP mode: Enhanced RTMP required\n"
                    "Rate control: VBR\nMax bitrate: 6.00 Mbps\nRTMP audio: silent AAC"},
        DetailsCase{"empty_profile_default_label", "", "", 0, 640, 360, 30, "Name: Default H.264 640x360",
                    "Video: H.264 640x360 @ 30 fps\nProfile: Default H.264 640x360\nRTMP audio: none"},
        DetailsCase{"null_name_default_label", "", nullptr, 1, 640, 360, 25, "Name: Default H.264 640x360",
                    "Video: H.264 640x360 @ 25 fps\nProfile: Default H.264 640x360\nRTMP audio: silent AAC"},
        DetailsCase{"av1_enhanced_rtmp", "videocodec=av1", "Low", 0, 1280, 720, 30,
                    "Name: Low\nVideo codec: AV1",
                    "Video: AV1 1280x720 @ 30 fps\nProfile: Low\nRTMP mode: Enhanced RTMP required\n"
                    "RTMP audio: none"},
        DetailsCase{"explicit_h264_no_enhanced_line", "videocodec=avc", "P", 0, 640, 360, 30,
                    "Name: P\nVideo codec: H.264", "Video: H.264 640x360 @ 30 fps\nProfile: P\nRTMP audio: none"},
        DetailsCase{"abr_implied_by_target", "videoabrmaxbitrate=2000", "P", 0, 640, 360, 30,
                    "Name: P\nABR target: 2.00 Mbps",
                    "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: ABR\nABR target: 2.00 Mbps\n"
                    "RTMP audio: none"},
        DetailsCase{"mbr_implied_by_max", "videomaxbitrate=800", "P", 0, 640, 360, 30,
                    "Name: P\nMax bitrate: 800 kbps",
                    "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: MBR\nMax bitrate: 800 kbps\n"
                    "RTMP audio: none"},
        DetailsCase{"plain_bitrate_only_in_profile", "videobitrate=3000", "P", 0, 640, 360, 30,
                    "Name: P\nBitrate: 3.00 Mbps", "Video: H.264 640x360 @ 30 fps\nProfile: P\nRTMP audio: none"},
        DetailsCase{"mode_none_shown_as_none", "videobitratemode=none&videomaxbitrate=4000", "P", 0, 640, 360, 30,
                    "Name: P\nRate control: None\nMax bitrate: 4.00 Mbps",
                    "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: None\nMax bitrate: 4.00 Mbps\n"
                    "RTMP audio: none"},
        DetailsCase{"unlimited_max_no_mode_line", "videomaxbitrate=unlimited", "P", 0, 640, 360, 30,
                    "Name: P\nMax bitrate: unlimited",
                    "Video: H.264 640x360 @ 30 fps\nProfile: P\nMax bitrate: unlimited\nRTMP audio: none"},
        DetailsCase{"abr_wins_over_max_when_implied", "videomaxbitrate=800&abr.target_bitrate=1500", "P", 0, 640,
                    360, 30, "Name: P\nMax bitrate: 800 kbps\nABR target: 2 kbps",
                    "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: ABR\nMax bitrate: 800 kbps\n"
                    "ABR target: 2 kbps\nRTMP audio: none"},
        DetailsCase{"requested_values_stay_in_profile_only", "resolution=1920x1080&fps=12.5", "Cam", 0, 1280, 720, 13,
                    "Name: Cam\nResolution: 1920x1080\nFrame rate: 12.50 fps",
                    "Video: H.264 1280x720 @ 13 fps\nProfile: Cam\nRTMP audio: none"},
        DetailsCase{"every_profile_line_in_order",
                    "overlays=clock&audio=off&abr.target_bitrate=0&maxbitrate=off&bitrate=999999&rc.mode=cbr&"
                    "keyframeinterval=60&h264profile=high&videocodec=h264&compression=30&fps=29.97&"
                    "resolution=800x600&channel=0&camera=2",
                    "All", 1, 800, 600, 30,
                    "Name: All\nInput: 2\nChannel: 0\nResolution: 800x600\nFrame rate: 29.97 fps\nCompression: 30\n"
                    "Video codec: H.264\nH.264 profile: high\nKeyframe interval: 60\nRate control: CBR\n"
                    "Bitrate: 1000 kbps\nMax bitrate: unlimited\nABR target: unlimited\nAudio: disabled\n"
                    "Overlays: clock",
                    "Video: H.264 800x600 @ 30 fps\nProfile: All\nInput: 2\nChannel: 0\nCompression: 30\n"
                    "Rate control: CBR\nMax bitrate: unlimited\nABR target: unlimited\nRTMP audio: silent AAC"},
        DetailsCase{"name_with_percent_is_data", "", "50%s %n", 0, 640, 360, 30, "Name: 50%s %n",
                    "Video: H.264 640x360 @ 30 fps\nProfile: 50%s %n\nRTMP audio: none"}),
    [](const testing::TestParamInfo<DetailsCase> &info) { return std::string(info.param.name); });

TEST(Details, RateControlLabels) {
  EXPECT_STREQ(rate_control_label(RATE_CONTROL_CBR), "CBR");
  EXPECT_STREQ(rate_control_label(RATE_CONTROL_VBR), "VBR");
  EXPECT_STREQ(rate_control_label(RATE_CONTROL_MBR), "MBR");
  EXPECT_STREQ(rate_control_label(RATE_CONTROL_ABR), "ABR");
  EXPECT_STREQ(rate_control_label(RATE_CONTROL_NONE), "None");
  EXPECT_STREQ(rate_control_label(static_cast<RateControlMode>(7)), "None");
}

class PublishDetails : public testing::Test {
 protected:
  void SetUp() override { g_mutex_init(&control_.lock); }
  void TearDown() override { g_mutex_clear(&control_.lock); }
  StreamControl control_{};
};

TEST_F(PublishDetails, StoresBothTextsCutToTheField) {
  std::string long_text(2000, 'p');
  publish_capture_details(control_, long_text.c_str(), "Video: H.264 640x360 @ 30 fps");
  EXPECT_STREQ(control_.stream_details, "Video: H.264 640x360 @ 30 fps");
  EXPECT_EQ(std::string(control_.profile_details), long_text.substr(0, kDetailsSize - 1));
}

TEST_F(PublishDetails, CutNeverSplitsACharacter) {
  // 1022 bytes, then a three-byte character across the 1023-byte limit.
  std::string text = std::string(1022, 'n') + "\xE2\x82\xAC" + "tail";
  publish_capture_details(control_, text.c_str(), text.c_str());
  EXPECT_EQ(std::string(control_.profile_details), std::string(1022, 'n'));
  EXPECT_TRUE(g_utf8_validate(control_.stream_details, -1, nullptr));
}

}  // namespace
