// Stream profile text → parsed record, settings map and details texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "capture/capture_settings.h"
#include "capture/details_text.h"

namespace {

struct Case {
  std::string in;
  std::string out;
};

// Runs a parser into 77 and shows its result, or "fail" with the output left alone.
template <typename Parse>
std::string number(Parse parse) {
  uint32_t out = 77;
  const bool ok = parse(&out);
  return ok ? std::to_string(out) : out == 77 ? "fail" : "fail, output touched";
}

TEST(Numbers, UintInRangeAndBitrate) {
  const Case uints[] = {{"", "fail"}, {"0", "0"}, {"10", "10"}, {"11", "fail"}, {"  7", "7"}, {"+7", "7"},
                        {"7 ", "fail"}, {"0x10", "fail"}, {"-0", "0"}, {"-1", "fail"}, {"-", "fail"},
                        {"-18446744073709551615", "fail"}, {"18446744073709551616", "fail"}};
  for (const Case &c : uints)
    EXPECT_EQ(number([&c](uint32_t *out) { return parse_uint_in_range(c.in.c_str(), 0, 10, out); }), c.out) << c.in;
  EXPECT_EQ(number([](uint32_t *out) { return parse_uint_in_range("0", 1, 10, out); }), "fail");
  EXPECT_EQ(number([](uint32_t *out) { return parse_uint_in_range("4294967295", 1, 4294967295u, out); }), "4294967295");
  EXPECT_EQ(number([](uint32_t *out) { return parse_uint_in_range(nullptr, 0, 10, out); }), "fail");
  // kbps: "k" prefix in the input column.
  const Case bitrates[] = {{"kunlimited", "0"}, {"OFF", "0"}, {"k0", "0"}, {"k2500", "2500000"},
                           {"k4294967", "4294967000"}, {"k4294968", "fail"}, {"4294967295", "4294967295"},
                           {"4294967296", "fail"}, {"k2500 ", "fail"}, {"k2.5", "fail"}, {"-1", "fail"},
                           {"none", "fail"}, {"", "fail"}};
  for (const Case &c : bitrates) {
    const bool kbps = c.in[0] == 'k';
    EXPECT_EQ(number([&c, kbps](uint32_t *out) { return parse_bitrate(c.in.c_str() + kbps, kbps, out); }), c.out) << c.in;
  }
}

// The present fields of a parsed record, in one line.
std::string describe(const StreamProfileConfig &c) {
  std::string s;
  auto add = [&s](uint32_t has, const char *name, const std::string &value) {
    if (has) s += (s.empty() ? "" : " ") + std::string(name) + "=" + value;
  };
  auto u = [](uint32_t v) { return std::to_string(v); };
  add(c.has_codec, "codec", u(c.codec) + ":" + c.codec_label);
  add(c.has_camera, "cam", u(c.camera));
  add(c.has_channel, "ch", u(c.channel));
  add(c.has_resolution, "res", u(c.width) + "x" + u(c.height));
  char fps[32];
  g_snprintf(fps, sizeof fps, "%.6g", c.fps);
  add(c.has_fps, "fps", fps);
  add(c.has_compression, "comp", u(c.compression));
  add(c.has_h264_profile, "h264", c.h264_profile);
  add(c.has_keyframe_interval, "kf", u(c.keyframe_interval));
  add(c.has_audio, "audio", c.audio);
  add(c.has_overlays, "ovl", c.overlays);
  add(c.has_bitrate, "br", u(c.bitrate));
  add(c.has_max_bitrate, "max", u(c.max_bitrate));
  add(c.has_abr_target, "abr", u(c.abr_target));
  add(c.has_rate_control, "rc", u(c.rate_control));
  return s;
}

std::string parse(const std::string &text) {
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  return parse_stream_profile(text.c_str(), config, error_text) ? describe(config) : std::string("! ") + error_text;
}

#define BAD(key, v) "! Unsupported stream profile " key " '" v "'."
#define BAD_RES(v) "! Unsupported stream profile resolution '" v "'; use WIDTHxHEIGHT."

TEST(StreamProfile, TextToRecordOrFirstBadKey) {
  const Case cases[] = {
      {"", ""}, {"foo=bar&x=1", ""}, {"camera=2&", "cam=2"}, {"unknown=a=b&camera=5", "cam=5"},
      {"videocodec=hevc&resolution=1280x720", "codec=1:H.265 res=1280x720"},
      {"VideoCodec=AVC", "codec=0:H.264"}, {"videocodec=h.265", "codec=1:H.265"}, {"videocodec=Av1", "codec=2:AV1"},
      {"videocodec=&camera=2", "cam=2"}, {"camera=1&CAMERA=4", "cam=4"}, {"channel=0", "ch=0"},
      {"videocodec=mjpeg", "! Selected stream profile uses unsupported video codec 'mjpeg'. Corvane supports "
                           "H.264, H.265/HEVC, and AV1 profiles."},
      {"camera=0&videocodec=h264+", "! Selected stream profile uses unsupported video codec 'h264 '. Corvane "
                                    "supports H.264, H.265/HEVC, and AV1 profiles."},
      {"compression=101&camera=0", BAD("camera value", "0")}, {"camera=4294967296", BAD("camera value", "4294967296")},
      {"channel=-1", BAD("channel value", "-1")}, {"camera=%25s%25n", BAD("camera value", "%s%n")},
      {"resolution=1920X1080", "res=1920x1080"}, {"resolution=1X2x3", BAD_RES("1X2x3")},
      {"resolution=00000000000000000001920x1080", "res=1920x1080"}, {"resolution=1x00000000000000000000007", "res=1x7"},
      {"resolution=000000000000000000001920x1", BAD_RES("000000000000000000001920x1")},
      {"resolution=1x000000000000000000000007", BAD_RES("1x000000000000000000000007")},
      {"resolution=1920x", BAD_RES("1920x")}, {"resolution=x1080", BAD_RES("x1080")}, {"resolution=0x1", BAD_RES("0x1")},
      {"resolution=1920*1080", BAD_RES("1920*1080")},
      {"fps=0.1", "fps=0.1"}, {"fps=120", "fps=120"}, {"fps=29.97", "fps=29.97"}, {"fps=2.5e1", "fps=25"},
      {"fps=+%2030", "fps=30"}, {"fps=0.05", BAD("fps value", "0.05")}, {"fps=121", BAD("fps value", "121")},
      {"fps=30fps", BAD("fps value", "30fps")}, {"fps=NaN", BAD("fps value", "NaN")}, {"fps=30,5", BAD("fps value", "30,5")},
      {"fps=1e-400", BAD("fps value", "1e-400")},
      {"compression=100", "comp=100"}, {"compression=-1", BAD("compression value", "-1")},
      {"h264profile=high+profile+with+a+long+trailing+name", "h264=high profile with a long traili"},
      {"videokeyframeinterval=32&keyframeinterval=bad", "kf=32"}, {"videokeyframeinterval=&keyframeinterval=60", "kf=60"},
      {"keyframeinterval=often", BAD("keyframe interval value", "often")},
      {"audio=False", "audio=disabled"}, {"audio=NO", "audio=disabled"}, {"audio=0", "audio=disabled"},
      {"audio=off", "audio=disabled"}, {"audio=1", "audio=enabled"}, {"audio=maybe", "audio=enabled"},
      {"overlays=a%3Db=c+d", "ovl=a=b=c d"}, {"overlays=" + std::string(62, 'a') + "%C3%A9", "ovl=" + std::string(62, 'a')},
      {"videobitrate=3000&bitrate=2500000", "br=3000000"}, {"bitrate=OFF", "br=0"},
      {"bitrate=fast&videobitrate=3000", BAD("bitrate value", "fast")},
      {"videobitrate=4294968", BAD("videobitrate value", "4294968")},
      {"videomaxbitrate=800&maxbitrate=bad", "max=800000"}, {"maxbitrate=800", "max=800000"},
      {"videomaxbitrate=lots", BAD("max bitrate value", "lots")},
      {"abr.target_bitrate=1500000", "abr=1500000"}, {"abr.target_bitrate=bad&videoabrmaxbitrate=2000", "abr=2000000"},
      {"abr.target_bitrate=4294967296", BAD("ABR bitrate value", "4294967296")},
      {"videobitratemode=Variable", "rc=1"}, {"rc.mode=3", "rc=3"}, {"videobitratemode=none", "rc=4294967295"},
      {"bitratemode=CONSTANT", "rc=0"}, {"videobitratecontrol=maximum", "rc=2"}, {"rc.mode=average", "rc=3"},
      {"rc.mode=bad&bitratemode=cbr&videobitratemode=mbr", "rc=2"}, {"rc.mode=bad&videobitratecontrol=vbr", "rc=1"},
      {"bitratemode=4", "! Unsupported stream profile bitrate mode '4'."},
      {"rc.mode=quality", "! Unsupported stream profile bitrate mode 'quality'."},
      {"camera=" + std::string(600, '9'), "! Unsupported stream profile camera value '" + std::string(470, '9')},
  };
  for (const Case &c : cases) EXPECT_EQ(parse(c.in), c.out) << c.in;
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "kept";
  EXPECT_TRUE(parse_stream_profile(nullptr, config, error_text));
  EXPECT_EQ(describe(config) + error_text, "kept");
}

TEST(StreamProfile, BrokenTextFailsWithTheSplittersMessage) {
  const char *prefix = "! Failed to parse stream profile parameters: ";
  for (const char *text : {"camera=2&&fps=30", "&camera=2", "camera", "camera=%zz", "camera=%00", "%C3%28=1"}) {
    std::string got = parse(text);
    EXPECT_EQ(got.rfind(prefix, 0), 0u) << text << ": " << got;
    EXPECT_GT(got.size(), std::strlen(prefix) + 5) << text;
    EXPECT_EQ(got.find("unknown error"), std::string::npos) << text;
  }
}

// The settings map's entries in a fixed order.
std::string settings(const std::string &text) {
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  if (!parse_stream_profile(text.c_str(), config, error_text)) return error_text;
  VdoMap *map = build_capture_settings(config);
  std::string s;
  for (const char *key : {"format", "input", "channel", "compression", "rc.mode", "abr.target_bitrate", "bitrate"})
    if (vdo_map_contains(map, key)) s += std::string(key) + "=" + std::to_string(vdo_map_get_uint32(map, key, 7777)) + " ";
  if (vdo_map_contains(map, "framerate")) s += "framerate=" + std::to_string(vdo_map_get_double(map, "framerate", -1)) + " ";
  if (vdo_map_get_boolean(map, "frame.chunks", FALSE)) s += "chunks ";
  guint32 width = 0, height = 0;
  if (vdo_map_get_pair32u(map, "resolution", &width, &height)) s += std::to_string(width) + "x" + std::to_string(height);
  g_object_unref(map);
  return s;
}

TEST(CaptureSettings, ProfileToMap) {
  const Case cases[] = {
      {"", "format=0 chunks 640x360"},
      {"videocodec=h265&resolution=1920x1080&fps=30&videobitratemode=vbr&videomaxbitrate=6000",
       "format=1 rc.mode=1 bitrate=6000000 framerate=30.000000 chunks 1920x1080"},
      {"videocodec=av1&camera=2&channel=0&compression=55&fps=12.5",
       "format=10 input=2 channel=0 compression=55 framerate=12.500000 chunks 640x360"},
      {"h264profile=high&keyframeinterval=32&audio=on&overlays=clock", "format=0 chunks 640x360"},
      {"videoabrmaxbitrate=2000&videomaxbitrate=800", "format=0 rc.mode=3 abr.target_bitrate=2000000 chunks 640x360"},
      {"videomaxbitrate=800&videobitrate=3000", "format=0 rc.mode=2 bitrate=800000 chunks 640x360"},
      {"videobitrate=3000", "format=0 bitrate=3000000 chunks 640x360"},
      {"videomaxbitrate=unlimited&abr.target_bitrate=0", "format=0 chunks 640x360"},
      {"videobitratemode=none&videomaxbitrate=4000", "format=0 rc.mode=2 bitrate=4000000 chunks 640x360"},
      {"videobitratemode=cbr&videobitrate=3000&videomaxbitrate=5000", "format=0 rc.mode=0 bitrate=5000000 chunks 640x360"},
      {"videobitratemode=vbr&videoabrmaxbitrate=2000", "format=0 rc.mode=1 chunks 640x360"},
      {"videobitratemode=abr&videomaxbitrate=4000", "format=0 rc.mode=3 abr.target_bitrate=4000000 chunks 640x360"},
      {"videobitratemode=abr&videomaxbitrate=4000&videoabrmaxbitrate=1500",
       "format=0 rc.mode=3 abr.target_bitrate=1500000 chunks 640x360"},
      {"videobitratemode=abr&videobitrate=3000", "format=0 rc.mode=3 chunks 640x360"},
      {"videobitratemode=mbr&videomaxbitrate=0&videobitrate=900", "format=0 rc.mode=2 bitrate=900000 chunks 640x360"},
  };
  for (const Case &c : cases) EXPECT_EQ(settings(c.in), c.out) << c.in;
}

std::string take(GString *text) {
  std::string copy(text->str, text->len);
  g_string_free(text, TRUE);
  return copy;
}

TEST(DetailsText, BitrateLines) {
  const std::pair<uint32_t, const char *> cases[] = {
      {0, "unlimited"}, {1, "1 kbps"}, {1000, "1 kbps"}, {1001, "2 kbps"}, {999999, "1000 kbps"},
      {1000000, "1.00 Mbps"}, {6000000, "6.00 Mbps"}, {4294967000u, "4294.97 Mbps"}};
  for (const auto &[bits, line] : cases) {
    GString *text = g_string_new("x");
    append_bitrate_line(text, "Rate", bits);
    EXPECT_EQ(take(text), std::string("x\nRate: ") + line) << bits;
  }
}

struct DetailsCase {
  const char *parameters, *name;
  uint32_t silent_audio, width, height, fps;
  const char *profile_details, *stream_details;
};

TEST(DetailsText, ProfileAndStreamDetails) {
  const char *tail = "\nRTMP audio: none";
  const DetailsCase cases[] = {
      {"videocodec=h265&resolution=1920x1080&fps=30&videobitratemode=vbr&videomaxbitrate=6000", "Studio", 1, 1920, 1080,
       30, "Name: Studio\nResolution: 1920x1080\nFrame rate: 30.00 fps\nVideo codec: H.265\nRate control: VBR\nMax bitrate: 6.00 Mbps",
       "Video: H.265 1920x1080 @ 30 fps\nProfile: Studio\nRTMP mode: Enhanced RTMP required\nRate control: VBR\nMax bitrate: 6.00 Mbps\nRTMP audio: silent AAC"},
      {"", nullptr, 0, 640, 360, 25, "Name: Default H.264 640x360", "Video: H.264 640x360 @ 25 fps\nProfile: Default H.264 640x360"},
      {"videocodec=av1", "", 0, 1280, 720, 30, "Name: Default H.264 640x360\nVideo codec: AV1",
       "Video: AV1 1280x720 @ 30 fps\nProfile: Default H.264 640x360\nRTMP mode: Enhanced RTMP required"},
      {"videoabrmaxbitrate=2000", "P", 0, 640, 360, 30, "Name: P\nABR target: 2.00 Mbps",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: ABR\nABR target: 2.00 Mbps"},
      {"videomaxbitrate=800", "P", 0, 640, 360, 30, "Name: P\nMax bitrate: 800 kbps",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: MBR\nMax bitrate: 800 kbps"},
      {"videobitrate=3000", "P", 0, 640, 360, 30, "Name: P\nBitrate: 3.00 Mbps", "Video: H.264 640x360 @ 30 fps\nProfile: P"},
      {"videobitratemode=none&videomaxbitrate=4000", "P", 0, 640, 360, 30, "Name: P\nRate control: None\nMax bitrate: 4.00 Mbps",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nRate control: None\nMax bitrate: 4.00 Mbps"},
      {"videomaxbitrate=unlimited", "P", 0, 640, 360, 30, "Name: P\nMax bitrate: unlimited",
       "Video: H.264 640x360 @ 30 fps\nProfile: P\nMax bitrate: unlimited"},
      {"overlays=clock&audio=off&abr.target_bitrate=0&maxbitrate=off&bitrate=999999&rc.mode=cbr&keyframeinterval=60&"
       "h264profile=high&videocodec=h264&compression=30&fps=29.97&resolution=800x600&channel=0&camera=2", "50%s", 0, 720, 576, 13,
       "Name: 50%s\nInput: 2\nChannel: 0\nResolution: 800x600\nFrame rate: 29.97 fps\nCompression: 30\nVideo codec: H.264\n"
       "H.264 profile: high\nKeyframe interval: 60\nRate control: CBR\nBitrate: 1000 kbps\nMax bitrate: unlimited\n"
       "ABR target: unlimited\nAudio: disabled\nOverlays: clock",
       "Video: H.264 720x576 @ 13 fps\nProfile: 50%s\nInput: 2\nChannel: 0\nCompression: 30\nRate control: CBR\n"
       "Max bitrate: unlimited\nABR target: unlimited"},
  };
  for (const DetailsCase &c : cases) {
    SCOPED_TRACE(c.parameters);
    StreamProfileConfig config{};
    char error_text[kMessageSize] = "";
    ASSERT_TRUE(parse_stream_profile(c.parameters, config, error_text)) << error_text;
    EXPECT_EQ(take(format_profile_details(config, c.name)), c.profile_details);
    std::string expected = std::string(c.stream_details) + (c.silent_audio ? "" : tail);
    EXPECT_EQ(take(format_stream_details(config, c.name, c.silent_audio, c.width, c.height, c.fps)), expected);
  }
}

}  // namespace

namespace {

// g_ascii_strtod's first call in a process sets up its locale behind GLib's
// process-wide once-lock; while other threads took that lock, "fps=30" was
// once refused. Each child runs this as its process's first parse.
int first_parse_in_busy_process() {
  std::atomic<bool> stop{false};
  std::vector<std::thread> contenders;
  for (int i = 0; i < 3; ++i)
    contenders.emplace_back([&stop] {
      while (!stop) {
        gsize once = 0;
        if (g_once_init_enter(&once)) g_once_init_leave(&once, 1);
      }
    });
  g_usleep(200);
  const bool parsed = parse("fps=30") == "fps=30";
  stop = true;
  for (std::thread &thread : contenders) thread.join();
  return parsed ? 0 : 1;
}

int first_parse_refusals = -1;

TEST(StreamProfile, FpsParsesAsTheFirstParseOfABusyProcess) {
  EXPECT_EQ(first_parse_refusals, 0) << "of 30 first parses, each in a fresh child";
}

}  // namespace

int main(int argc, char **argv) {
  // Before anything here has parsed: each child's parse is its process's first.
  first_parse_refusals = 0;
  for (int i = 0; i < 30; ++i) {
    const pid_t child = fork();
    if (child == 0) _exit(first_parse_in_busy_process());
    int status = -1;
    waitpid(child, &status, 0);
    first_parse_refusals += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
