// Stream profile text → parsed record (from the table the page shares), settings map and
// details texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/bounded_text.h"
#include "base/owners.h"
#include "capture/capture_settings.h"
#include "capture/details_text.h"

namespace {

constexpr const char *kProfileCases = STREAM_PROFILE_CASES;

// One row of the table of stream profile texts that the page's parser
// (html/js/profile_params.js) is held to as well: name, text, and the
// present fields of an accepted text (an object) or the message of a
// refused one (a string, or an array of strings to join).
struct ProfileRow {
  std::string name;
  std::string text;
  bool refused;
  std::string refusal;
  std::map<std::string, std::string> fields;
};

void PrintTo(const ProfileRow &row, std::ostream *out) { *out << '"' << row.text << '"'; }

// Numbers are compared as the doubles they are (every field fits one exactly).
std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A string, or an array of strings written in parts to keep the file's lines short.
std::string joined_text(const json_t *value) {
  if (json_is_string(value)) return json_string_value(value);
  std::string text;
  for (std::size_t i = 0; i < json_array_size(value); ++i)
    text += json_string_value(json_array_get(value, i));
  return text;
}

std::vector<ProfileRow> load_rows() {
  json_error_t error;
  const JsonRef root(json_load_file(kProfileCases, 0, &error));
  if (!json_is_array(root.get())) {
    std::fprintf(stderr, "%s: %s\n", kProfileCases, error.text);
    std::abort();
  }
  std::vector<ProfileRow> rows;
  for (std::size_t i = 0; i < json_array_size(root.get()); ++i) {
    const json_t *entry = json_array_get(root.get(), i);
    ProfileRow row;
    row.name = json_string_value(json_array_get(entry, 0));
    row.text = json_string_value(json_array_get(entry, 1));
    json_t *expected = json_array_get(entry, 2);
    row.refused = !json_is_object(expected);
    if (row.refused) row.refusal = joined_text(expected);
    const char *key;
    const json_t *value;
    json_object_foreach(expected, key, value) {
      row.fields[key] = json_is_string(value) ? json_string_value(value)
                                              : number_text(json_number_value(value));
    }
    rows.push_back(row);
  }
  return rows;
}

// The fields whose presence flag is set, under the names the table uses.
std::map<std::string, std::string> present_fields(const StreamProfileConfig &config) {
  std::map<std::string, std::string> fields;
  if (config.has_codec) {
    fields["codec"] = number_text(config.codec);
    fields["codec_label"] = config.codec_label;
  }
  if (config.has_camera) fields["camera"] = number_text(config.camera);
  if (config.has_channel) fields["channel"] = number_text(config.channel);
  if (config.has_resolution) {
    fields["width"] = number_text(config.width);
    fields["height"] = number_text(config.height);
  }
  if (config.has_fps) fields["fps"] = number_text(config.fps);
  if (config.has_compression) fields["compression"] = number_text(config.compression);
  if (config.has_h264_profile) fields["h264_profile"] = config.h264_profile;
  if (config.has_keyframe_interval)
    fields["keyframe_interval"] = number_text(config.keyframe_interval);
  if (config.has_audio) fields["audio"] = config.audio;
  if (config.has_overlays) fields["overlays"] = config.overlays;
  if (config.has_bitrate) fields["bitrate"] = number_text(config.bitrate);
  if (config.has_max_bitrate) fields["max_bitrate"] = number_text(config.max_bitrate);
  if (config.has_abr_target) fields["abr_target"] = number_text(config.abr_target);
  if (config.has_rate_control) fields["rate_control"] = number_text(config.rate_control);
  return fields;
}

class StreamProfileText : public testing::TestWithParam<ProfileRow> {};

TEST_P(StreamProfileText, GivesTheTablesFieldsOrRefusal) {
  const ProfileRow &row = GetParam();
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  const bool parsed = parse_stream_profile(row.text.c_str(), config, error_text);
  if (row.refused) {
    EXPECT_FALSE(parsed);
    EXPECT_STREQ(error_text, row.refusal.c_str());
  } else {
    EXPECT_TRUE(parsed) << error_text;
    EXPECT_EQ(present_fields(config), row.fields);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StreamProfileText, testing::ValuesIn(load_rows()),
                         [](const testing::TestParamInfo<ProfileRow> &info) {
                           return info.param.name;
                         });

TEST(StreamProfile, AbsentTextIsAccepted) {
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  EXPECT_TRUE(parse_stream_profile(nullptr, config, error_text));
}

TEST(StreamProfile, RefusalIsCutToTheMessageBuffer) {
  const std::string text = "camera=" + std::string(600, '9');
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  parse_stream_profile(text.c_str(), config, error_text);
  EXPECT_EQ(error_text, "Unsupported stream profile camera value '" + std::string(470, '9'));
}

// The settings map's entries; frame.chunks and 640x360 only when they are missing.
std::string settings(const char *text) {
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  EXPECT_TRUE(parse_stream_profile(text, config, error_text)) << error_text;
  VdoMap *map = build_capture_settings(config);
  std::ostringstream s;
  for (const char *key : {"format", "input", "channel", "compression", "rc.mode", "abr.target_bitrate", "bitrate"})
    if (vdo_map_contains(map, key)) s << key << '=' << vdo_map_get_uint32(map, key, 7777) << ' ';
  if (vdo_map_contains(map, "framerate")) s << "framerate=" << vdo_map_get_double(map, "framerate", -1) << ' ';
  if (!vdo_map_get_boolean(map, "frame.chunks", FALSE)) s << "no-chunks ";
  guint32 width = 0, height = 0;
  if (!vdo_map_get_pair32u(map, "resolution", &width, &height) || width != 640 || height != 360)
    s << width << 'x' << height;
  g_object_unref(map);
  return s.str();
}

TEST(CaptureSettings, ProfileToMap) {
  const std::pair<const char *, const char *> cases[] = {
      {"", "format=0 "}, {"h264profile=high&keyframeinterval=32&audio=on&overlays=clock", "format=0 "},
      {"videocodec=h265&resolution=1920x1080&fps=30&videobitratemode=vbr&videomaxbitrate=6000",
       "format=1 rc.mode=1 bitrate=6000000 framerate=30 1920x1080"},
      {"videocodec=av1&camera=2&channel=0&compression=55&fps=12.5",
       "format=10 input=2 channel=0 compression=55 framerate=12.5 "},
      {"videoabrmaxbitrate=2000&videomaxbitrate=800", "format=0 rc.mode=3 abr.target_bitrate=2000000 "},
      {"videomaxbitrate=800&videobitrate=3000", "format=0 rc.mode=2 bitrate=800000 "},
      {"videobitrate=3000", "format=0 bitrate=3000000 "},
      {"videomaxbitrate=unlimited&abr.target_bitrate=0", "format=0 "},
      {"videobitratemode=none&videomaxbitrate=4000", "format=0 rc.mode=2 bitrate=4000000 "},
      {"videobitratemode=cbr&videobitrate=3000&videomaxbitrate=5000", "format=0 rc.mode=0 bitrate=5000000 "},
      {"videobitratemode=mbr&videomaxbitrate=0&videobitrate=900", "format=0 rc.mode=2 bitrate=900000 "},
      {"videobitratemode=vbr&videoabrmaxbitrate=2000", "format=0 rc.mode=1 "},
      {"videobitratemode=abr&videobitrate=3000", "format=0 rc.mode=3 "},
      {"videobitratemode=abr&videomaxbitrate=4000", "format=0 rc.mode=3 abr.target_bitrate=4000000 "},
      {"videobitratemode=abr&videomaxbitrate=4000&videoabrmaxbitrate=1500",
       "format=0 rc.mode=3 abr.target_bitrate=1500000 "},
  };
  for (const auto &[text, expected] : cases) EXPECT_EQ(settings(text), expected) << text;
}

std::string take(GString *text) {
  std::string copy(text->str, text->len);
  g_string_free(text, TRUE);
  return copy;
}

TEST(DetailsText, BitrateLinesAndBothTexts) {
  const std::pair<uint32_t, const char *> lines[] = {{0, "unlimited"}, {1, "1 kbps"}, {1000, "1 kbps"},
      {1001, "2 kbps"}, {999999, "1000 kbps"}, {1000000, "1.00 Mbps"}, {4294967000u, "4294.97 Mbps"}};
  for (const auto &[bits, line] : lines) {
    GString *text = g_string_new("x");
    append_bitrate_line(text, "Rate", bits);
    EXPECT_EQ(take(text), std::string("x\nRate: ") + line);
  }
  const struct {
    const char *parameters, *name;
    uint32_t silent_audio, width, height, fps;
    const char *profile_details, *stream_details;
  } cases[] = {
      {"", nullptr, 0, 640, 360, 25, "Name: Default H.264 640x360",
       "Video: H.264 640x360 @ 25 fps\nProfile: Default H.264 640x360\nRTMP audio: none"},
      {"videoabrmaxbitrate=2000", "", 0, 1280, 720, 30, "Name: Default H.264 640x360\nABR target: 2.00 Mbps",
       "Video: H.264 1280x720 @ 30 fps\nProfile: Default H.264 640x360\nRate control: ABR\nABR target: 2.00 Mbps\n"
       "RTMP audio: none"},
      {"videomaxbitrate=800&videobitrate=3000", "P", 0, 640, 360, 30,
       "Name: P\nBitrate: 3.00 Mbps\nMax bitrate: 800 kbps",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: MBR\nMax bitrate: 800 kbps\nRTMP audio: none"},
      {"videobitratemode=none&videomaxbitrate=unlimited", "P", 0, 640, 360, 30,
       "Name: P\nRate control: None\nMax bitrate: unlimited",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: None\nMax bitrate: unlimited\nRTMP audio: none"},
      {"overlays=clock&audio=off&abr.target_bitrate=0&maxbitrate=off&bitrate=999999&rc.mode=cbr&keyframeinterval=60&"
       "h264profile=high&videocodec=h264&compression=30&fps=29.97&resolution=800x600&channel=0&camera=2",
       "50%s", 1, 720, 576, 13,
       "Name: 50%s\nInput: 2\nChannel: 0\nResolution: 800x600\nFrame rate: 29.97 fps\nCompression: 30\n"
       "Video codec: H.264\nH.264 profile: high\nKeyframe interval: 60\nRate control: CBR\nBitrate: 1000 kbps\n"
       "Max bitrate: unlimited\nABR target: unlimited\nAudio: disabled\nOverlays: clock",
       "Video: H.264 720x576 @ 13 fps\nProfile: 50%s\nInput: 2\nChannel: 0\nCompression: 30\nRate control: CBR\n"
       "Max bitrate: unlimited\nABR target: unlimited\nRTMP audio: silent AAC"},
  };
  for (const auto &c : cases) {
    StreamProfileConfig config{};
    char error_text[kMessageSize] = "";
    ASSERT_TRUE(parse_stream_profile(c.parameters, config, error_text)) << error_text;
    EXPECT_EQ(take(format_profile_details(config, c.name)), c.profile_details) << c.parameters;
    EXPECT_EQ(take(format_stream_details(config, c.name, c.silent_audio, c.width, c.height, c.fps)), c.stream_details);
  }
}

// g_ascii_strtod's first call in a process sets up its locale behind GLib's
// once-lock; while other threads took that lock, "fps=30" was once refused.
// main() counts the refusals of 30 fresh children, before anything has parsed.
int first_parse_refusals = -1;

TEST(StreamProfile, FpsParsesAsTheFirstParseOfABusyProcess) {
  EXPECT_EQ(first_parse_refusals, 0) << "of 30";
}

}  // namespace

int main(int argc, char **argv) {
  first_parse_refusals = 0;
  for (int child = 0, status = 0; child < 30; ++child, first_parse_refusals += status != 0) {
    if (fork() == 0) {
      std::atomic<bool> stop{false};
      std::thread contenders[3];
      for (std::thread &thread : contenders)
        thread = std::thread([&stop] {
          for (gsize once = 0; !stop; once = 0)
            if (g_once_init_enter(&once)) g_once_init_leave(&once, 1);
        });
      g_usleep(200);
      StreamProfileConfig config{};
      char error_text[kMessageSize] = "";
      const bool parsed = parse_stream_profile("fps=30", config, error_text) && config.fps == 30;
      stop = true;
      for (std::thread &thread : contenders) thread.join();
      _exit(parsed ? 0 : 1);
    }
    wait(&status);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
