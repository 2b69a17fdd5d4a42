// The RTMP output against FFmpeg's own RTMP listener, with frames from the
// camera emulator: what arrives (codecs, sizes, times, the silent track),
// the failure messages, and bounded waits on misbehaving servers.
#include "publish/rtmp_output.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/app_state.h"
#include "publish/codec_config.h"
#include "publish/silent_aac_track.h"
#include "tests/publish/emulated_camera.h"
#include "tests/publish/network_faults.h"
#include "tests/publish/syslog_capture.h"
#include "tests/support/test_support.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

namespace {

using namespace std::chrono_literals;
using publish_test::captured_count;
using publish_test::captured_dump;
using publish_test::clear_captured_lines;
using publish_test::EmulatedCamera;
using publish_test::EmulatedFrame;
using publish_test::is_picture_type;

constexpr int kReceiverPort = 1935;

std::string ffmpeg_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE];
  av_strerror(code, text, sizeof text);
  return text;
}

void set_stop_requested(uint32_t value) {
  StreamLock lock;
  app_state.stream.stop_requested = value;
}

// One output fed from one emulated camera, the way the frame pump does it.
struct Publisher {
  VideoCodecKind codec;
  EmulatedCamera camera;
  CodecConfigCapture capture{};
  RtmpOutput output{};
  CaptureSession session{};
  char error_text[kMessageSize] = "";
  std::vector<std::size_t> sent_sizes;
  EmulatedFrame frame;

  Publisher(VideoCodecKind codec_kind, uint32_t width = 320, uint32_t height = 180)
      : codec(codec_kind), camera(codec_kind, width, height, 30) {
    session.codec = codec;
    session.width = camera.width();
    session.height = camera.height();
    session.fps = camera.fps();
  }
  ~Publisher() {
    rtmp_output_close(output);
    codec_config_clear(capture);
  }

  // Reads frames until the gate opens, then opens the output on that frame.
  bool open(const std::string &destination, bool silent_audio) {
    int64_t wait_log_due = av_gettime_relative() + 60000000;
    for (int i = 0; i < 300; ++i) {
      if (!camera.next(frame)) return false;
      codec_config_capture_scan(capture, frame.payload.data(), frame.payload.size(), codec,
                                frame.type);
      GByteArray *extradata = codec_config_gate(capture, codec, frame.payload.data(),
                                                frame.payload.size(), frame.key, wait_log_due);
      if (!extradata) continue;
      const bool opened = rtmp_output_open(output, session, destination.c_str(), silent_audio,
                                           extradata, frame.timestamp, error_text);
      g_byte_array_free(extradata, TRUE);
      return opened;
    }
    return false;
  }

  // Sends the current frame (if a picture), then `count` more pictures.
  bool send(int count) {
    for (int sent = 0;;) {
      if (is_picture_type(codec, frame.type)) {
        if (!rtmp_output_send_video(output, frame.payload.data(), frame.payload.size(),
                                    frame.timestamp, frame.key, error_text)) {
          return false;
        }
        sent_sizes.push_back(frame.payload.size());
        if (++sent > count) return true;
      }
      if (!camera.next(frame)) return false;
      codec_config_capture_scan(capture, frame.payload.data(), frame.payload.size(), codec,
                                frame.type);
    }
  }
};

class OutputTest : public testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_WARNING);
    set_stop_requested(0);
    clear_captured_lines();
  }
  void TearDown() override { set_stop_requested(0); }
};

// ---- what a real receiver gets ----

using PublishParam = std::tuple<VideoCodecKind, bool>;

class PublishToReceiver : public OutputTest, public testing::WithParamInterface<PublishParam> {};

const char *probe_codec_name(VideoCodecKind codec) {
  switch (codec) {
    case VIDEO_CODEC_H265:
      return "hevc";
    case VIDEO_CODEC_AV1:
      return "av1";
    default:
      return "h264";
  }
}

TEST_P(PublishToReceiver, ReceiverGetsEveryFrameInOrder) {
  const auto [codec, silent_audio] = GetParam();
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();

  constexpr int kPictures = 60;
  {
    Publisher publisher(codec);
    ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
    ASSERT_TRUE(publisher.open(receiver.url(), silent_audio)) << publisher.error_text;
    const std::string label = codec_config_label(codec);
    EXPECT_EQ(captured_count("Opening RTMP output for " + label, LOG_INFO), 1u) << captured_dump();
    const std::string connected = "RTMP output connected and " + label + " header written";
    EXPECT_EQ(captured_count(silent_audio ? connected + " with silent AAC audio" : connected), 1u);
    if (!silent_audio) {
      EXPECT_EQ(captured_count("with silent AAC audio"), 0u);
    }

    ASSERT_TRUE(publisher.send(kPictures - 1)) << publisher.error_text;
    // Times follow the camera's clock from the opening keyframe.
    EXPECT_EQ(publisher.output.last_pts,
              static_cast<int64_t>(publisher.frame.timestamp - publisher.output.base_timestamp));
    EXPECT_NEAR(publisher.output.last_pts, (kPictures - 1) * frame_duration_for(30), 30);
    rtmp_output_close(publisher.output);
    EXPECT_EQ(publisher.output.format_context, nullptr);
    ASSERT_EQ(publisher.sent_sizes.size(), static_cast<std::size_t>(kPictures));

    ASSERT_EQ(receiver.wait_finished(), 0) << receiver.log_text();
    corvane_test::Json probe = corvane_test::ffprobe(receiver.output_path());
    ASSERT_TRUE(probe) << "ffprobe failed on " << receiver.output_path();

    json_t *streams = json_object_get(probe.get(), "streams");
    ASSERT_EQ(json_array_size(streams), silent_audio ? 2u : 1u);
    int video_index = -1, audio_index = -1;
    for (std::size_t i = 0; i < json_array_size(streams); ++i) {
      json_t *stream = json_array_get(streams, i);
      const std::string type = corvane_test::json_string(stream, "codec_type");
      if (type == "video") {
        video_index = static_cast<int>(corvane_test::json_integer(stream, "index"));
        EXPECT_EQ(corvane_test::json_string(stream, "codec_name"), probe_codec_name(codec));
        EXPECT_EQ(corvane_test::json_integer(stream, "width"), publisher.camera.width());
        EXPECT_EQ(corvane_test::json_integer(stream, "height"), publisher.camera.height());
      } else if (type == "audio") {
        audio_index = static_cast<int>(corvane_test::json_integer(stream, "index"));
        EXPECT_EQ(corvane_test::json_string(stream, "codec_name"), "aac");
        EXPECT_EQ(corvane_test::json_string(stream, "sample_rate"), "44100");
        EXPECT_EQ(corvane_test::json_integer(stream, "channels"), 2);
      }
    }
    ASSERT_GE(video_index, 0);
    EXPECT_EQ(audio_index >= 0, silent_audio);

    json_t *packets = json_object_get(probe.get(), "packets");
    std::vector<long long> video_pts, audio_pts;
    std::vector<long long> video_sizes;
    for (std::size_t i = 0; i < json_array_size(packets); ++i) {
      json_t *packet = json_array_get(packets, i);
      const long long pts = corvane_test::json_integer(packet, "pts");
      if (corvane_test::json_integer(packet, "stream_index") == video_index) {
        video_pts.push_back(pts);
        video_sizes.push_back(std::stoll(corvane_test::json_string(packet, "size")));
        if (video_pts.size() == 1) {
          EXPECT_EQ(corvane_test::json_string(packet, "flags")[0], 'K');
        }
      } else {
        audio_pts.push_back(pts);
      }
    }
    ASSERT_EQ(video_pts.size(), static_cast<std::size_t>(kPictures));
    for (std::size_t i = 1; i < video_pts.size(); ++i) {
      EXPECT_GT(video_pts[i], video_pts[i - 1]) << "video packet " << i;
    }
    for (std::size_t i = 1; i < audio_pts.size(); ++i) {
      EXPECT_GT(audio_pts[i], audio_pts[i - 1]) << "audio packet " << i;
    }
    // The stream starts at 0. With silent audio the encoder's priming packet
    // (1024 samples before the first frame) comes first, and the muxer moves
    // both tracks by its length so that no time is negative.
    if (silent_audio) {
      ASSERT_FALSE(audio_pts.empty());
      EXPECT_EQ(audio_pts[0], 0);
      EXPECT_EQ(video_pts[0], 23);
    } else {
      EXPECT_EQ(video_pts[0], 0);
    }
    if (silent_audio) {
      // Audio covers the video's time, about 43 packets a second.
      EXPECT_GE(audio_pts.back() + 24, video_pts.back());
      EXPECT_GE(audio_pts.size(), static_cast<std::size_t>(kPictures * 43 / 30 - 2));
    }
    // Every frame arrives whole: H.264 and H.265 as length-prefixed units
    // (4 bytes, like the start codes they replace), AV1 as delivered.
    for (std::size_t i = 0; i < video_sizes.size(); ++i) {
      EXPECT_EQ(video_sizes[i], static_cast<long long>(publisher.sent_sizes[i])) << "packet " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CodecsAndAudio, PublishToReceiver,
                         testing::Combine(testing::Values(VIDEO_CODEC_H264, VIDEO_CODEC_H265,
                                                          VIDEO_CODEC_AV1),
                                          testing::Bool()),
                         [](const testing::TestParamInfo<PublishParam> &info) {
                           return std::string(probe_codec_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_silent_audio" : "_video_only");
                         });

// ---- failures ----

TEST_F(OutputTest, RefusedConnectionNamesFfmpegReason) {
  Publisher publisher(VIDEO_CODEC_H264);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  EXPECT_FALSE(publisher.open("rtmp://127.0.0.1:1/live/key", true));
  EXPECT_EQ(std::string(publisher.error_text),
            "Unable to connect to RTMP destination: " + ffmpeg_text(AVERROR(ECONNREFUSED)));
  EXPECT_EQ(publisher.output.format_context, nullptr);
  EXPECT_EQ(publisher.output.audio_encoder, nullptr);
  EXPECT_EQ(publisher.output.audio_enabled, 0u);
}

struct HeaderFailureCase {
  VideoCodecKind codec;
  const char *message_start;
  const char *message_end;
};

class HeaderFailure : public OutputTest, public testing::WithParamInterface<HeaderFailureCase> {};

// The muxer refuses a video stream without a size (a camera reporting 0x0):
// the header fails after the connection was made, and the connection goes.
TEST_P(HeaderFailure, MessageNamesCodecAndReason) {
  const HeaderFailureCase &c = GetParam();
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  Publisher publisher(c.codec, 64, 64);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  publisher.session.width = 0;
  publisher.session.height = 0;
  EXPECT_FALSE(publisher.open(receiver.url(), true));
  EXPECT_EQ(std::string(publisher.error_text),
            c.message_start + ffmpeg_text(AVERROR(EINVAL)) + c.message_end);
  EXPECT_EQ(publisher.output.format_context, nullptr);
  EXPECT_EQ(publisher.output.audio_encoder, nullptr);
  EXPECT_EQ(captured_count("header written"), 0u);
  // The receiver saw the publisher come and go.
  EXPECT_GE(receiver.wait_finished(), 0) << receiver.log_text();
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, HeaderFailure,
    testing::Values(
        HeaderFailureCase{VIDEO_CODEC_H264, "Unable to write RTMP header: ", ""},
        HeaderFailureCase{VIDEO_CODEC_H265, "Unable to write Enhanced RTMP header for H.265: ",
                          ". Confirm the destination supports H.265 over Enhanced RTMP."},
        HeaderFailureCase{VIDEO_CODEC_AV1, "Unable to write Enhanced RTMP header for AV1: ",
                          ". Confirm the destination supports AV1 over Enhanced RTMP."}));

// ---- the silent track's pace ----

TEST_F(OutputTest, SilentAudioRunsAtMostOneFrameAhead) {
  Publisher publisher(VIDEO_CODEC_H264, 64, 64);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  ASSERT_TRUE(publisher.open("file:/dev/null", true)) << publisher.error_text;
  RtmpOutput &output = publisher.output;
  ASSERT_EQ(output.audio_frame_size, 1024);
  EXPECT_EQ(output.audio_next_pts, 0);

  std::set<int64_t> frames_per_packet;
  for (int packet = 0; packet < 90; ++packet) {
    const int64_t video_pts = packet * frame_duration_for(30);
    const int64_t before = output.audio_next_pts;
    ASSERT_TRUE(silent_aac_track_fill(output, video_pts, publisher.error_text))
        << publisher.error_text;
    const int64_t frames = (output.audio_next_pts - before) / output.audio_frame_size;
    if (packet == 0) {
      EXPECT_EQ(frames, 1) << "the first packet gets exactly one silent frame";
    }
    frames_per_packet.insert(frames);
    // The next audio frame starts after the packet; the last one did not.
    EXPECT_GT(output.audio_next_pts * 1000000 / 44100, video_pts);
    EXPECT_LE((output.audio_next_pts - 1024) * 1000000 / 44100, video_pts);
  }
  EXPECT_EQ(frames_per_packet, (std::set<int64_t>{1, 2}));

  // Filling up to a time already covered adds nothing.
  const int64_t covered = output.audio_next_pts;
  ASSERT_TRUE(silent_aac_track_fill(output, 0, publisher.error_text));
  EXPECT_EQ(output.audio_next_pts, covered);
}

struct SampleFormatCase {
  const char *name;
  std::vector<AVSampleFormat> listed;
  AVSampleFormat chosen;
};

class SampleFormat : public testing::TestWithParam<SampleFormatCase> {};

TEST_P(SampleFormat, PlanarFloatPreferredElseFirstListed) {
  const SampleFormatCase &c = GetParam();
  EXPECT_EQ(choose_silent_aac_sample_format(c.listed.empty() ? nullptr : c.listed.data(),
                                            static_cast<int>(c.listed.size())),
            c.chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleFormat,
    testing::Values(SampleFormatCase{"no_list", {}, AV_SAMPLE_FMT_FLTP},
                    SampleFormatCase{"only_fltp", {AV_SAMPLE_FMT_FLTP}, AV_SAMPLE_FMT_FLTP},
                    SampleFormatCase{"fltp_listed_later",
                                     {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLTP},
                                     AV_SAMPLE_FMT_FLTP},
                    SampleFormatCase{"first_of_others",
                                     {AV_SAMPLE_FMT_S16P, AV_SAMPLE_FMT_S32},
                                     AV_SAMPLE_FMT_S16P}),
    [](const testing::TestParamInfo<SampleFormatCase> &info) { return info.param.name; });

// ---- bounded waits ----

// Raises stop_requested after `delay` on another thread, like stream_stop.
class DelayedStop {
 public:
  explicit DelayedStop(std::chrono::milliseconds delay)
      : thread_([this, delay] {
          std::this_thread::sleep_for(delay);
          stopped_at_ = std::chrono::steady_clock::now();
          set_stop_requested(1);
        }) {}
  ~DelayedStop() {
    if (thread_.joinable()) thread_.join();
  }
  // Time from the stop to now; joins the stopper first.
  std::chrono::milliseconds since_stop() {
    const auto now = std::chrono::steady_clock::now();
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - stopped_at_);
  }

 private:
  std::chrono::steady_clock::time_point stopped_at_;
  std::thread thread_;
};

TEST_F(OutputTest, StopCutsPendingConnect) {
  publish_test::FullBacklogListener blackhole(kReceiverPort);
  ASSERT_TRUE(blackhole.ok());
  Publisher publisher(VIDEO_CODEC_H264, 64, 64);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  DelayedStop stop(300ms);
  EXPECT_FALSE(publisher.open("rtmp://127.0.0.1:1935/live/key", false));
  EXPECT_LT(stop.since_stop(), 2000ms);
  EXPECT_EQ(std::string(publisher.error_text),
            "Unable to connect to RTMP destination: " + ffmpeg_text(AVERROR_EXIT));
  EXPECT_EQ(publisher.output.format_context, nullptr);
}

TEST_F(OutputTest, StopCutsHandshakeWithSilentServer) {
  publish_test::SilentServer server(kReceiverPort);
  ASSERT_TRUE(server.ok());
  Publisher publisher(VIDEO_CODEC_H265, 64, 64);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  DelayedStop stop(300ms);
  EXPECT_FALSE(publisher.open("rtmp://127.0.0.1:1935/live/key", true));
  EXPECT_LT(stop.since_stop(), 2000ms);
  EXPECT_EQ(std::string(publisher.error_text),
            "Unable to connect to RTMP destination: " + ffmpeg_text(AVERROR_EXIT));
  EXPECT_EQ(publisher.output.audio_encoder, nullptr);
}

// Without a stop, a server that never answers the handshake fails the open
// once the stall time has passed.
TEST_F(OutputTest, SilentServerTimesOutWithoutStop) {
  publish_test::SilentServer server(kReceiverPort);
  ASSERT_TRUE(server.ok());
  Publisher publisher(VIDEO_CODEC_H264, 64, 64);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  publisher.output.write_stall_timeout = 500000;
  EXPECT_FALSE(publisher.open("rtmp://127.0.0.1:1935/live/key", false));
  EXPECT_EQ(std::string(publisher.error_text).rfind("Unable to connect to RTMP destination: ", 0),
            0u)
      << publisher.error_text;
  EXPECT_NE(std::string(publisher.error_text),
            "Unable to connect to RTMP destination: " + ffmpeg_text(AVERROR_EXIT));
}

// Sends picture after picture; false on the first send failure.
bool send_until_failed(Publisher &publisher, std::atomic<int64_t> *progress = nullptr) {
  for (;;) {
    if (!publisher.send(0)) return false;
    if (progress) *progress = av_gettime_relative();
    if (!publisher.camera.next(publisher.frame)) return false;
  }
}

// Raises stop_requested once no send has finished for 300 ms: the write is
// then blocked on the stalled connection.
class StopWhenBlocked {
 public:
  StopWhenBlocked()
      : progress(av_gettime_relative()), thread_([this] {
          while (av_gettime_relative() - progress < 300000) {
            std::this_thread::sleep_for(10ms);
          }
          stopped_at_ = std::chrono::steady_clock::now();
          set_stop_requested(1);
        }) {}
  ~StopWhenBlocked() {
    if (thread_.joinable()) thread_.join();
  }
  std::chrono::milliseconds since_stop() {
    const auto now = std::chrono::steady_clock::now();
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - stopped_at_);
  }
  std::atomic<int64_t> progress;

 private:
  std::chrono::steady_clock::time_point stopped_at_;
  std::thread thread_;
};

TEST_F(OutputTest, StalledServerFailsTheWriteAfterStallTime) {
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  publish_test::StallingRelay relay(1936, kReceiverPort);
  ASSERT_TRUE(relay.ok());
  Publisher publisher(VIDEO_CODEC_H264);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  publisher.output.write_stall_timeout = 1000000;
  ASSERT_TRUE(publisher.open("rtmp://127.0.0.1:1936/live/key", false)) << publisher.error_text;
  ASSERT_TRUE(publisher.send(10)) << publisher.error_text;
  relay.stall();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(send_until_failed(publisher));
  EXPECT_EQ(std::string(publisher.error_text),
            "Unable to send RTMP packet: " + ffmpeg_text(AVERROR(ETIMEDOUT)));
  // The close gives the goodbye messages a bounded time on the dead connection.
  const auto close_start = std::chrono::steady_clock::now();
  rtmp_output_close(publisher.output);
  EXPECT_LT(std::chrono::steady_clock::now() - close_start, 2000ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  receiver.kill_now();
}

TEST_F(OutputTest, StopCutsStalledWriteAndClose) {
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  publish_test::StallingRelay relay(1936, kReceiverPort);
  ASSERT_TRUE(relay.ok());
  Publisher publisher(VIDEO_CODEC_H264);
  ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
  ASSERT_TRUE(publisher.open("rtmp://127.0.0.1:1936/live/key", false)) << publisher.error_text;
  ASSERT_TRUE(publisher.send(10)) << publisher.error_text;
  relay.stall();
  StopWhenBlocked stop;
  EXPECT_FALSE(send_until_failed(publisher, &stop.progress));
  rtmp_output_close(publisher.output);
  EXPECT_LT(stop.since_stop(), 2000ms);
  EXPECT_EQ(std::string(publisher.error_text),
            "Unable to send RTMP packet: " + ffmpeg_text(AVERROR_EXIT));
  receiver.kill_now();
}

// The publisher announces 4096-byte chunks right after the handshake, so a
// keyframe goes out in a few dozen writes rather than a thousand, and the
// listener's own announcement of 128 does not bring it back down.
TEST_F(OutputTest, PublisherSendsLargeChunks) {
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key", "debug");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  {
    Publisher publisher(VIDEO_CODEC_H264);
    ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
    ASSERT_TRUE(publisher.open(receiver.url(), false)) << publisher.error_text;
    ASSERT_TRUE(publisher.send(10)) << publisher.error_text;
    rtmp_output_close(publisher.output);
  }
  ASSERT_EQ(receiver.wait_finished(), 0) << receiver.log_text();
  const std::string log = receiver.log_text();
  const std::string announced = "New incoming chunk size = ";
  const std::size_t last = log.rfind(announced);
  ASSERT_NE(last, std::string::npos) << log.substr(0, 4000);
  EXPECT_EQ(log.substr(last + announced.size(), 4), "4096");
}

// A stop while the connection is healthy leaves the close graceful: the
// receiver sees a complete stream.
TEST_F(OutputTest, StopOnHealthyConnectionClosesCleanly) {
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  {
    Publisher publisher(VIDEO_CODEC_H264);
    ASSERT_TRUE(publisher.camera.ok()) << publisher.camera.error();
    ASSERT_TRUE(publisher.open(receiver.url(), true)) << publisher.error_text;
    ASSERT_TRUE(publisher.send(20)) << publisher.error_text;
    set_stop_requested(1);
    rtmp_output_close(publisher.output);
  }
  ASSERT_EQ(receiver.wait_finished(), 0) << receiver.log_text();
  corvane_test::Json probe = corvane_test::ffprobe(receiver.output_path());
  ASSERT_TRUE(probe);
  std::size_t video_packets = 0;
  json_t *packets = json_object_get(probe.get(), "packets");
  for (std::size_t i = 0; i < json_array_size(packets); ++i) {
    if (corvane_test::json_string(json_array_get(packets, i), "codec_type") == "video")
      ++video_packets;
  }
  EXPECT_EQ(video_packets, 21u);
}

}  // namespace
