// The frame pump and the worker's finish, in-process against the camera
// emulator and FFmpeg's RTMP listener: counters against what arrived, stops
// in every state, the emulator's faults, the bitrate sample, and stops that
// return promptly whatever the network does.
#include "publish/frame_pump.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/bounded_text.h"
#include "app/stream_control.h"
#include "capture/capture_stream.h"
#include "capture/stream_profile.h"
#include "tests/publish/emulated_camera.h"
#include "tests/publish/network_faults.h"
#include "tests/publish/syslog_capture.h"
#include "tests/support/test_support.h"
#include "vdo_emulator.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

namespace {

using namespace std::chrono_literals;
using publish_test::captured_count;
using publish_test::captured_dump;
using publish_test::captured_lines;

constexpr int kReceiverPort = 1935;
const char *const kEmulatorFaultVariables[] = {"VDO_EMULATOR_FAIL",
                                               "VDO_EMULATOR_FAIL_MESSAGE",
                                               "VDO_EMULATOR_NO_DATA",
                                               "VDO_EMULATOR_UNREF_FAIL",
                                               "VDO_EMULATOR_SEPARATE_PARAMETER_SETS",
                                               "VDO_EMULATOR_STATISTICS_BITRATE"};

struct Control {
  uint32_t running, stop_requested, current_bitrate;
  uint64_t frames_sent, bytes_sent, last_packet_bytes;
  std::string destination, last_error;
};

Control control() {
  StreamLock lock;
  const StreamControl &c = app_state.stream;
  return {c.running,    c.stop_requested,    c.current_bitrate, c.frames_sent,
          c.bytes_sent, c.last_packet_bytes, c.destination,     c.last_error};
}

void request_stop() {
  StreamLock lock;
  app_state.stream.stop_requested = 1;
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

StreamRequest *new_request(const std::string &destination, const std::string &parameters,
                           bool silent_audio) {
  auto *request = g_new0(StreamRequest, 1);
  request->destination = g_strdup(destination.c_str());
  request->profile_name = g_strdup(parameters.empty() ? "" : "test");
  request->profile_parameters = g_strdup(parameters.c_str());
  request->silent_audio = silent_audio;
  return request;
}

// One worker run on a thread of its own, phase by phase like the real
// worker, keeping what the pump returned for the test to look at.
class WorkerRun {
 public:
  // `stop_first`: the stop is already requested when the worker starts.
  WorkerRun(const std::string &destination, const std::string &parameters,
            bool silent_audio = false, bool stop_first = false) {
    {
      // What stream_start does to the block before the worker runs.
      StreamLock lock;
      StreamControl &c = app_state.stream;
      c.frames_sent = c.bytes_sent = c.last_packet_bytes = 0;
      c.current_bitrate = 0;
      copy_bounded(c.destination, destination.c_str());
      c.running = 1;
      c.stop_requested = stop_first ? 1 : 0;
      c.last_error[0] = '\0';
    }
    StreamRequest *request = new_request(destination, parameters, silent_audio);
    thread_ = std::thread([this, request] { run(request); });
  }
  ~WorkerRun() {
    if (thread_.joinable()) {
      request_stop();
      thread_.join();
    }
  }
  void join() { thread_.join(); }
  // Asks for a stop and returns how long the worker took to end.
  std::chrono::milliseconds stop_and_join() {
    const auto start = std::chrono::steady_clock::now();
    request_stop();
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  std::atomic<bool> capture_opened{false};
  bool pump_result = false;
  std::string pump_error;  // error_text as the pump left it

 private:
  void run(StreamRequest *request) {
    FramePumpState state;
    frame_pump_begin(state);
    av_log_set_level(AV_LOG_WARNING);
    char error_text[kMessageSize] = "";
    StreamProfileConfig config{};
    CaptureSession capture{};
    if (!parse_stream_profile(request->profile_parameters, config, error_text) ||
        !open_capture_stream(*request, config, capture, error_text)) {
      worker_finish(state, capture.stream ? &capture : nullptr, request, error_text);
      return;
    }
    capture_opened = true;
    pump_result = frame_pump_run(state, capture, *request, error_text);
    pump_error = error_text;
    worker_finish(state, &capture, request, error_text);
  }

  std::thread thread_;
};

class PumpTest : public testing::Test {
 protected:
  void SetUp() override {
    publish_test::configure_emulator();
    setenv("VDO_EMULATOR_PACING", "unpaced", 1);
    for (const char *name : kEmulatorFaultVariables) unsetenv(name);
    vdo_emulator_reset_faults();
    publish_test::clear_captured_lines();
    StreamLock lock;
    app_state.stream.running = 0;
    app_state.stream.stop_requested = 0;
  }
  void TearDown() override {
    for (const char *name : kEmulatorFaultVariables) unsetenv(name);
    const VdoEmulatorLiveObjects live = vdo_emulator_live_objects();
    EXPECT_EQ(live.streams, 0u) << "the finish releases the stream";
    EXPECT_EQ(live.buffers, 0u) << "every buffer goes back";
  }

  // The final state every run ends in.
  void expect_ended(const std::string &last_error) {
    const Control c = control();
    EXPECT_EQ(c.running, 0u);
    EXPECT_EQ(c.stop_requested, 0u);
    EXPECT_EQ(c.current_bitrate, 0u);
    EXPECT_EQ(c.destination, "");
    EXPECT_EQ(c.last_error, last_error);
    const std::size_t error_lines = captured_count(last_error, LOG_ERR);
    EXPECT_EQ(error_lines, last_error == "Stream stopped." ? 0u : 1u) << captured_dump();
  }
};

struct ReceivedVideo {
  std::size_t packets = 0;
  long long bytes = 0;
  long long first_size = -1, last_size = -1;
  bool first_is_key = false;
  bool has_audio = false;
};

ReceivedVideo received_video(const std::string &path) {
  ReceivedVideo video;
  corvane_test::Json probe = corvane_test::ffprobe(path);
  if (!probe) return video;
  json_t *packets = json_object_get(probe.get(), "packets");
  for (std::size_t i = 0; i < json_array_size(packets); ++i) {
    json_t *packet = json_array_get(packets, i);
    if (corvane_test::json_string(packet, "codec_type") != "video") {
      video.has_audio = true;
      continue;
    }
    const long long size = std::stoll(corvane_test::json_string(packet, "size"));
    if (video.packets == 0) {
      video.first_size = size;
      video.first_is_key = corvane_test::json_string(packet, "flags")[0] == 'K';
    }
    video.last_size = size;
    video.bytes += size;
    ++video.packets;
  }
  return video;
}

// ---- counters against the received stream ----

struct CountersCase {
  const char *name;
  const char *parameters;
  bool silent_audio;
  bool separate_parameter_sets;
};

class Counters : public PumpTest, public testing::WithParamInterface<CountersCase> {};

TEST_P(Counters, EqualPacketsAndPayloadBytesReceived) {
  const CountersCase &c = GetParam();
  if (c.separate_parameter_sets) setenv("VDO_EMULATOR_SEPARATE_PARAMETER_SETS", "1", 1);
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  {
    WorkerRun worker(receiver.url(), c.parameters, c.silent_audio);
    ASSERT_TRUE(wait_until([] { return control().frames_sent >= 90; })) << captured_dump();
    worker.stop_and_join();
    EXPECT_TRUE(worker.pump_result);
    EXPECT_EQ(worker.pump_error, "");
  }
  expect_ended("Stream stopped.");
  ASSERT_EQ(receiver.wait_finished(), 0) << receiver.log_text();

  const Control after = control();
  const ReceivedVideo video = received_video(receiver.output_path());
  EXPECT_EQ(after.frames_sent, video.packets);
  EXPECT_EQ(after.bytes_sent, static_cast<uint64_t>(video.bytes));
  EXPECT_EQ(after.last_packet_bytes, static_cast<uint64_t>(video.last_size));
  EXPECT_TRUE(video.first_is_key);
  EXPECT_EQ(video.has_audio, c.silent_audio);
  EXPECT_EQ(captured_count("RTMP packet flow started; first packet payload=" +
                               std::to_string(video.first_size) + " bytes, pts=0 us",
                           LOG_INFO),
            1u)
      << captured_dump();
  EXPECT_EQ(captured_count("RTMP packet flow started"), 1u);
  // Parameter sets are logged once per run, however often they come again;
  // AV1 has none to capture.
  const std::string parameters = c.parameters;
  if (parameters.find("av1") != std::string::npos) {
    EXPECT_EQ(captured_count("Captured"), 0u);
    return;
  }
  const std::string label = parameters.find("h265") != std::string::npos ? "H.265" : "H.264";
  EXPECT_EQ(captured_count("Captured " + label + " SPS"), 1u);
  EXPECT_EQ(captured_count("Captured " + label + " PPS"), 1u);
  EXPECT_EQ(captured_count("Captured H.265 VPS"), label == "H.265" ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Counters,
    testing::Values(CountersCase{"h264", "videocodec=h264&resolution=320x180&fps=30", false, false},
                    CountersCase{"h264_silent_audio", "videocodec=h264&resolution=320x180&fps=30",
                                 true, false},
                    // Parameter-set frames (types 1 and 2) are scanned, never sent.
                    CountersCase{"h264_separate_parameter_sets",
                                 "videocodec=h264&resolution=320x180&fps=30", false, true},
                    CountersCase{"h265_separate_parameter_sets",
                                 "videocodec=h265&resolution=320x180&fps=30", true, true},
                    CountersCase{"av1", "videocodec=av1&resolution=320x180&fps=30", false, false}),
    [](const testing::TestParamInfo<CountersCase> &info) { return info.param.name; });

// ---- stops before the output opens ----

TEST_F(PumpTest, StopWhileWaitingOpensNoOutput) {
  // The camera answers "no data" for a long while: the pump keeps asking
  // at once, stays stoppable, and never opens the output.
  setenv("VDO_EMULATOR_NO_DATA", "1:100000000", 1);
  {
    WorkerRun worker("rtmp://127.0.0.1:1/live/key", "videocodec=h264&resolution=64x64");
    ASSERT_TRUE(wait_until([&] { return worker.capture_opened.load(); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(worker.stop_and_join(), 2000ms);
    EXPECT_TRUE(worker.pump_result);
  }
  expect_ended("Stream stopped.");
  const Control c = control();
  EXPECT_EQ(c.frames_sent, 0u);
  EXPECT_EQ(c.bytes_sent, 0u);
  EXPECT_EQ(captured_count("Opening RTMP output"), 0u);
}

TEST_F(PumpTest, NoDataAnswersAreRetriedWithoutEndingTheStream) {
  setenv("VDO_EMULATOR_NO_DATA", "1:500,520:300", 1);
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  {
    WorkerRun worker(receiver.url(), "videocodec=h264&resolution=64x64");
    ASSERT_TRUE(wait_until([] { return control().frames_sent >= 60; })) << captured_dump();
    worker.stop_and_join();
    EXPECT_TRUE(worker.pump_result);
  }
  expect_ended("Stream stopped.");
}

// A stop requested before the worker reaches the pump is seen at its first check.
TEST_F(PumpTest, StopBeforeFirstFrame) {
  {
    WorkerRun worker("rtmp://127.0.0.1:1/live/key", "videocodec=h264&resolution=64x64", false,
                     true);
    worker.join();
    EXPECT_TRUE(worker.pump_result);
  }
  expect_ended("Stream stopped.");
  EXPECT_EQ(control().frames_sent, 0u);
}

TEST_F(PumpTest, RefusedConnectionEndsWithConnectMessage) {
  {
    WorkerRun worker("rtmp://127.0.0.1:1/live/key", "videocodec=h265&resolution=64x64", true);
    worker.join();
    EXPECT_FALSE(worker.pump_result);
  }
  char reason[AV_ERROR_MAX_STRING_SIZE];
  av_strerror(AVERROR(ECONNREFUSED), reason, sizeof reason);
  expect_ended(std::string("Unable to connect to RTMP destination: ") + reason);
  EXPECT_EQ(control().frames_sent, 0u);
}

// ---- the emulator's faults ----

struct FaultCase {
  const char *name;
  const char *variable;
  const char *value;
  const char *last_error;  // "Stream stopped." when the fault is harmless
};

class Faults : public PumpTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, EndTheStreamWithTheirMessageOrAreIgnored) {
  const FaultCase &c = GetParam();
  setenv(c.variable, c.value, 1);
  setenv("VDO_EMULATOR_FAIL_MESSAGE", "sensor unplugged", 1);
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  const bool harmless = std::string(c.last_error) == "Stream stopped.";
  {
    WorkerRun worker(receiver.url(), "videocodec=h264&resolution=64x64");
    if (harmless) {
      ASSERT_TRUE(wait_until([] { return control().frames_sent >= 40; })) << captured_dump();
      worker.stop_and_join();
      EXPECT_TRUE(worker.pump_result);
    } else {
      worker.join();
      EXPECT_FALSE(worker.pump_result);
      EXPECT_EQ(worker.pump_error, c.last_error);
    }
  }
  expect_ended(c.last_error);
  EXPECT_GT(control().frames_sent, 0u) << "the fault comes after the output opened";
  ASSERT_EQ(receiver.wait_finished(), 0) << receiver.log_text();
  EXPECT_EQ(received_video(receiver.output_path()).packets, control().frames_sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    testing::Values(FaultCase{"get_buffer", "VDO_EMULATOR_FAIL", "get_buffer:20",
                              "VDO stream error: sensor unplugged"},
                    FaultCase{"take_chunk", "VDO_EMULATOR_FAIL", "take_chunk:50",
                              "Failed reading VDO frame chunk: sensor unplugged"},
                    FaultCase{"unref_unexpected", "VDO_EMULATOR_UNREF_FAIL", "unexpected:15",
                              "Failed to release VDO buffer: sensor unplugged"},
                    FaultCase{"unref_expected", "VDO_EMULATOR_UNREF_FAIL",
                              "expected:5,expected:15+", "Stream stopped."},
                    FaultCase{"no_data", "VDO_EMULATOR_NO_DATA", "10:50,100:1", "Stream stopped."}),
    [](const testing::TestParamInfo<FaultCase> &info) { return info.param.name; });

// ---- the bitrate sample ----

struct BitrateCase {
  const char *name;
  const char *statistics;  // VDO_EMULATOR_STATISTICS_BITRATE
  const char *fail;        // VDO_EMULATOR_FAIL, or null
  uint32_t expected;       // 0: the computed rate
};

class Bitrate : public PumpTest, public testing::WithParamInterface<BitrateCase> {};

TEST_P(Bitrate, PlatformFigureWinsWhenNotZero) {
  const BitrateCase &c = GetParam();
  setenv("VDO_EMULATOR_PACING", "paced", 1);
  setenv("VDO_EMULATOR_STATISTICS_BITRATE", c.statistics, 1);
  if (c.fail) setenv("VDO_EMULATOR_FAIL", c.fail, 1);
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  const int64_t started = av_gettime_relative();
  Control sampled{};
  {
    WorkerRun worker(receiver.url(), "videocodec=h264&resolution=320x180&fps=30");
    ASSERT_TRUE(wait_until(
        [&] {
          sampled = control();
          return sampled.current_bitrate != 0;
        },
        20s))
        << captured_dump();
    const int64_t seen = av_gettime_relative();
    // The first sample comes once 5 s have passed since the worker started.
    EXPECT_GE(seen - started, 5000000);
    if (c.expected) {
      EXPECT_EQ(sampled.current_bitrate, c.expected);
    } else {
      // The bytes counted by then, over at least the 5 s since the start.
      EXPECT_LE(sampled.current_bitrate, sampled.bytes_sent * 8 / 5 + 1);
      EXPECT_GE(sampled.current_bitrate, 1000u);
    }
    worker.stop_and_join();
  }
  expect_ended("Stream stopped.");
}

INSTANTIATE_TEST_SUITE_P(Cases, Bitrate,
                         testing::Values(BitrateCase{"platform", "123456", nullptr, 123456},
                                         BitrateCase{"platform_zero", "0", nullptr, 0},
                                         // The capture's query is the first; the sample's fail.
                                         BitrateCase{"no_info_map", "123456", "info:2+", 0}),
                         [](const testing::TestParamInfo<BitrateCase> &info) {
                           return info.param.name;
                         });

TEST(ComputedBitrate, BytesOverTimeInBitsPerSecond) {
  struct Case {
    uint64_t total, last;
    int64_t now, last_time;
    uint32_t expected;
  };
  const Case cases[] = {
      {1000000, 0, 5000000, 0, 1600000},  // 1 MB over 5 s
      {1500000, 1000000, 10000000, 5000000, 800000},
      {1, 0, 3, 0, 2666667},                         // rounded half up
      {10, 0, 0, 0, 0},                              // no time passed
      {10, 0, 5, 10, 0},                             // clock went back
      {5, 10, 5000000, 0, 0},                        // counter went back
      {10000000000ull, 0, 1000000, 0, 4294967295u},  // saturated
      {536870912, 0, 1000000, 0, 4294967295u},       // exactly 2^32 bit/s saturates
      {536870911, 0, 1000000, 0, 4294967288u},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(computed_bitrate(c.total, c.last, c.now, c.last_time), c.expected)
        << c.total << " bytes since " << c.last << ", " << c.now - c.last_time << " us";
  }
}

// ---- the finish on its own ----

TEST_F(PumpTest, FinishAfterFailedCaptureKeepsTheMessage) {
  {
    StreamLock lock;
    app_state.stream.running = 1;
    app_state.stream.frames_sent = 7;
    app_state.stream.current_bitrate = 99;
    copy_bounded(app_state.stream.destination, "rtmp://example/live");
  }
  FramePumpState state;
  frame_pump_begin(state);
  char error_text[kMessageSize] = "Failed to create VDO stream: no sensor";
  worker_finish(state, nullptr, new_request("rtmp://example/live", "", false), error_text);
  expect_ended("Failed to create VDO stream: no sensor");
  EXPECT_EQ(control().frames_sent, 7u) << "counters keep their values";
}

// ---- stops that return promptly whatever the network does ----
//
// These go through the real start and stop operations and the real worker
// thread; stream_stop() returns once the worker has been joined.

class BoundedStop : public PumpTest {
 protected:
  void SetUp() override {
    PumpTest::SetUp();
    stream_reap();
  }
  void start(const std::string &destination) {
    char message[kMessageSize] = "";
    ASSERT_TRUE(stream_start(destination.c_str(), "test",
                             "videocodec=h264&resolution=320x180&fps=30", 0,
                             "RTMP stream start requested", message))
        << message;
  }
  std::chrono::milliseconds timed_stop() {
    const auto begin = std::chrono::steady_clock::now();
    stream_stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
  }
};

TEST_F(BoundedStop, WhileConnectIsPending) {
  publish_test::FullBacklogListener blackhole(kReceiverPort);
  ASSERT_TRUE(blackhole.ok());
  start("rtmp://127.0.0.1:1935/live/key");
  ASSERT_TRUE(wait_until([] { return captured_count("Opening RTMP output for H.264") == 1; }))
      << captured_dump();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(timed_stop(), 2000ms);
  expect_ended("Stream stopped.");
}

TEST_F(BoundedStop, WhileServerNeverAnswersHandshake) {
  publish_test::SilentServer server(kReceiverPort);
  ASSERT_TRUE(server.ok());
  start("rtmp://127.0.0.1:1935/live/key");
  ASSERT_TRUE(wait_until([] { return captured_count("Opening RTMP output for H.264") == 1; }))
      << captured_dump();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(timed_stop(), 2000ms);
  expect_ended("Stream stopped.");
}

TEST_F(BoundedStop, WhileServerStoppedReading) {
  corvane_test::RtmpReceiver receiver(kReceiverPort, "live/key");
  ASSERT_TRUE(receiver.wait_listening()) << receiver.log_text();
  publish_test::StallingRelay relay(1936, kReceiverPort);
  ASSERT_TRUE(relay.ok());
  start("rtmp://127.0.0.1:1936/live/key");
  ASSERT_TRUE(wait_until([] { return control().frames_sent >= 30; })) << captured_dump();
  relay.stall();
  // Wait until the counters stand still: a write is blocked.
  uint64_t frames = control().frames_sent;
  auto still_since = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_until([&] {
    const uint64_t now_frames = control().frames_sent;
    if (now_frames != frames) {
      frames = now_frames;
      still_since = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - still_since > 500ms;
  }));
  EXPECT_LT(timed_stop(), 2000ms);
  // The interrupted write's error gives way to the stop.
  expect_ended("Stream stopped.");
  EXPECT_EQ(captured_count("Unable to send RTMP packet"), 0u) << captured_dump();
  receiver.kill_now();
}

}  // namespace
