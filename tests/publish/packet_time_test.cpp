// Presentation times and durations of video packets: the nominal frame
// duration, the monotonic rule and the rescale into the muxer's time base.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "publish/rtmp_output.h"

namespace {

struct DurationCase {
  uint32_t fps;
  int64_t duration;
};

class FrameDuration : public testing::TestWithParam<DurationCase> {};

TEST_P(FrameDuration, WholeMicrosecondsPerFrame) {
  EXPECT_EQ(frame_duration_for(GetParam().fps), GetParam().duration);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameDuration,
                         testing::Values(DurationCase{30, 33333}, DurationCase{25, 40000},
                                         DurationCase{1, 1000000}, DurationCase{60, 16666},
                                         DurationCase{1000000, 1},
                                         // beyond a microsecond per frame: the 30 fps figure
                                         DurationCase{1000001, 33333},
                                         DurationCase{4294967295u, 33333}, DurationCase{0, 33333}));

struct TimeCase {
  const char *name;
  uint64_t base;
  int64_t last_pts;
  int64_t frame_duration;
  uint64_t timestamp;
  int64_t pts;
  int64_t duration;
};

class PacketTime : public testing::TestWithParam<TimeCase> {};

TEST_P(PacketTime, FollowsTheMonotonicRule) {
  const TimeCase &c = GetParam();
  VideoPacketTime time = video_packet_time(c.base, c.last_pts, c.frame_duration, c.timestamp);
  EXPECT_EQ(time.pts, c.pts);
  EXPECT_EQ(time.duration, c.duration);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketTime,
    testing::Values(TimeCase{"opening_keyframe", 5000000, -1, 33333, 5000000, 0, 33333},
                    TimeCase{"first_after_base", 5000000, -1, 40000, 5000100, 100, 40000},
                    TimeCase{"first_before_base", 5000000, -1, 33333, 4000000, 0, 33333},
                    TimeCase{"regular_gap", 5000000, 0, 33333, 5033400, 33400, 33400},
                    TimeCase{"irregular_gap", 5000000, 33333, 33333, 5100000, 100000, 66667},
                    TimeCase{"same_timestamp_again", 5000000, 33333, 33333, 5033333, 66666, 33333},
                    TimeCase{"timestamp_went_back", 5000000, 66666, 33333, 5040000, 99999, 33333},
                    TimeCase{"before_base", 5000000, 66666, 33333, 4999999, 99999, 33333},
                    TimeCase{"tiny_gap", 5000000, 33333, 33333, 5033733, 33733, 400},
                    TimeCase{"one_fps", 0, 1000000, 1000000, 1000000, 2000000, 1000000},
                    TimeCase{"large_timestamps", 0xFFFFFF0000000000ull, 0, 33333,
                             0xFFFFFF0000000000ull + 50000000000ull, 50000000000ll, 50000000000ll}),
    [](const testing::TestParamInfo<TimeCase> &info) { return info.param.name; });

struct RescaleCase {
  const char *name;
  VideoPacketTime time;
  int num, den;
  VideoPacketTime expected;
};

class Rescale : public testing::TestWithParam<RescaleCase> {};

TEST_P(Rescale, IntoStreamTimeBaseWithPositiveDuration) {
  const RescaleCase &c = GetParam();
  VideoPacketTime rescaled = rescale_video_packet_time(c.time, c.num, c.den);
  EXPECT_EQ(rescaled.pts, c.expected.pts);
  EXPECT_EQ(rescaled.duration, c.expected.duration);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rescale,
    testing::Values(RescaleCase{"frame_at_30fps_ms", {33333, 33333}, 1, 1000, {33, 33}},
                    RescaleCase{"rounds_to_nearest_ms", {66666, 33333}, 1, 1000, {67, 33}},
                    RescaleCase{"gap_of_400us_gets_duration_1", {33733, 400}, 1, 1000, {34, 1}},
                    RescaleCase{"zero_duration_raised", {0, 0}, 1, 1000, {0, 1}},
                    RescaleCase{"identity_in_microseconds", {12345, 678}, 1, 1000000, {12345, 678}},
                    RescaleCase{"ninety_khz", {40000, 40000}, 1, 90000, {3600, 3600}}),
    [](const testing::TestParamInfo<RescaleCase> &info) { return info.param.name; });

// A jittery, sometimes repeating or stepping-back camera clock still gives
// strictly increasing presentation times whose durations add up.
TEST(PacketTimeSequence, JitteryClockGivesStrictlyIncreasingTimes) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> jitter(-40000, 40000);
  const uint64_t base = 1000000000;
  const int64_t frame_duration = frame_duration_for(30);
  int64_t last_pts = -1;
  uint64_t clock = base;
  for (int frame = 0; frame < 5000; ++frame) {
    const uint64_t timestamp = clock + static_cast<uint64_t>(jitter(random) + 40000) - 40000;
    VideoPacketTime time = video_packet_time(base, last_pts, frame_duration, timestamp);
    if (last_pts < 0) {
      EXPECT_EQ(time.pts, 0);
    } else {
      ASSERT_GT(time.pts, last_pts) << "frame " << frame;
      ASSERT_EQ(time.pts - last_pts, time.duration) << "frame " << frame;
    }
    last_pts = time.pts;
    clock += 33333;
  }
}

}  // namespace
