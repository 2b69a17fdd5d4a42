// Stream profile parameter text and its number parsers.
#include "capture/stream_profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "app/app_state.h"

namespace {

// ---- parse_uint_in_range ----

struct UintCase {
  const char *text;
  uint64_t min, max;
  bool ok;
  uint32_t value;  // expected on success
};

class UintInRange : public testing::TestWithParam<UintCase> {};

TEST_P(UintInRange, AcceptsOnlyWholeDecimalsInsideTheBounds) {
  const UintCase &c = GetParam();
  uint32_t out = 77;
  EXPECT_EQ(parse_uint_in_range(c.text, c.min, c.max, &out), c.ok);
  EXPECT_EQ(out, c.ok ? c.value : 77u) << "output must stay untouched on failure";
}

INSTANTIATE_TEST_SUITE_P(
    Table, UintInRange,
    testing::Values(UintCase{nullptr, 0, 10, false, 0}, UintCase{"", 0, 10, false, 0},
                    UintCase{"0", 0, 10, true, 0}, UintCase{"10", 0, 10, true, 10},
                    UintCase{"11", 0, 10, false, 0}, UintCase{"0", 1, 10, false, 0},
                    UintCase{"4294967295", 0, 4294967295u, true, 4294967295u},
                    UintCase{"4294967296", 0, 4294967295u, false, 0},
                    UintCase{"18446744073709551616", 0, 4294967295u, false, 0},  // ERANGE
                    UintCase{"  7", 0, 10, true, 7}, UintCase{"+7", 0, 10, true, 7},
                    UintCase{"7 ", 0, 10, false, 0}, UintCase{"7a", 0, 10, false, 0},
                    UintCase{"0x10", 0, 100, false, 0}, UintCase{"010", 0, 100, true, 10},
                    UintCase{"-0", 0, 10, true, 0}, UintCase{"-1", 0, 4294967295u, false, 0},
                    // strtoul folds these back into small numbers; a minus sign is refused.
                    UintCase{"-18446744073709551615", 0, 4294967295u, false, 0},
                    UintCase{"-4294967295", 0, 4294967295u, false, 0},
                    UintCase{" ", 0, 10, false, 0}, UintCase{"-", 0, 10, false, 0},
                    UintCase{"1.0", 0, 10, false, 0}));

// ---- parse_bitrate ----

struct BitrateCase {
  const char *text;
  bool in_kbps;
  bool ok;
  uint32_t value;
};

class Bitrate : public testing::TestWithParam<BitrateCase> {};

TEST_P(Bitrate, ConvertsToBitsPerSecond) {
  const BitrateCase &c = GetParam();
  uint32_t out = 77;
  EXPECT_EQ(parse_bitrate(c.text, c.in_kbps, &out), c.ok);
  EXPECT_EQ(out, c.ok ? c.value : 77u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bitrate,
    testing::Values(BitrateCase{nullptr, true, false, 0}, BitrateCase{"", false, false, 0},
                    BitrateCase{"unlimited", true, true, 0}, BitrateCase{"UnLimited", false, true, 0},
                    BitrateCase{"OFF", true, true, 0}, BitrateCase{"0", true, true, 0},
                    BitrateCase{"0", false, true, 0}, BitrateCase{"2500", true, true, 2500000},
                    BitrateCase{"4294967", true, true, 4294967000u},
                    BitrateCase{"4294968", true, false, 0},
                    BitrateCase{"4294967295", false, true, 4294967295u},
                    BitrateCase{"4294967296", false, false, 0}, BitrateCase{"1500000", false, true, 1500000},
                    BitrateCase{"2500 ", true, false, 0}, BitrateCase{"2.5", true, false, 0},
                    BitrateCase{"-1", false, false, 0}, BitrateCase{"unlimited ", true, false, 0},
                    BitrateCase{"none", true, false, 0}));

// ---- parse_stream_profile: accepted texts ----

bool same_config(const StreamProfileConfig &a, const StreamProfileConfig &b, std::string *why) {
  auto differs = [why](const char *field) {
    *why = field;
    return false;
  };
#define SAME(field) \
  if (!(a.field == b.field)) return differs(#field)
#define SAME_TEXT(field) \
  if (std::strcmp(a.field, b.field) != 0) return differs(#field)
  SAME(has_camera);
  SAME(camera);
  SAME(has_channel);
  SAME(channel);
  SAME(has_resolution);
  SAME(width);
  SAME(height);
  SAME(has_fps);
  SAME(fps);
  SAME(has_compression);
  SAME(compression);
  SAME(has_codec);
  SAME(codec);
  SAME_TEXT(codec_label);
  SAME(has_h264_profile);
  SAME_TEXT(h264_profile);
  SAME(has_keyframe_interval);
  SAME(keyframe_interval);
  SAME(has_audio);
  SAME_TEXT(audio);
  SAME(has_overlays);
  SAME_TEXT(overlays);
  SAME(has_bitrate);
  SAME(bitrate);
  SAME(has_max_bitrate);
  SAME(max_bitrate);
  SAME(has_abr_target);
  SAME(abr_target);
  SAME(has_rate_control);
  SAME(rate_control);
#undef SAME
#undef SAME_TEXT
  return true;
}

struct AcceptCase {
  const char *name;
  const char *text;
  std::function<void(StreamProfileConfig &)> expect;  // applied to a zeroed record
};

void PrintTo(const AcceptCase &c, std::ostream *os) { *os << c.text; }

class AcceptedProfile : public testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptedProfile, FillsExactlyTheExpectedFields) {
  const AcceptCase &c = GetParam();
  StreamProfileConfig parsed{};
  char error_text[kMessageSize] = "";
  ASSERT_TRUE(parse_stream_profile(c.text, parsed, error_text)) << error_text;
  StreamProfileConfig expected{};
  c.expect(expected);
  std::string why;
  EXPECT_TRUE(same_config(parsed, expected, &why)) << "field " << why << " differs";
  EXPECT_STREQ(error_text, "");
}

void h265(StreamProfileConfig &c) {
  c.has_codec = 1;
  c.codec = VIDEO_CODEC_H265;
  std::strcpy(c.codec_label, "H.265");
}
void h264(StreamProfileConfig &c) {
  c.has_codec = 1;
  c.codec = VIDEO_CODEC_H264;
  std::strcpy(c.codec_label, "H.264");
}
void av1(StreamProfileConfig &c) {
  c.has_codec = 1;
  c.codec = VIDEO_CODEC_AV1;
  std::strcpy(c.codec_label, "AV1");
}
auto size(uint32_t w, uint32_t h) {
  return [w, h](StreamProfileConfig &c) {
    c.has_resolution = 1;
    c.width = w;
    c.height = h;
  };
}
auto fps(double value) {
  return [value](StreamProfileConfig &c) {
    c.has_fps = 1;
    c.fps = value;
  };
}
auto bitrate(uint32_t v) {
  return [v](StreamProfileConfig &c) {
    c.has_bitrate = 1;
    c.bitrate = v;
  };
}
auto max_bitrate(uint32_t v) {
  return [v](StreamProfileConfig &c) {
    c.has_max_bitrate = 1;
    c.max_bitrate = v;
  };
}
auto abr(uint32_t v) {
  return [v](StreamProfileConfig &c) {
    c.has_abr_target = 1;
    c.abr_target = v;
  };
}
auto mode(RateControlMode m) {
  return [m](StreamProfileConfig &c) {
    c.has_rate_control = 1;
    c.rate_control = m;
  };
}
auto camera(uint32_t v) {
  return [v](StreamProfileConfig &c) {
    c.has_camera = 1;
    c.camera = v;
  };
}
auto audio(const char *word) {
  return [word](StreamProfileConfig &c) {
    c.has_audio = 1;
    std::strcpy(c.audio, word);
  };
}
template <typename... F>
std::function<void(StreamProfileConfig &)> all(F... parts) {
  return [=](StreamProfileConfig &c) { (parts(c), ...); };
}
void nothing(StreamProfileConfig &) {}

INSTANTIATE_TEST_SUITE_P(
    Table, AcceptedProfile,
    testing::Values(
        AcceptCase{"empty", "", nothing},
        AcceptCase{"unknown_keys", "foo=bar&x=1", nothing},
        AcceptCase{"hevc_720p", "videocodec=hevc&resolution=1280x720", all(h265, size(1280, 720))},
        AcceptCase{"key_and_word_case", "VideoCodec=AVC", all(h264)},
        AcceptCase{"codec_words", "videocodec=H.264", all(h264)},
        AcceptCase{"codec_h265_dot", "videocodec=h.265", all(h265)},
        AcceptCase{"codec_h265", "videocodec=H265", all(h265)},
        AcceptCase{"codec_av1", "videocodec=Av1", all(av1)},
        AcceptCase{"empty_codec_is_absent", "videocodec=&camera=2", all(camera(2))},
        AcceptCase{"camera_max", "camera=4294967295", all(camera(4294967295u))},
        AcceptCase{"camera_twice_last_wins", "camera=1&camera=3", all(camera(3))},
        AcceptCase{"camera_twice_mixed_case", "camera=1&CAMERA=4", all(camera(4))},
        AcceptCase{"channel_zero", "channel=0",
                   [](StreamProfileConfig &c) { c.has_channel = 1; }},
        AcceptCase{"upper_x", "resolution=1920X1080", all(size(1920, 1080))},
        AcceptCase{"width_23_digits", "resolution=00000000000000000001920x1080", all(size(1920, 1080))},
        AcceptCase{"height_23_digits", "resolution=1x00000000000000000000007", all(size(1, 7))},
        AcceptCase{"fps_bounds_low", "fps=0.1", all(fps(0.1))},
        AcceptCase{"fps_bounds_high", "fps=120", all(fps(120))},
        AcceptCase{"fps_fraction_kept", "fps=29.97", all(fps(29.97))},
        AcceptCase{"fps_exponent", "fps=2.5e1", all(fps(25))},
        AcceptCase{"fps_leading_blanks", "fps=+%2030", all(fps(30))},
        AcceptCase{"fps_sign", "fps=%2B25", all(fps(25))},
        AcceptCase{"fps_hex_float", "fps=0x1Ep0", all(fps(30))},
        AcceptCase{"compression_100", "compression=100",
                   [](StreamProfileConfig &c) {
                     c.has_compression = 1;
                     c.compression = 100;
                   }},
        AcceptCase{"h264profile_any_text_cut", "h264profile=high+profile+with+a+long+trailing+name",
                   [](StreamProfileConfig &c) {
                     c.has_h264_profile = 1;
                     std::string full = "high profile with a long trailing name";
                     std::strcpy(c.h264_profile, full.substr(0, 31).c_str());
                   }},
        AcceptCase{"keyframe_first_alias_wins", "videokeyframeinterval=32&keyframeinterval=bad",
                   [](StreamProfileConfig &c) {
                     c.has_keyframe_interval = 1;
                     c.keyframe_interval = 32;
                   }},
        AcceptCase{"keyframe_empty_alias_falls_through", "videokeyframeinterval=&keyframeinterval=60",
                   [](StreamProfileConfig &c) {
                     c.has_keyframe_interval = 1;
                     c.keyframe_interval = 60;
                   }},
        AcceptCase{"audio_false", "audio=False", all(audio("disabled"))},
        AcceptCase{"audio_no", "audio=NO", all(audio("disabled"))},
        AcceptCase{"audio_zero", "audio=0", all(audio("disabled"))},
        AcceptCase{"audio_off", "audio=off", all(audio("disabled"))},
        AcceptCase{"audio_one", "audio=1", all(audio("enabled"))},
        AcceptCase{"audio_word", "audio=maybe", all(audio("enabled"))},
        AcceptCase{"overlays_decoded_with_equals", "overlays=a%3Db=c+d",
                   [](StreamProfileConfig &c) {
                     c.has_overlays = 1;
                     std::strcpy(c.overlays, "a=b=c d");
                   }},
        AcceptCase{"videobitrate_kbps", "videobitrate=2500", all(bitrate(2500000))},
        AcceptCase{"videobitrate_top", "videobitrate=4294967", all(bitrate(4294967000u))},
        AcceptCase{"videobitrate_wins_over_bitrate", "videobitrate=3000&bitrate=2500000",
                   all(bitrate(3000000))},
        AcceptCase{"bitrate_off", "bitrate=OFF", all(bitrate(0))},
        AcceptCase{"bitrate_unlimited", "bitrate=unlimited", all(bitrate(0))},
        AcceptCase{"max_first_alias_hides_bad_second", "videomaxbitrate=800&maxbitrate=bad",
                   all(max_bitrate(800000))},
        AcceptCase{"maxbitrate_is_kbps", "maxbitrate=800", all(max_bitrate(800000))},
        AcceptCase{"abr_kbps_name", "videoabrmaxbitrate=1500", all(abr(1500000))},
        AcceptCase{"abr_bps_name", "abr.target_bitrate=1500000", all(abr(1500000))},
        AcceptCase{"abr_first_name_wins", "abr.target_bitrate=bad&videoabrmaxbitrate=2000",
                   all(abr(2000000))},
        AcceptCase{"mode_variable", "videobitratemode=Variable", all(mode(RATE_CONTROL_VBR))},
        AcceptCase{"mode_number_rc", "rc.mode=3", all(mode(RATE_CONTROL_ABR))},
        AcceptCase{"mode_none", "videobitratemode=none", all(mode(RATE_CONTROL_NONE))},
        AcceptCase{"mode_constant", "bitratemode=CONSTANT", all(mode(RATE_CONTROL_CBR))},
        AcceptCase{"mode_maximum", "videobitratecontrol=maximum", all(mode(RATE_CONTROL_MBR))},
        AcceptCase{"mode_max", "videobitratecontrol=max", all(mode(RATE_CONTROL_MBR))},
        AcceptCase{"mode_average", "rc.mode=average", all(mode(RATE_CONTROL_ABR))},
        AcceptCase{"mode_precedence", "rc.mode=bad&bitratemode=cbr&videobitratemode=mbr",
                   all(mode(RATE_CONTROL_MBR))},
        AcceptCase{"mode_second_alias", "rc.mode=bad&videobitratecontrol=vbr", all(mode(RATE_CONTROL_VBR))},
        AcceptCase{"trailing_separator", "camera=2&", all(camera(2))},
        AcceptCase{"value_with_equals_sign_is_ignored_key", "unknown=a=b&camera=5", all(camera(5))}),
    [](const testing::TestParamInfo<AcceptCase> &info) { return std::string(info.param.name); });

// ---- parse_stream_profile: refused texts ----

struct RefuseCase {
  const char *name;
  const char *text;
  const char *message;
};

void PrintTo(const RefuseCase &c, std::ostream *os) { *os << c.text; }

class RefusedProfile : public testing::TestWithParam<RefuseCase> {};

TEST_P(RefusedProfile, ReportsTheFirstBadKeyInReadingOrder) {
  const RefuseCase &c = GetParam();
  StreamProfileConfig parsed{};
  char error_text[kMessageSize] = "";
  EXPECT_FALSE(parse_stream_profile(c.text, parsed, error_text));
  EXPECT_STREQ(error_text, c.message);
}

#define CODEC_MESSAGE(v)                                                                     \
  "Selected stream profile uses unsupported video codec '" v                               \
  "'. Corvane supports H.264, H.265/HEVC, and AV1 profiles."

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedProfile,
    testing::Values(
        RefuseCase{"codec_mjpeg", "videocodec=mjpeg", CODEC_MESSAGE("mjpeg")},
        RefuseCase{"codec_trailing_space", "videocodec=h264+", CODEC_MESSAGE("h264 ")},
        RefuseCase{"codec_before_camera", "camera=0&videocodec=vp8", CODEC_MESSAGE("vp8")},
        RefuseCase{"camera_zero", "camera=0", "Unsupported stream profile camera value '0'."},
        RefuseCase{"camera_too_big", "camera=4294967296",
                   "Unsupported stream profile camera value '4294967296'."},
        RefuseCase{"camera_before_compression", "compression=101&camera=0",
                   "Unsupported stream profile camera value '0'."},
        RefuseCase{"channel_negative", "channel=-1", "Unsupported stream profile channel value '-1'."},
        RefuseCase{"resolution_no_height", "resolution=1920x",
                   "Unsupported stream profile resolution '1920x'; use WIDTHxHEIGHT."},
        RefuseCase{"resolution_no_width", "resolution=x1080",
                   "Unsupported stream profile resolution 'x1080'; use WIDTHxHEIGHT."},
        RefuseCase{"resolution_no_separator", "resolution=1920*1080",
                   "Unsupported stream profile resolution '1920*1080'; use WIDTHxHEIGHT."},
        RefuseCase{"resolution_zero_width", "resolution=0x1080",
                   "Unsupported stream profile resolution '0x1080'; use WIDTHxHEIGHT."},
        RefuseCase{"resolution_lower_x_before_upper", "resolution=1X2x3",
                   "Unsupported stream profile resolution '1X2x3'; use WIDTHxHEIGHT."},
        RefuseCase{"resolution_width_24_digits", "resolution=000000000000000000001920x1080",
                   "Unsupported stream profile resolution '000000000000000000001920x1080'; use "
                   "WIDTHxHEIGHT."},
        RefuseCase{"resolution_height_24_digits", "resolution=1x000000000000000000000007",
                   "Unsupported stream profile resolution '1x000000000000000000000007'; use "
                   "WIDTHxHEIGHT."},
        RefuseCase{"resolution_third_part", "resolution=1x2x3",
                   "Unsupported stream profile resolution '1x2x3'; use WIDTHxHEIGHT."},
        RefuseCase{"fps_too_low", "fps=0.05", "Unsupported stream profile fps value '0.05'."},
        RefuseCase{"fps_too_high", "fps=121", "Unsupported stream profile fps value '121'."},
        RefuseCase{"fps_unit", "fps=30fps", "Unsupported stream profile fps value '30fps'."},
        RefuseCase{"fps_nan", "fps=NaN", "Unsupported stream profile fps value 'NaN'."},
        RefuseCase{"fps_comma", "fps=30,5", "Unsupported stream profile fps value '30,5'."},
        RefuseCase{"fps_infinite", "fps=inf", "Unsupported stream profile fps value 'inf'."},
        RefuseCase{"fps_trailing_blank", "fps=30+", "Unsupported stream profile fps value '30 '."},
        RefuseCase{"fps_underflow", "fps=1e-400", "Unsupported stream profile fps value '1e-400'."},
        RefuseCase{"fps_blank", "fps=+", "Unsupported stream profile fps value ' '."},
        RefuseCase{"compression_101", "compression=101",
                   "Unsupported stream profile compression value '101'."},
        RefuseCase{"compression_negative", "compression=-1",
                   "Unsupported stream profile compression value '-1'."},
        RefuseCase{"keyframe_second_alias_bad", "keyframeinterval=often",
                   "Unsupported stream profile keyframe interval value 'often'."},
        RefuseCase{"bitrate_checked_before_videobitrate", "bitrate=fast&videobitrate=3000",
                   "Unsupported stream profile bitrate value 'fast'."},
        RefuseCase{"videobitrate_too_big", "videobitrate=4294968",
                   "Unsupported stream profile videobitrate value '4294968'."},
        RefuseCase{"videomaxbitrate_bad", "videomaxbitrate=lots",
                   "Unsupported stream profile max bitrate value 'lots'."},
        RefuseCase{"abr_bits_too_big", "abr.target_bitrate=4294967296",
                   "Unsupported stream profile ABR bitrate value '4294967296'."},
        RefuseCase{"abr_kbps_too_big", "videoabrmaxbitrate=4294968",
                   "Unsupported stream profile ABR bitrate value '4294968'."},
        RefuseCase{"mode_four", "bitratemode=4", "Unsupported stream profile bitrate mode '4'."},
        RefuseCase{"mode_word", "rc.mode=quality", "Unsupported stream profile bitrate mode 'quality'."},
        RefuseCase{"percent_is_data", "camera=%25s%25n%25x",
                   "Unsupported stream profile camera value '%s%n%x'."}),
    [](const testing::TestParamInfo<RefuseCase> &info) { return std::string(info.param.name); });

// ---- the split itself ----

class BrokenText : public testing::TestWithParam<const char *> {};

TEST_P(BrokenText, FailsWithTheSplittersOwnMessage) {
  StreamProfileConfig parsed{};
  char error_text[kMessageSize] = "";
  EXPECT_FALSE(parse_stream_profile(GetParam(), parsed, error_text));
  const std::string prefix = "Failed to parse stream profile parameters: ";
  std::string message = error_text;
  ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
  std::string reason = message.substr(prefix.size());
  EXPECT_FALSE(reason.empty());
  EXPECT_NE(reason, "unknown error");
  // Nothing is read from a text that did not split.
  EXPECT_EQ(parsed.has_camera, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, BrokenText,
                         testing::Values("camera=2&&fps=30", "&camera=2", "&", "camera",
                                         "camera=2&fps", "camera=%zz", "camera=%2", "camera=%00",
                                         "camera=%ff", "%C3%28=1"));

TEST(StreamProfile, AbsentTextIsAnAllAbsentSuccess) {
  StreamProfileConfig parsed{};
  char error_text[kMessageSize] = "untouched";
  EXPECT_TRUE(parse_stream_profile(nullptr, parsed, error_text));
  StreamProfileConfig zero{};
  std::string why;
  EXPECT_TRUE(same_config(parsed, zero, &why)) << why;
  EXPECT_STREQ(error_text, "untouched");
}

TEST(StreamProfile, LongValueIsCutInTheMessage) {
  std::string text = "camera=" + std::string(1000, '9');
  StreamProfileConfig parsed{};
  char error_text[kMessageSize];
  EXPECT_FALSE(parse_stream_profile(text.c_str(), parsed, error_text));
  EXPECT_EQ(std::strlen(error_text), kMessageSize - 1);
  EXPECT_EQ(std::string(error_text).rfind("Unsupported stream profile camera value '999", 0), 0u);
}

TEST(StreamProfile, CutTextFieldKeepsWholeCharacters) {
  // 62 ASCII bytes, then a two-byte character that would straddle the 63-byte limit.
  std::string text = "overlays=" + std::string(62, 'a') + "%C3%A9";
  StreamProfileConfig parsed{};
  char error_text[kMessageSize] = "";
  ASSERT_TRUE(parse_stream_profile(text.c_str(), parsed, error_text)) << error_text;
  EXPECT_EQ(std::string(parsed.overlays), std::string(62, 'a'));
  EXPECT_TRUE(g_utf8_validate(parsed.overlays, -1, nullptr));
}

}  // namespace
