// The whole road of a stream through the real program: the camera emulator's
// frames, a start over HTTP, FLV over RTMP to FFmpeg's listener, and what
// arrived there compared with the program's own counters.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using namespace corvane_test;

struct PublishCase {
  const char *name;
  const char *parameters;
  bool silent_audio;
  const char *codec_name;  // as ffprobe names it
  int width;
  int height;
};

struct Received {
  std::string video_codec;
  long long width = 0;
  long long height = 0;
  std::string audio_codec;
  long long video_packets = 0;
  long long video_bytes = 0;
  long long audio_packets = 0;
  bool first_video_is_key = false;
};

long long integer_text(const json_t *object, const char *key) {
  const std::string text = json_string(object, key);
  return text.empty() ? json_integer(object, key) : std::stoll(text);
}

Received probe(const std::string &path) {
  Received received;
  Json document = ffprobe(path);
  if (!document) return received;
  json_t *streams = json_object_get(document.get(), "streams");
  for (std::size_t i = 0; i < json_array_size(streams); ++i) {
    const json_t *stream = json_array_get(streams, i);
    if (json_string(stream, "codec_type") == "video") {
      received.video_codec = json_string(stream, "codec_name");
      received.width = json_integer(stream, "width");
      received.height = json_integer(stream, "height");
    } else if (json_string(stream, "codec_type") == "audio") {
      received.audio_codec = json_string(stream, "codec_name");
    }
  }
  json_t *packets = json_object_get(document.get(), "packets");
  for (std::size_t i = 0; i < json_array_size(packets); ++i) {
    const json_t *packet = json_array_get(packets, i);
    if (json_string(packet, "codec_type") != "video") {
      ++received.audio_packets;
      continue;
    }
    if (received.video_packets == 0) received.first_video_is_key = json_string(packet, "flags").rfind('K', 0) == 0;
    ++received.video_packets;
    received.video_bytes += integer_text(packet, "size");
  }
  return received;
}

class PublishingProgram : public testing::Test {
 protected:
  void SetUp() override {
    program_.set_env("AXPARAMETER_DIR", program_.workdir() + "/parameters");
    ASSERT_TRUE(program_.start()) << program_.log().dump();
  }
  void TearDown() override {
    if (program_.running()) program_.stop(SIGKILL);
  }
  Program program_;
};

class Publish : public PublishingProgram, public testing::WithParamInterface<PublishCase> {};

TEST_P(Publish, ReceiverGetsWhatTheCountersSay) {
  const PublishCase &c = GetParam();
  RtmpReceiver receiver(1935, "live/e2e");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();

  HttpReply started = post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                            {"profileName", c.name},
                                                            {"profileParameters", c.parameters},
                                                            {"silentAudio", c.silent_audio ? "yes" : "no"}}));
  ASSERT_EQ(started.status, 200) << started.body;

  Json streaming = wait_for_status(
      [](const json_t *status) { return json_integer(status, "framesSent") >= 30; }, 60s);
  ASSERT_TRUE(streaming);
  ASSERT_GE(json_integer(streaming.get(), "framesSent"), 30)
      << json_string(streaming.get(), "lastError") << "\n" << program_.log().dump();
  EXPECT_TRUE(json_bool(streaming.get(), "running"));

  HttpReply stopped = http_request("POST", "/api/stop");
  ASSERT_EQ(stopped.status, 200) << stopped.body;
  ASSERT_EQ(receiver.wait_finished(60s), 0) << receiver.log_text();

  Json after = parse_json(http_request("GET", "/api/status").body);
  ASSERT_TRUE(after);
  EXPECT_FALSE(json_bool(after.get(), "running"));
  EXPECT_EQ(json_string(after.get(), "lastError"), "Stream stopped.");

  const Received received = probe(receiver.output_path());
  EXPECT_EQ(received.video_codec, c.codec_name);
  EXPECT_EQ(received.width, c.width);
  EXPECT_EQ(received.height, c.height);
  EXPECT_TRUE(received.first_video_is_key);
  EXPECT_EQ(received.video_packets, json_integer(after.get(), "framesSent"));
  EXPECT_EQ(received.video_bytes, json_integer(after.get(), "bytesSent"));
  if (c.silent_audio) {
    EXPECT_EQ(received.audio_codec, "aac");
    EXPECT_GT(received.audio_packets, 0);
  } else {
    EXPECT_EQ(received.audio_codec, "");
    EXPECT_EQ(received.audio_packets, 0);
  }
  EXPECT_EQ(program_.stop(SIGTERM), 0) << program_.log().dump();
  EXPECT_EQ(program_.stdout_text(), "");
}

// A receiver that goes away mid-stream ends the stream with the write's own
// error instead of a stream that hangs or still says it runs; a new start
// afterwards publishes again.
TEST_F(PublishingProgram, ReceiverThatDiesEndsTheStreamWithTheWriteError) {
  const std::string form_base = "videocodec=h264&resolution=320x180&fps=30";
  {
    RtmpReceiver receiver(1935, "live/dies");
    ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
    ASSERT_EQ(post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                    {"profileName", "dies"},
                                                    {"profileParameters", form_base}}))
                  .status,
              200);
    ASSERT_TRUE(wait_for_status([](const json_t *s) { return json_integer(s, "framesSent") >= 30; }))
        << program_.log().dump();
    receiver.kill_now();
  }
  Json ended = wait_for_status([](const json_t *s) { return !json_bool(s, "running"); });
  ASSERT_TRUE(ended);
  ASSERT_FALSE(json_bool(ended.get(), "running")) << program_.log().dump();
  const std::string error = json_string(ended.get(), "lastError");
  EXPECT_EQ(error.rfind("Unable to send RTMP packet: ", 0), 0u) << error;
  EXPECT_GT(error.size(), std::string("Unable to send RTMP packet: ").size()) << error;
  EXPECT_TRUE(program_.log().contains(error)) << program_.log().dump();

  RtmpReceiver again(1935, "live/again");
  ASSERT_TRUE(again.wait_listening()) << again.log_text();
  ASSERT_EQ(post_form("/api/start", form_encode({{"destination", again.url()},
                                                  {"profileName", "again"},
                                                  {"profileParameters", form_base}}))
                .status,
            200);
  Json streaming = wait_for_status([](const json_t *s) { return json_integer(s, "framesSent") >= 30; });
  ASSERT_TRUE(streaming);
  EXPECT_TRUE(json_bool(streaming.get(), "running")) << json_string(streaming.get(), "lastError");
  EXPECT_EQ(json_string(streaming.get(), "lastError"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, Publish,
    testing::Values(
        PublishCase{"h264_silent_audio", "videocodec=h264&resolution=320x180&fps=30", true, "h264", 320, 180},
        PublishCase{"h265", "videocodec=h265&resolution=320x180&fps=30", false, "hevc", 320, 180},
        PublishCase{"av1", "videocodec=av1&resolution=320x180&fps=30", false, "av1", 320, 180}),
    [](const testing::TestParamInfo<PublishCase> &info) { return info.param.name; });

}  // namespace
