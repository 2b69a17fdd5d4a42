// Stream profile text → parsed record, settings map and details texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "base/bounded_text.h"
#include "capture/capture_settings.h"
#include "capture/details_text.h"

namespace {

struct Case {
  std::string in, out;
};

// The present fields of a parsed record in one line, or "! " and the message.
std::string parse(const std::string &text) {
  StreamProfileConfig c{};
  char error_text[kMessageSize] = "";
  if (!parse_stream_profile(text.c_str(), c, error_text)) return std::string("! ") + error_text;
  std::ostringstream s;
  auto add = [&s](uint32_t has, const char *name, auto value) {
    if (has) s << ' ' << name << '=' << value;
  };
  add(c.has_codec, "codec", std::to_string(c.codec) + ":" + c.codec_label);
  add(c.has_camera, "cam", c.camera), add(c.has_channel, "ch", c.channel);
  add(c.has_resolution, "res", std::to_string(c.width) + "x" + std::to_string(c.height));
  add(c.has_fps, "fps", c.fps), add(c.has_compression, "comp", c.compression);
  add(c.has_h264_profile, "h264", c.h264_profile), add(c.has_keyframe_interval, "kf", c.keyframe_interval);
  add(c.has_audio, "audio", c.audio), add(c.has_overlays, "ovl", c.overlays);
  add(c.has_bitrate, "br", c.bitrate), add(c.has_max_bitrate, "max", c.max_bitrate);
  add(c.has_abr_target, "abr", c.abr_target), add(c.has_rate_control, "rc", c.rate_control);
  return s.str().erase(0, 1);
}

#define BAD(key, v) "! Unsupported stream profile " key " '" v "'."
#define BAD_RES(v) "! Unsupported stream profile resolution '" v "'; use WIDTHxHEIGHT."
#define BAD_CODEC(v)                                                 \
  "! Selected stream profile uses unsupported video codec '" v "'. " \
  "Corvane supports H.264, H.265/HEVC, and AV1 profiles."
#define SPLIT(message) "! Failed to parse stream profile parameters: " message

TEST(StreamProfile, TextToRecordOrFirstBadKey) {
  const Case cases[] = {
      {"", ""}, {"foo=bar&x=1", ""}, {"camera=2&", "cam=2"}, {"camera=1&CAMERA=4", "cam=4"},
      {"videocodec=&camera=2", "cam=2"}, {"videocodec=hevc&resolution=1280x720", "codec=1:H.265 res=1280x720"},
      {"VideoCodec=AVC", "codec=0:H.264"}, {"videocodec=h.265", "codec=1:H.265"}, {"videocodec=Av1", "codec=2:AV1"},
      {"videocodec=mjpeg", BAD_CODEC("mjpeg")}, {"camera=0&videocodec=h264+", BAD_CODEC("h264 ")},
      {"compression=101&camera=0", BAD("camera value", "0")}, {"camera=%25s%25n", BAD("camera value", "%s%n")},
      {"camera=%2B7", "cam=7"}, {"camera=7+", BAD("camera value", "7 ")}, {"camera=0x10", BAD("camera value", "0x10")},
      {"camera=4294967295", "cam=4294967295"}, {"camera=4294967296", BAD("camera value", "4294967296")},
      {"camera=-18446744073709551615", BAD("camera value", "-18446744073709551615")},
      {"channel=0", "ch=0"}, {"channel=-0", "ch=0"}, {"channel=-1", BAD("channel value", "-1")},
      {"resolution=1920X1080", "res=1920x1080"}, {"resolution=1X2x3", BAD_RES("1X2x3")},
      {"resolution=00000000000000000001920x1", "res=1920x1"}, {"resolution=1x00000000000000000000007", "res=1x7"},
      {"resolution=000000000000000000001920x1", BAD_RES("000000000000000000001920x1")},
      {"resolution=1x000000000000000000000007", BAD_RES("1x000000000000000000000007")},
      {"resolution=1920x", BAD_RES("1920x")}, {"resolution=x1080", BAD_RES("x1080")},
      {"resolution=0x1", BAD_RES("0x1")}, {"resolution=1920*1080", BAD_RES("1920*1080")},
      {"fps=0.1", "fps=0.1"}, {"fps=120", "fps=120"}, {"fps=29.97", "fps=29.97"}, {"fps=+%2025", "fps=25"},
      {"fps=0.05", BAD("fps value", "0.05")}, {"fps=121", BAD("fps value", "121")},
      {"fps=30fps", BAD("fps value", "30fps")}, {"fps=NaN", BAD("fps value", "NaN")},
      {"fps=30,5", BAD("fps value", "30,5")},
      {"compression=100", "comp=100"}, {"compression=-1", BAD("compression value", "-1")},
      {"h264profile=high+profile+with+a+long+trailing+name", "h264=high profile with a long traili"},
      {"videokeyframeinterval=32&keyframeinterval=bad", "kf=32"},
      {"videokeyframeinterval=&keyframeinterval=60", "kf=60"},
      {"keyframeinterval=often", BAD("keyframe interval value", "often")},
      {"audio=False", "audio=disabled"}, {"audio=NO", "audio=disabled"}, {"audio=0", "audio=disabled"},
      {"audio=off", "audio=disabled"}, {"audio=1", "audio=enabled"}, {"overlays=a%3Db=c+d", "ovl=a=b=c d"},
      {"overlays=" + std::string(62, 'a') + "%C3%A9", "ovl=" + std::string(62, 'a')},  // a character is never cut
      {"videobitrate=3000&bitrate=2500000", "br=3000000"},
      {"bitrate=fast&videobitrate=3000", BAD("bitrate value", "fast")},
      {"bitrate=OFF", "br=0"}, {"bitrate=UnLimited", "br=0"}, {"bitrate=4294967295", "br=4294967295"},
      {"bitrate=4294967296", BAD("bitrate value", "4294967296")}, {"videobitrate=0", "br=0"},
      {"videobitrate=4294967", "br=4294967000"}, {"videobitrate=4294968", BAD("videobitrate value", "4294968")},
      {"videomaxbitrate=800&maxbitrate=bad", "max=800000"}, {"maxbitrate=800", "max=800000"},
      {"videomaxbitrate=lots", BAD("max bitrate value", "lots")}, {"abr.target_bitrate=1500000", "abr=1500000"},
      {"abr.target_bitrate=bad&videoabrmaxbitrate=2000", "abr=2000000"},
      {"abr.target_bitrate=4294967296", BAD("ABR bitrate value", "4294967296")},
      {"videobitratemode=Variable", "rc=1"}, {"rc.mode=3", "rc=3"}, {"videobitratemode=none", "rc=4294967295"},
      {"bitratemode=CONSTANT", "rc=0"}, {"videobitratecontrol=maximum", "rc=2"}, {"rc.mode=average", "rc=3"},
      {"rc.mode=bad&bitratemode=cbr&videobitratemode=mbr", "rc=2"}, {"rc.mode=bad&videobitratecontrol=vbr", "rc=1"},
      {"bitratemode=4", "! Unsupported stream profile bitrate mode '4'."},
      {"rc.mode=quality", "! Unsupported stream profile bitrate mode 'quality'."},
      {"camera=" + std::string(600, '9'), "! Unsupported stream profile camera value '" + std::string(470, '9')},
      {"camera=2&&fps=30", SPLIT("Missing ‘=’ and parameter value")},
      {"camera", SPLIT("Missing ‘=’ and parameter value")},
      {"camera=%zz", SPLIT("Invalid %-encoding in URI")}, {"camera=%00", SPLIT("Non-UTF-8 characters in URI")},
      {"%C3%28=1", SPLIT("Non-UTF-8 characters in URI")},
  };
  for (const Case &c : cases) EXPECT_EQ(parse(c.in), c.out) << c.in;
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "kept";
  EXPECT_TRUE(parse_stream_profile(nullptr, config, error_text));
  EXPECT_EQ(std::to_string(config.has_codec) + error_text, "0kept");
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
      const bool parsed = parse("fps=30") == "fps=30";
      stop = true;
      for (std::thread &thread : contenders) thread.join();
      _exit(parsed ? 0 : 1);
    }
    wait(&status);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
