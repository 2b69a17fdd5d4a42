// Hours of stream time through the real program in a minute or so: the
// emulated camera runs unpaced at one frame a second, so 4 h 41 min of
// timestamps pass the point where RTMP's 24-bit millisecond timestamp
// (16 777 215 ms, 4 h 39 min 37 s) no longer fits and extended timestamps
// take over. What FFmpeg's receiver recorded must stay continuous: every
// frame, in order, a second apart, and the silent AAC track with it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace corvane_test;

constexpr long long kRolloverMs = 0xFFFFFF;
// 4 h 41 min: a little past the rollover.
constexpr long long kFramesWanted = 16'860;
constexpr long long kAudioPrimingMs = 23;

struct Packet {
  bool video = false;
  long long pts = 0;
  bool key = false;
};

// ffprobe's packets as "codec_type,pts,flags" lines.
std::vector<Packet> received_packets(const std::string &path, std::string *error) {
  ProcessResult probe =
      run_process({ffmpeg_tool("ffprobe"), "-v", "error", "-show_entries", "packet=codec_type,pts,flags",
                   "-of", "csv=p=0", path},
                  120s);
  std::vector<Packet> packets;
  if (probe.status != 0) {
    *error = probe.err;
    return packets;
  }
  std::istringstream lines(probe.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string type, pts, flags;
    std::getline(fields, type, ',');
    std::getline(fields, pts, ',');
    std::getline(fields, flags, ',');
    if (pts.empty() || pts == "N/A") {
      *error = "packet without pts: " + line;
      return packets;
    }
    packets.push_back({type == "video", std::stoll(pts), flags.rfind('K', 0) == 0});
  }
  return packets;
}

TEST(Rollover, TimestampsStayContinuousPastTheRtmpTimestampLimit) {
  Program program;
  program.set_env("AXPARAMETER_DIR", program.workdir() + "/parameters");
  program.set_env("VDO_EMULATOR_PACING", "unpaced");
  ASSERT_TRUE(program.start()) << program.log().dump();

  RtmpReceiver receiver(1935, "live/rollover");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  HttpReply started = post_form(
      "/api/start", form_encode({{"destination", receiver.url()},
                                 {"profileName", "hours"},
                                 {"profileParameters", "videocodec=h264&resolution=320x180&fps=1"},
                                 {"silentAudio", "yes"}}));
  ASSERT_EQ(started.status, 200) << started.body;

  Json streaming = wait_for_status(
      [](const json_t *status) {
        return json_integer(status, "framesSent") >= kFramesWanted || !json_bool(status, "running");
      },
      240s);
  ASSERT_TRUE(streaming);
  ASSERT_GE(json_integer(streaming.get(), "framesSent"), kFramesWanted)
      << json_string(streaming.get(), "lastError") << "\n" << program.log().dump();

  ASSERT_EQ(http_request("POST", "/api/stop").status, 200);
  ASSERT_EQ(receiver.wait_finished(60s), 0) << receiver.log_text();
  Json after = parse_json(http_request("GET", "/api/status").body);
  ASSERT_TRUE(after);
  EXPECT_EQ(json_string(after.get(), "lastError"), "Stream stopped.");
  const long long frames_sent = json_integer(after.get(), "framesSent");
  EXPECT_EQ(program.stop(SIGTERM), 0) << program.log().dump();

  std::string error;
  const std::vector<Packet> packets = received_packets(receiver.output_path(), &error);
  ASSERT_TRUE(error.empty()) << error;

  long long video_count = 0, audio_count = 0;
  long long last_video = -1, last_audio = -1;
  std::string faults;
  auto fault = [&](const std::string &what) {
    if (faults.size() < 2000) faults += what + "\n";
  };
  for (const Packet &packet : packets) {
    if (packet.video) {
      // The AAC encoder's first packet holds its 1024 priming samples and
      // comes out 23 ms before zero; the FLV muxer moves the whole timeline
      // up by that much rather than write a negative timestamp.
      if (video_count == 0 && (packet.pts != kAudioPrimingMs || !packet.key))
        fault("video starts at " + std::to_string(packet.pts));
      if (video_count > 0 && packet.pts != last_video + 1000)
        fault("video " + std::to_string(last_video) + " -> " + std::to_string(packet.pts));
      last_video = packet.pts;
      ++video_count;
    } else {
      // 1024 samples at 44.1 kHz: 23.2 ms, rounded to whole milliseconds.
      if (audio_count == 0 && packet.pts != 0) fault("audio starts at " + std::to_string(packet.pts));
      if (audio_count > 0 && (packet.pts - last_audio < 23 || packet.pts - last_audio > 24))
        fault("audio " + std::to_string(last_audio) + " -> " + std::to_string(packet.pts));
      last_audio = packet.pts;
      ++audio_count;
    }
  }
  EXPECT_EQ(faults, "");
  EXPECT_EQ(video_count, frames_sent);
  EXPECT_GT(last_video, kRolloverMs + 60'000) << "the run must pass the rollover by a margin";
  // The audio track keeps up with the video to within a frame.
  EXPECT_GT(last_audio, last_video - 1000);
  EXPECT_LE(last_audio, last_video + 1000);
}

}  // namespace
