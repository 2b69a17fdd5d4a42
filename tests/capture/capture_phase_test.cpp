// The worker's capture phase against the camera emulator: what reaches
// StreamControl and the log when the stream opens, and on each failure.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/stream_control.h"
#include "capture/capture_stream.h"
#include "tests/publish/syslog_capture.h"
#include "vdo_emulator.h"

namespace {

using publish_test::captured_count;
using publish_test::captured_dump;

// ---- whole frame rate ----

struct RateCase {
  double reported;
  uint32_t fps;
};

class WholeFrameRate : public testing::TestWithParam<RateCase> {};

TEST_P(WholeFrameRate, RoundsHalfUpAndNeverGivesZero) {
  EXPECT_EQ(whole_frame_rate(GetParam().reported), GetParam().fps);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WholeFrameRate,
    testing::Values(RateCase{29.97, 30}, RateCase{12.5, 13}, RateCase{59.94, 60}, RateCase{25.0, 25},
                    RateCase{0.5, 1}, RateCase{0.4, 30}, RateCase{0.2, 30}, RateCase{0.0, 30},
                    RateCase{-5.0, 30}, RateCase{std::numeric_limits<double>::quiet_NaN(), 30},
                    RateCase{-std::numeric_limits<double>::infinity(), 30},
                    RateCase{4294967294.4, 4294967294u}, RateCase{4294967294.5, 4294967295u},
                    RateCase{1e12, 4294967295u},
                    RateCase{std::numeric_limits<double>::infinity(), 4294967295u}));

// ---- the worker, in-process ----

const char *const kEmulatorVariables[] = {
    "VDO_EMULATOR_FAIL",      "VDO_EMULATOR_FAIL_MESSAGE", "VDO_EMULATOR_MAX_WIDTH",
    "VDO_EMULATOR_MAX_HEIGHT", "VDO_EMULATOR_MAX_FPS",     "VDO_EMULATOR_GOP_SECONDS",
};

struct ControlView {
  uint32_t running;
  std::string last_error, stream_details, profile_details, destination, profile_name;
};

ControlView control_view() {
  StreamLock lock;
  const StreamControl &c = app_state.stream;
  return {c.running, c.last_error, c.stream_details, c.profile_details, c.destination, c.profile_name};
}

class CapturePhase : public testing::Test {
 protected:
  static void SetUpTestSuite() { g_mutex_init(&app_state.stream.lock); }

  void SetUp() override {
    for (const char *name : kEmulatorVariables) unsetenv(name);
    // Short clips keep the encoder's share of each run small.
    setenv("VDO_EMULATOR_GOP_SECONDS", "0.5", 1);
    setenv("VDO_EMULATOR_FAIL_MESSAGE", "sensor busy", 1);
    vdo_emulator_reset_faults();
    publish_test::clear_captured_lines();
    baseline_ = vdo_emulator_live_objects();
  }

  void TearDown() override {
    stream_stop();
    VdoEmulatorLiveObjects now = vdo_emulator_live_objects();
    EXPECT_EQ(now.maps, baseline_.maps) << "maps left behind";
    EXPECT_EQ(now.streams, baseline_.streams) << "streams left behind";
    EXPECT_EQ(now.buffers, baseline_.buffers) << "buffers left behind";
  }

  // Starts a worker and waits until it has ended by itself.
  ControlView run_to_end(const char *profile_name, const char *parameters) {
    char message[kMessageSize] = "";
    EXPECT_TRUE(stream_start("rtmp://127.0.0.1:1/live/key", profile_name, parameters, 0,
                             "RTMP stream start requested", message))
        << message;
    // A guard against a hung worker, not a timing expectation.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (control_view().running && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ControlView view = control_view();
    EXPECT_EQ(view.running, 0u) << "worker did not end";
    stream_reap();
    return view;
  }

  VdoEmulatorLiveObjects baseline_{};
};

// After the stream has started, the pump's first frame request fails, so
// the worker ends on its own without touching the network.
TEST_F(CapturePhase, DeliveredSizeAndRateOverrideTheRequestInStreamDetails) {
  setenv("VDO_EMULATOR_MAX_WIDTH", "320", 1);
  setenv("VDO_EMULATOR_MAX_HEIGHT", "180", 1);
  setenv("VDO_EMULATOR_MAX_FPS", "15", 1);
  setenv("VDO_EMULATOR_FAIL", "get_buffer:1", 1);
  ControlView view = run_to_end("Studio", "videocodec=h264&resolution=1920x1080&fps=25");

  EXPECT_EQ(view.stream_details, "Video: H.264 320x180 @ 15 fps\nProfile: Studio\nRTMP audio: none");
  EXPECT_EQ(view.profile_details,
            "Name: Studio\nResolution: 1920x1080\nFrame rate: 25.00 fps\nVideo codec: H.264");
  EXPECT_EQ(captured_count("Started VDO H.264 stream for RTMP output at 320x180, 15 fps using stream "
                           "profile 'Studio'",
                           6),
            1u)
      << captured_dump();
  EXPECT_EQ(captured_count("Using stream profile details: " + view.profile_details, 6), 1u);
  EXPECT_EQ(captured_count("Resolved VDO stream details: " + view.stream_details, 6), 1u);
  // The phase after the capture ended the run.
  EXPECT_EQ(view.last_error, "VDO stream error: sensor busy");
  EXPECT_EQ(view.destination, "");
}

TEST_F(CapturePhase, FractionalDeliveredRateIsRoundedForTheStream) {
  setenv("VDO_EMULATOR_FAIL", "get_buffer:1", 1);
  ControlView view = run_to_end("Slow", "fps=12.5&resolution=320x180");
  EXPECT_EQ(view.stream_details, "Video: H.264 320x180 @ 13 fps\nProfile: Slow\nRTMP audio: none");
  EXPECT_EQ(view.profile_details, "Name: Slow\nResolution: 320x180\nFrame rate: 12.50 fps");
}

TEST_F(CapturePhase, EmptyProfileStartsTheDefaultStream) {
  setenv("VDO_EMULATOR_FAIL", "get_buffer:1", 1);
  ControlView view = run_to_end("", "");
  EXPECT_EQ(view.stream_details,
            "Video: H.264 640x360 @ 30 fps\nProfile: Default H.264 640x360\nRTMP audio: none");
  EXPECT_EQ(view.profile_details, "Name: Default H.264 640x360");
  EXPECT_EQ(captured_count("Started VDO H.264 stream for RTMP output at 640x360, 30 fps", 6), 1u)
      << captured_dump();
  EXPECT_EQ(captured_count("using stream profile"), 0u);
}

// One row per way the capture phase can fail.
struct FailureCase {
  const char *name;
  const char *fault;  // VDO_EMULATOR_FAIL, or null
  const char *parameters;
  const char *last_error;
  bool details_published;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class CaptureFailure : public CapturePhase, public testing::WithParamInterface<FailureCase> {};

TEST_P(CaptureFailure, EndsTheWorkerWithItsMessage) {
  const FailureCase &c = GetParam();
  if (c.fault) setenv("VDO_EMULATOR_FAIL", c.fault, 1);
  ControlView view = run_to_end("Studio", c.parameters);

  EXPECT_EQ(view.last_error, c.last_error);
  EXPECT_EQ(captured_count(c.last_error, 3), 1u) << captured_dump();
  EXPECT_EQ(view.destination, "");
  EXPECT_EQ(view.profile_name, "Studio");
  EXPECT_EQ(captured_count("Started VDO"), 0u);
  if (c.details_published) {
    EXPECT_EQ(view.profile_details, "Name: Studio\nVideo codec: H.265");
    EXPECT_EQ(view.stream_details,
              "Video: H.265 640x360 @ 30 fps\nProfile: Studio\nRTMP mode: Enhanced RTMP required\n"
              "RTMP audio: none");
  } else {
    EXPECT_EQ(view.profile_details, "");
    EXPECT_EQ(view.stream_details, "");
    EXPECT_EQ(captured_count("stream profile details"), 0u);
  }
  // TearDown checks that every map, stream and buffer was released.
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureFailure,
    testing::Values(
        FailureCase{"parse", nullptr, "videocodec=hevc&camera=0", "Unsupported stream profile camera value '0'.",
                    false},
        FailureCase{"create", "new:1", "videocodec=hevc", "Failed to create VDO stream: sensor busy", false},
        FailureCase{"refused_settings", nullptr, "videocodec=hevc&camera=2",
                    "Failed to create VDO stream: Video input 2 does not exist", false},
        FailureCase{"info", "info:1", "videocodec=hevc", "Failed to read VDO stream info: sensor busy", false},
        FailureCase{"start", "start:1", "videocodec=hevc", "Failed to start VDO stream: sensor busy", true}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

TEST_F(CapturePhase, ParseFailureCreatesNoVideoStream) {
  // The first stream creation of the process-wide count is set to fail: if
  // the refused profile had created a stream, the second run would not fail.
  setenv("VDO_EMULATOR_FAIL", "new:1", 1);
  uint64_t clips_before = vdo_emulator_clip_encode_count();
  ControlView refused = run_to_end("Studio", "fps=0");
  EXPECT_EQ(refused.last_error, "Unsupported stream profile fps value '0'.");
  EXPECT_EQ(vdo_emulator_clip_encode_count(), clips_before);
  VdoEmulatorLiveObjects after = vdo_emulator_live_objects();
  EXPECT_EQ(after.maps, baseline_.maps);
  EXPECT_EQ(after.streams, baseline_.streams);

  ControlView next = run_to_end("Studio", "fps=10");
  EXPECT_EQ(next.last_error, "Failed to create VDO stream: sensor busy");
}

TEST_F(CapturePhase, NewStartClearsTheDetailsOfTheLastRun) {
  setenv("VDO_EMULATOR_FAIL", "get_buffer:1", 1);
  ControlView first = run_to_end("First", "videocodec=hevc");
  ASSERT_NE(first.stream_details, "");
  vdo_emulator_reset_faults();
  setenv("VDO_EMULATOR_FAIL", "new:1", 1);
  ControlView second = run_to_end("Second", "videocodec=hevc");
  EXPECT_EQ(second.last_error, "Failed to create VDO stream: sensor busy");
  EXPECT_EQ(second.stream_details, "");
  EXPECT_EQ(second.profile_details, "");
}

}  // namespace
