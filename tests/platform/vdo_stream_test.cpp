// Tests of the camera emulator through the camera's video interface: what
// it delivers (decoded with FFmpeg), its limits, settings, faults and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <cmath>
#include <string>
#include <vector>

#include "test_pattern.h"
#include "tests/platform/vdo_test_support.h"
#include "vdo.h"
#include "vdo_emulator.h"

namespace vdo_test {
namespace {

// Owns what a test creates, so a failing assertion leaks nothing into the
// live-object checks of later tests.
struct StreamOwner {
  VdoStream *stream = nullptr;
  ~StreamOwner() {
    if (stream) {
      vdo_stream_stop(stream);
      g_object_unref(stream);
    }
  }
};

struct MapOwner {
  VdoMap *map = nullptr;
  ~MapOwner() {
    if (map) g_object_unref(map);
  }
};

struct ErrorOwner {
  GError *error = nullptr;
  ~ErrorOwner() { g_clear_error(&error); }
  GError **out() {
    g_clear_error(&error);
    return &error;
  }
  std::string message() const { return error ? error->message : "(no error)"; }
};

// Creates and starts a stream; the test fails when either step fails.
VdoStream *open_stream(VdoMap *settings) {
  GError *error = nullptr;
  VdoStream *stream = vdo_stream_new(settings, nullptr, &error);
  if (stream == nullptr) {
    ADD_FAILURE() << "vdo_stream_new: " << (error ? error->message : "no error");
    g_clear_error(&error);
    return nullptr;
  }
  if (!vdo_stream_start(stream, &error)) {
    ADD_FAILURE() << "vdo_stream_start: " << (error ? error->message : "no error");
    g_clear_error(&error);
  }
  return stream;
}

class EmulatorTest : public testing::Test {
 protected:
  void SetUp() override {
    baseline_ = vdo_emulator_live_objects();
    vdo_emulator_reset_faults();
  }
  void TearDown() override {
    VdoEmulatorLiveObjects now = vdo_emulator_live_objects();
    EXPECT_EQ(now.maps, baseline_.maps) << "maps left alive";
    EXPECT_EQ(now.streams, baseline_.streams) << "streams left alive";
    EXPECT_EQ(now.buffers, baseline_.buffers) << "buffers not returned";
  }
  VdoEmulatorLiveObjects baseline_{};
};

// ---- what each codec delivers ----

struct CodecCase {
  const char *name;
  guint32 format;
  guint32 key_type;
  guint32 inter_type;
  std::vector<guint32> parameter_types;  // separate parameter-set frames before keyframes
};
void PrintTo(const CodecCase &c, std::ostream *os) { *os << c.name; }

class CodecStream : public EmulatorTest, public testing::WithParamInterface<CodecCase> {};

// Checks one frame's bitstream against its reported type and key flag.
void expect_bitstream_matches(const CodecCase &codec, const DeliveredFrame &frame, size_t index) {
  SCOPED_TRACE("frame " + std::to_string(index));
  if (codec.format == FORMAT_AV1) {
    std::vector<Obu> obus;
    ASSERT_TRUE(split_obus(frame.bytes, obus)) << "OBUs with sizes, chained to the end";
    ASSERT_GE(obus.size(), 2u);
    EXPECT_EQ(obus[0].type, 2) << "a temporal unit opens with its delimiter";
    EXPECT_EQ(obus[0].size, 0u);
    bool sequence_header = false;
    int frame_kind = -1;
    for (const Obu &obu : obus) {
      if (obu.type == 1) sequence_header = true;
      // Frame (6) or frame header (3): show_existing_frame, then frame_type (0 key, 1 inter).
      if ((obu.type == 6 || obu.type == 3) && frame_kind < 0 && obu.size > 0) frame_kind = (obu.payload[0] >> 5) & 3;
    }
    EXPECT_EQ(sequence_header, frame.key) << "sequence header on keyframes only";
    EXPECT_EQ(frame_kind, frame.key ? 0 : 1);
    return;
  }
  std::vector<NalUnit> units = split_nal_units(frame.bytes);
  ASSERT_FALSE(units.empty());
  EXPECT_EQ(frame.bytes[0], 0) << "no bytes before the first start code";
  std::vector<int> types;
  for (const NalUnit &unit : units) {
    EXPECT_EQ(unit.start_code_length, 4u) << "4-byte start codes throughout";
    types.push_back(codec.format == FORMAT_H265 ? h265_nal_type(unit) : h264_nal_type(unit));
  }
  auto count = [&](std::initializer_list<int> wanted) {
    return std::count_if(types.begin(), types.end(),
                         [&](int t) { return std::find(wanted.begin(), wanted.end(), t) != wanted.end(); });
  };
  if (codec.format == FORMAT_H264) {
    if (frame.key) {
      ASSERT_GE(types.size(), 3u);
      EXPECT_EQ(types[0], 7) << "SPS first";
      EXPECT_EQ(types[1], 8) << "then PPS";
      EXPECT_GE(count({5}), 1) << "IDR slices";
      EXPECT_EQ(count({1}), 0);
    } else {
      EXPECT_GE(count({1}), 1) << "non-IDR slices";
      EXPECT_EQ(count({5, 7, 8}), 0);
    }
  } else {
    if (frame.key) {
      ASSERT_GE(types.size(), 4u);
      EXPECT_EQ(types[0], 32) << "VPS first";
      EXPECT_EQ(types[1], 33) << "then SPS";
      EXPECT_EQ(types[2], 34) << "then PPS";
      EXPECT_GE(count({19, 20}), 1) << "IDR slices";
    } else {
      EXPECT_GE(count({0, 1}), 1) << "trailing-picture slices";
      EXPECT_EQ(count({19, 20, 32, 33, 34}), 0);
    }
  }
}

TEST_P(CodecStream, DeliversDecodableFramesAcrossClipLoops) {
  const CodecCase &codec = GetParam();
  // 10 fps with 0.5-second GOPs: a keyframe every 5 frames, a clip of 10.
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_GOP_SECONDS", "0.5"},
                   {"VDO_EMULATOR_CLIP_GOPS", "2"}});
  MapOwner settings{make_settings(codec.format, 176, 96, 10.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);

  std::vector<DeliveredFrame> frames = take_frames(stream.stream, 25);
  ASSERT_EQ(frames.size(), 25u);
  Decoder decoder(codec.format);
  std::vector<Picture> pictures;
  for (size_t i = 0; i < frames.size(); ++i) {
    const DeliveredFrame &frame = frames[i];
    EXPECT_EQ(frame.key, i % 5 == 0) << "frame " << i;
    EXPECT_EQ(frame.type, frame.key ? codec.key_type : codec.inter_type) << "frame " << i;
    EXPECT_EQ(frame.reported_size, frame.bytes.size()) << "frame " << i;
    expect_bitstream_matches(codec, frame, i);
    ASSERT_TRUE(decoder.decode(frame.bytes, pictures)) << "frame " << i << " does not decode";
  }
  ASSERT_TRUE(decoder.flush(pictures));
  ASSERT_EQ(pictures.size(), frames.size());
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].width, 176) << i;
    EXPECT_EQ(pictures[i].height, 96) << i;
    EXPECT_EQ(pictures[i].key, frames[i].key) << i;
    EXPECT_EQ(pictures[i].picture_type, frames[i].key ? 'I' : 'P') << i;
  }
  // The clip loops: frame 10 repeats frame 0's bytes.
  EXPECT_EQ(frames[10].bytes, frames[0].bytes);
  EXPECT_NE(frames[1].bytes, frames[0].bytes);
}

TEST_P(CodecStream, PicturesShowTheMovingPatternWithTheFrameNumber) {
  const CodecCase &codec = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_GOP_SECONDS", "1"}});
  MapOwner settings{make_settings(codec.format, 320, 180, 10.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  const guint32 period = 10;  // one 1-second GOP at 10 fps

  std::vector<DeliveredFrame> frames = take_frames(stream.stream, period);
  Decoder decoder(codec.format);
  std::vector<Picture> pictures;
  for (const DeliveredFrame &frame : frames) ASSERT_TRUE(decoder.decode(frame.bytes, pictures));
  ASSERT_TRUE(decoder.flush(pictures));
  ASSERT_EQ(pictures.size(), period);

  vdo_emulator::Rect counter = vdo_emulator::counter_rect(320, 180, period);
  for (guint32 k = 0; k < period; ++k) {
    vdo_emulator::Picture expected = vdo_emulator::make_picture(320, 180);
    vdo_emulator::draw_test_pattern(expected, k, period);
    vdo_emulator::Picture next = vdo_emulator::make_picture(320, 180);
    vdo_emulator::draw_test_pattern(next, k + 1, period);
    const Picture &got = pictures[k];
    EXPECT_GT(luma_psnr(got.luma.data(), 320, expected.y.data(), 320, 320, 180), 28.0) << "picture " << k;
    // The counter area shows this frame's number, not the next one's.
    size_t offset = static_cast<size_t>(counter.y) * 320 + counter.x;
    double own = luma_psnr(got.luma.data() + offset, 320, expected.y.data() + offset, 320, counter.width,
                           counter.height);
    double other = luma_psnr(got.luma.data() + offset, 320, next.y.data() + offset, 320, counter.width,
                             counter.height);
    EXPECT_GT(own, other + 3.0) << "picture " << k;
    // And the picture moves.
    if (k > 0) {
      EXPECT_LT(luma_psnr(got.luma.data(), 320, pictures[k - 1].luma.data(), 320, 320, 180), 40.0) << k;
    }
  }
}

TEST_P(CodecStream, SeparateParameterSetsPrecedeEachKeyframe) {
  const CodecCase &codec = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_GOP_SECONDS", "0.3"},
                   {"VDO_EMULATOR_SEPARATE_PARAMETER_SETS", "1"}});
  MapOwner settings{make_settings(codec.format, 96, 64, 10.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);

  // Keyframes every 3 pictures; read 3 GOPs with what comes before them.
  const size_t extra = codec.parameter_types.size();
  std::vector<DeliveredFrame> frames = take_frames(stream.stream, 3 * (3 + extra));
  size_t at = 0;
  for (int gop = 0; gop < 3; ++gop) {
    ASSERT_LE(at + extra + 3, frames.size());
    const DeliveredFrame &key = frames[at + extra];
    EXPECT_TRUE(key.key);
    EXPECT_EQ(key.type, codec.key_type);
    std::vector<NalUnit> in_band = split_nal_units(key.bytes);
    for (size_t p = 0; p < extra; ++p) {
      const DeliveredFrame &set = frames[at + p];
      EXPECT_EQ(set.type, codec.parameter_types[p]) << "GOP " << gop;
      EXPECT_FALSE(set.key);
      EXPECT_EQ(set.timestamp, key.timestamp) << "shares the keyframe's timestamp";
      // The same unit as the keyframe's in-band copy, with a 4-byte start code.
      ASSERT_GT(in_band.size(), p);
      std::vector<uint8_t> unit = {0, 0, 0, 1};
      unit.insert(unit.end(), in_band[p].data, in_band[p].data + in_band[p].size);
      EXPECT_EQ(set.bytes, unit) << "GOP " << gop;
    }
    EXPECT_FALSE(frames[at + extra + 1].key);
    EXPECT_FALSE(frames[at + extra + 2].key);
    EXPECT_EQ(frames[at + extra + 1].timestamp - key.timestamp, 100000u);
    at += extra + 3;
  }
}

TEST_P(CodecStream, ChunksReassembleToTheWholeFrame) {
  const CodecCase &codec = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_CHUNK_SIZE", "100"},
                   {"VDO_EMULATOR_GOP_SECONDS", "0.5"}});
  MapOwner chunked{make_settings(codec.format, 176, 96, 10.0)};
  MapOwner whole{make_settings(codec.format, 176, 96, 10.0)};
  vdo_map_set_boolean(whole.map, "frame.chunks", FALSE);
  StreamOwner in_chunks{open_stream(chunked.map)};
  StreamOwner in_one{open_stream(whole.map)};
  ASSERT_NE(in_chunks.stream, nullptr);
  ASSERT_NE(in_one.stream, nullptr);

  std::vector<DeliveredFrame> pieces = take_frames(in_chunks.stream, 7);
  std::vector<DeliveredFrame> wholes = take_frames(in_one.stream, 7);
  ASSERT_EQ(pieces.size(), 7u);
  ASSERT_EQ(wholes.size(), 7u);
  for (size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i].bytes, wholes[i].bytes) << i;
    EXPECT_EQ(pieces[i].chunks, (pieces[i].bytes.size() + 99) / 100) << i;
    EXPECT_LE(pieces[i].largest_chunk, 100u) << i;
    EXPECT_EQ(wholes[i].chunks, 1u) << i;
  }
  EXPECT_GT(pieces[0].chunks, 1u) << "a keyframe takes several chunks";
}

INSTANTIATE_TEST_SUITE_P(Codecs, CodecStream,
                         testing::Values(CodecCase{"H264", FORMAT_H264, 4, 6, {1, 2}},
                                         CodecCase{"H265", FORMAT_H265, 12, 14, {9, 10, 11}},
                                         CodecCase{"AV1", FORMAT_AV1, 22, 23, {}}),
                         [](const testing::TestParamInfo<CodecCase> &info) { return std::string(info.param.name); });

// ---- timestamps and pacing ----

class StreamTiming : public EmulatorTest, public testing::WithParamInterface<double> {};

TEST_P(StreamTiming, UnpacedTimestampsAdvanceByTheFrameInterval) {
  const double fps = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, fps)};
  gint64 before = g_get_monotonic_time();
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);

  // More than two clip loops: timestamps keep going across the loop boundary.
  std::vector<DeliveredFrame> frames = take_frames(stream.stream, 150);
  ASSERT_EQ(frames.size(), 150u);
  EXPECT_GE(frames[0].timestamp, static_cast<guint64>(before)) << "monotonic clock, microseconds";
  const double interval = 1e6 / fps;
  for (size_t n = 1; n < frames.size(); ++n) {
    guint64 step = frames[n].timestamp - frames[n - 1].timestamp;
    ASSERT_GT(frames[n].timestamp, frames[n - 1].timestamp) << n;
    EXPECT_LE(std::fabs(static_cast<double>(step) - interval), 1.0) << n;
    // No drift: frame n sits at n intervals from the first, to the microsecond.
    EXPECT_LE(std::fabs(static_cast<double>(frames[n].timestamp - frames[0].timestamp) - n * interval), 0.5) << n;
  }
  // Unpaced: stream time, so 150 frames at low rates lie well ahead of the wall clock.
  if (fps <= 12.5) {
    EXPECT_GT(frames.back().timestamp, static_cast<guint64>(g_get_monotonic_time()));
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamTiming, testing::Values(10.0, 12.5, 29.97, 30.0));

TEST_F(EmulatorTest, PacedFramesAreNotHandedOutBeforeTheyAreDue) {
  EmulatorEnv env;
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 30.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  guint64 previous = 0;
  for (int n = 0; n < 5; ++n) {
    DeliveredFrame frame;
    ErrorOwner error;
    ASSERT_TRUE(take_frame(stream.stream, frame, error.out())) << error.message();
    EXPECT_GE(static_cast<guint64>(g_get_monotonic_time()), frame.timestamp) << n;
    if (n > 0) {
      EXPECT_NEAR(static_cast<double>(frame.timestamp - previous), 33333.3, 1.0);
    }
    previous = frame.timestamp;
  }
}

// ---- limits and read-back ----

struct LimitCase {
  const char *name;
  const char *max_width, *max_height, *max_fps;  // null: the default sensor
  guint32 width, height;                         // requested; 0: no "resolution"
  double fps;                                    // requested; 0: no "framerate"
  guint32 delivered_width, delivered_height;
  double delivered_fps;
};
void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

class StreamLimits : public EmulatorTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(StreamLimits, InfoReportsWhatIsReallyDelivered) {
  const LimitCase &c = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_GOP_SECONDS", "0.2"}});
  if (c.max_width) env.set("VDO_EMULATOR_MAX_WIDTH", c.max_width);
  if (c.max_height) env.set("VDO_EMULATOR_MAX_HEIGHT", c.max_height);
  if (c.max_fps) env.set("VDO_EMULATOR_MAX_FPS", c.max_fps);
  MapOwner settings{vdo_map_new()};
  vdo_map_set_uint32(settings.map, "format", FORMAT_H264);
  if (c.width) vdo_map_set_pair32u(settings.map, "resolution", c.width, c.height);
  if (c.fps > 0) vdo_map_set_double(settings.map, "framerate", c.fps);
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);

  ErrorOwner error;
  MapOwner info{vdo_stream_get_info(stream.stream, error.out())};
  ASSERT_NE(info.map, nullptr) << error.message();
  EXPECT_EQ(vdo_map_get_uint32(info.map, "width", 0), c.delivered_width);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "height", 0), c.delivered_height);
  EXPECT_DOUBLE_EQ(vdo_map_get_double(info.map, "framerate", 0.0), c.delivered_fps);
  guint32 width = 0, height = 0;
  EXPECT_TRUE(vdo_map_get_pair32u(info.map, "resolution", &width, &height));
  EXPECT_EQ(width, c.delivered_width);
  EXPECT_EQ(height, c.delivered_height);

  // The pictures have that size, and arrive at that rate.
  std::vector<DeliveredFrame> frames = take_frames(stream.stream, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_NEAR(static_cast<double>(frames[1].timestamp - frames[0].timestamp), 1e6 / c.delivered_fps, 1.0);
  Decoder decoder(FORMAT_H264);
  std::vector<Picture> pictures;
  ASSERT_TRUE(decoder.decode(frames[0].bytes, pictures));
  ASSERT_TRUE(decoder.flush(pictures));
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].width, static_cast<int>(c.delivered_width));
  EXPECT_EQ(pictures[0].height, static_cast<int>(c.delivered_height));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamLimits,
    testing::Values(LimitCase{"above_default_sensor", nullptr, nullptr, nullptr, 3840, 2160, 60.0, 1920, 1080, 30.0},
                    LimitCase{"above_small_sensor", "320", "180", "15", 640, 360, 30.0, 320, 180, 15.0},
                    LimitCase{"other_aspect", "640", "360", nullptr, 1920, 1200, 25.0, 576, 360, 25.0},
                    LimitCase{"within_limits", "640", "360", nullptr, 160, 90, 12.5, 160, 90, 12.5},
                    LimitCase{"below_one_fps", "640", "360", nullptr, 160, 90, 0.4, 160, 90, 1.0},
                    LimitCase{"sensor_defaults", "256", "144", "20", 0, 0, 0.0, 256, 144, 20.0}),
    [](const testing::TestParamInfo<LimitCase> &info) { return std::string(info.param.name); });

TEST_F(EmulatorTest, InfoEchoesTheStreamsSettings) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_INPUTS", "2"}, {"VDO_EMULATOR_CHANNELS", "2"}});
  MapOwner settings{make_settings(FORMAT_H265, 96, 64, 10.0)};
  vdo_map_set_uint32(settings.map, "input", 2);
  vdo_map_set_uint32(settings.map, "channel", 1);
  vdo_map_set_uint32(settings.map, "compression", 40);
  vdo_map_set_uint32(settings.map, "rc.mode", 3);
  vdo_map_set_uint32(settings.map, "abr.target_bitrate", 250000);
  vdo_map_set_uint32(settings.map, "zoom.level", 7);  // unknown keys are ignored
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  ErrorOwner error;
  MapOwner info{vdo_stream_get_info(stream.stream, error.out())};
  ASSERT_NE(info.map, nullptr) << error.message();
  EXPECT_EQ(vdo_map_get_uint32(info.map, "format", 99), FORMAT_H265);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "input", 0), 2u);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "channel", 0), 1u);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "compression", 0), 40u);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "rc.mode", 0), 3u);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "abr.target_bitrate", 0), 250000u);
  EXPECT_EQ(vdo_map_get_uint32(info.map, "gop_length", 0), 20u);
  EXPECT_FALSE(vdo_map_contains(info.map, "zoom.level"));
}

// ---- statistics ----

TEST_F(EmulatorTest, StatisticsBitrateIsMeasuredFromDeliveredFrames) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  MapOwner settings{make_settings(FORMAT_H264, 176, 96, 20.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  ErrorOwner error;
  MapOwner before{vdo_stream_get_info(stream.stream, error.out())};
  ASSERT_NE(before.map, nullptr);
  EXPECT_EQ(vdo_map_get_uint32(before.map, "statistics.bitrate", 99), 0u) << "nothing delivered yet";

  std::vector<DeliveredFrame> frames = take_frames(stream.stream, 53);
  double bytes = 0;
  for (const DeliveredFrame &frame : frames) bytes += static_cast<double>(frame.bytes.size());
  MapOwner info{vdo_stream_get_info(stream.stream, error.out())};
  ASSERT_NE(info.map, nullptr);
  double expected = bytes * 8.0 * 20.0 / 53.0;
  EXPECT_NEAR(vdo_map_get_uint32(info.map, "statistics.bitrate", 0), expected, 1.0);
}

TEST_F(EmulatorTest, StatisticsBitrateCanBeFixed) {
  for (const char *value : {"0", "12345"}) {
    EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_STATISTICS_BITRATE", value}});
    MapOwner settings{make_settings(FORMAT_H264, 96, 64, 10.0)};
    StreamOwner stream{open_stream(settings.map)};
    ASSERT_NE(stream.stream, nullptr);
    take_frames(stream.stream, 5);
    ErrorOwner error;
    MapOwner info{vdo_stream_get_info(stream.stream, error.out())};
    ASSERT_NE(info.map, nullptr);
    EXPECT_TRUE(vdo_map_contains(info.map, "statistics.bitrate"));
    EXPECT_EQ(vdo_map_get_uint32(info.map, "statistics.bitrate", 99), std::stoul(value));
  }
}

// ---- settings the camera refuses ----

struct RefusalCase {
  const char *name;
  void (*adjust)(VdoMap *settings);
  gint code;
  const char *message;  // part of the error message
};
void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class StreamRefusal : public EmulatorTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(StreamRefusal, CreationFailsWithAVdoError) {
  EmulatorEnv env;
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 10.0)};
  GetParam().adjust(settings.map);
  ErrorOwner error;
  VdoStream *stream = vdo_stream_new(settings.map, nullptr, error.out());
  EXPECT_EQ(stream, nullptr);
  if (stream) g_object_unref(stream);
  ASSERT_NE(error.error, nullptr);
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, GetParam().code)) << error.error->code;
  EXPECT_NE(error.message().find(GetParam().message), std::string::npos) << error.message();
  EXPECT_FALSE(vdo_error_is_expected(&error.error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRefusal,
    testing::Values(
        RefusalCase{"format", [](VdoMap *m) { vdo_map_set_uint32(m, "format", 3); }, VDO_ERROR_INVALID_ARGUMENT,
                    "Unsupported video format 3"},
        RefusalCase{"input", [](VdoMap *m) { vdo_map_set_uint32(m, "input", 2); }, VDO_ERROR_NOT_FOUND,
                    "Video input 2 does not exist"},
        RefusalCase{"channel", [](VdoMap *m) { vdo_map_set_uint32(m, "channel", 4); }, VDO_ERROR_NOT_FOUND,
                    "Video channel 4 does not exist"},
        RefusalCase{"rc_mode", [](VdoMap *m) { vdo_map_set_uint32(m, "rc.mode", 9); }, VDO_ERROR_INVALID_ARGUMENT,
                    "rate control mode 9"},
        RefusalCase{"compression", [](VdoMap *m) { vdo_map_set_uint32(m, "compression", 200); },
                    VDO_ERROR_INVALID_ARGUMENT, "compression 200"},
        RefusalCase{"zero_size", [](VdoMap *m) { vdo_map_set_pair32u(m, "resolution", 640, 0); },
                    VDO_ERROR_INVALID_ARGUMENT, "Invalid resolution 640x0"},
        RefusalCase{"negative_fps", [](VdoMap *m) { vdo_map_set_double(m, "framerate", -30.0); },
                    VDO_ERROR_INVALID_ARGUMENT, "Invalid frame rate"},
        RefusalCase{"fps_as_integer", [](VdoMap *m) { vdo_map_set_uint32(m, "framerate", 30); },
                    VDO_ERROR_INVALID_ARGUMENT, "'framerate'"},
        RefusalCase{"resolution_as_integer", [](VdoMap *m) { vdo_map_set_uint32(m, "resolution", 640); },
                    VDO_ERROR_INVALID_ARGUMENT, "'resolution'"},
        RefusalCase{"format_as_double", [](VdoMap *m) { vdo_map_set_double(m, "format", 1.0); },
                    VDO_ERROR_INVALID_ARGUMENT, "'format'"}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

TEST_F(EmulatorTest, ReservedArgumentMustBeNull) {
  EmulatorEnv env;
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  ErrorOwner error;
  int reserved = 0;
  EXPECT_EQ(vdo_stream_new(settings.map, &reserved, error.out()), nullptr);
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT));
}

TEST_F(EmulatorTest, MalformedEmulatorVariableFailsCreationLoudly) {
  EmulatorEnv env({{"VDO_EMULATOR_NO_DATA", "fifty"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  ErrorOwner error;
  EXPECT_EQ(vdo_stream_new(settings.map, nullptr, error.out()), nullptr);
  EXPECT_NE(error.message().find("VDO_EMULATOR_NO_DATA"), std::string::npos) << error.message();
}

// ---- faults on demand ----

TEST_F(EmulatorTest, NthCreationFails) {
  EmulatorEnv env({{"VDO_EMULATOR_FAIL", "new:2"}, {"VDO_EMULATOR_FAIL_MESSAGE", "encoder busy"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  for (int call = 1; call <= 3; ++call) {
    ErrorOwner error;
    VdoStream *stream = vdo_stream_new(settings.map, nullptr, error.out());
    EXPECT_EQ(stream == nullptr, call == 2) << "call " << call;
    if (stream) g_object_unref(stream);
    if (call == 2) {
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED));
      EXPECT_EQ(error.message(), "encoder busy");
    }
  }
  // The count is process-wide until reset.
  vdo_emulator_reset_faults();
  ErrorOwner error;
  VdoStream *first = vdo_stream_new(settings.map, nullptr, error.out());
  EXPECT_NE(first, nullptr);
  VdoStream *second = vdo_stream_new(settings.map, nullptr, error.out());
  EXPECT_EQ(second, nullptr);
  if (first) g_object_unref(first);
  if (second) g_object_unref(second);
}

struct StreamFaultCase {
  const char *name;
  const char *fail;    // VDO_EMULATOR_FAIL
  const char *unref;   // VDO_EMULATOR_UNREF_FAIL
  int failing_info;    // get_info calls (1-based) that fail, 0 none
  int failing_start;   // start calls that fail
  std::vector<int> failing_frames;  // frame reads (1-based) that fail at get_buffer, a chunk or the return
  const char *failing_step;         // "get_buffer", "chunk" or "unref"
};
void PrintTo(const StreamFaultCase &c, std::ostream *os) { *os << c.name; }

class StreamFault : public EmulatorTest, public testing::WithParamInterface<StreamFaultCase> {};

TEST_P(StreamFault, FailsExactlyTheConfiguredCalls) {
  const StreamFaultCase &c = GetParam();
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_CHUNK_SIZE", "1000000"}});
  if (c.fail) env.set("VDO_EMULATOR_FAIL", c.fail);
  if (c.unref) env.set("VDO_EMULATOR_UNREF_FAIL", c.unref);
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 10.0)};
  ErrorOwner error;
  StreamOwner stream{vdo_stream_new(settings.map, nullptr, error.out())};
  ASSERT_NE(stream.stream, nullptr) << error.message();

  for (int call = 1; call <= 2; ++call) {
    MapOwner info{vdo_stream_get_info(stream.stream, error.out())};
    EXPECT_EQ(info.map == nullptr, call == c.failing_info) << "info call " << call;
    if (call == c.failing_info) {
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED));
    }
  }
  gboolean started = vdo_stream_start(stream.stream, error.out());
  EXPECT_EQ(started == FALSE, c.failing_start == 1);
  if (!started) {
    EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED)) << error.message();
    ASSERT_TRUE(vdo_stream_start(stream.stream, error.out())) << "only the first start fails";
  }

  // With one chunk per frame, frame read n makes get_buffer call n, take_chunk
  // calls 2n-1 (data) and 2n (end) and unref call n.
  guint64 last_timestamp = 0;
  for (int read = 1; read <= 6; ++read) {
    bool should_fail = std::find(c.failing_frames.begin(), c.failing_frames.end(), read) != c.failing_frames.end();
    VdoBuffer *buffer = vdo_stream_get_buffer(stream.stream, error.out());
    if (std::string(c.failing_step) == "get_buffer" && should_fail) {
      EXPECT_EQ(buffer, nullptr) << "read " << read;
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED)) << error.message();
      if (buffer) vdo_stream_buffer_unref(stream.stream, &buffer, nullptr);
      continue;
    }
    ASSERT_NE(buffer, nullptr) << "read " << read << ": " << error.message();
    VdoFrame *frame = vdo_buffer_get_frame(buffer);
    // A failed call takes no frame: the sequence goes on without a gap.
    if (last_timestamp) {
      EXPECT_EQ(vdo_frame_get_timestamp(frame) - last_timestamp, 100000u) << "read " << read;
    }
    last_timestamp = vdo_frame_get_timestamp(frame);
    VdoChunk chunk = vdo_frame_take_chunk(frame, error.out());
    if (std::string(c.failing_step) == "chunk" && should_fail) {
      EXPECT_EQ(chunk.status, VDO_CHUNK_FAILED) << "read " << read;
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED)) << error.message();
    } else {
      EXPECT_NE(chunk.status, VDO_CHUNK_FAILED) << "read " << read << ": " << error.message();
      EXPECT_EQ(chunk.size, vdo_frame_get_size(frame));
      EXPECT_EQ(vdo_frame_take_chunk(frame, error.out()).size, 0u);
    }
    gboolean returned = vdo_stream_buffer_unref(stream.stream, &buffer, error.out());
    EXPECT_EQ(buffer, nullptr) << "taken back whatever the outcome";
    if (std::string(c.failing_step) == "unref" && should_fail) {
      EXPECT_FALSE(returned) << "read " << read;
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_FAILED)) << error.message();
      EXPECT_FALSE(vdo_error_is_expected(&error.error));
    } else {
      EXPECT_TRUE(returned) << "read " << read << ": " << error.message();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamFault,
    testing::Values(StreamFaultCase{"info_first", "info:1", nullptr, 1, 0, {}, "none"},
                    StreamFaultCase{"info_second", "info:2", nullptr, 2, 0, {}, "none"},
                    StreamFaultCase{"start_first", "start:1", nullptr, 0, 1, {}, "none"},
                    StreamFaultCase{"get_buffer_third", "get_buffer:3", nullptr, 0, 0, {3}, "get_buffer"},
                    StreamFaultCase{"get_buffer_from_fifth", "get_buffer:5+", nullptr, 0, 0, {5, 6}, "get_buffer"},
                    StreamFaultCase{"chunk_of_second_frame", "take_chunk:3", nullptr, 0, 0, {2}, "chunk"},
                    StreamFaultCase{"unref_fourth", "unref:4", nullptr, 0, 0, {4}, "unref"},
                    StreamFaultCase{"unref_unexpected", nullptr, "unexpected:2+", 0, 0, {2, 3, 4, 5, 6}, "unref"}),
    [](const testing::TestParamInfo<StreamFaultCase> &info) { return std::string(info.param.name); });

struct UnrefFaultCase {
  const char *setting;
  gint code;
  gboolean expected;
};
void PrintTo(const UnrefFaultCase &c, std::ostream *os) { *os << c.setting; }

class UnrefFault : public EmulatorTest, public testing::WithParamInterface<UnrefFaultCase> {};

TEST_P(UnrefFault, ReportsWhetherTheFailureIsHarmless) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_UNREF_FAIL", GetParam().setting},
                   {"VDO_EMULATOR_FAIL_MESSAGE", "buffer pool hiccup"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 10.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  for (int call = 1; call <= 3; ++call) {
    ErrorOwner error;
    VdoBuffer *buffer = vdo_stream_get_buffer(stream.stream, error.out());
    ASSERT_NE(buffer, nullptr) << error.message();
    gboolean returned = vdo_stream_buffer_unref(stream.stream, &buffer, error.out());
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(vdo_emulator_live_objects().buffers, baseline_.buffers);
    if (call != 2) {
      EXPECT_TRUE(returned) << call;
      continue;
    }
    EXPECT_FALSE(returned);
    ASSERT_NE(error.error, nullptr);
    EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, GetParam().code));
    EXPECT_EQ(error.message(), "buffer pool hiccup");
    EXPECT_EQ(vdo_error_is_expected(&error.error), GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, UnrefFault,
                         testing::Values(UnrefFaultCase{"expected:2", VDO_ERROR_EXPECTED, TRUE},
                                         UnrefFaultCase{"unexpected:2", VDO_ERROR_FAILED, FALSE}));

TEST_F(EmulatorTest, NoDataAnswersTheConfiguredCallsAndTakesNoFrame) {
  EmulatorEnv env({{"VDO_EMULATOR_NO_DATA", "3:4"}});  // paced: no-data answers do not wait
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 30.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  std::vector<guint64> timestamps;
  for (int call = 1; call <= 8; ++call) {
    ErrorOwner error;
    DeliveredFrame frame;
    bool got = take_frame(stream.stream, frame, error.out());
    bool no_data = call >= 3 && call <= 6;
    EXPECT_EQ(got, !no_data) << "call " << call << ": " << error.message();
    if (no_data) {
      EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, 13)) << error.message();
      EXPECT_FALSE(vdo_error_is_expected(&error.error));
    } else if (got) {
      timestamps.push_back(frame.timestamp);
    }
  }
  ASSERT_EQ(timestamps.size(), 4u);
  for (size_t i = 1; i < timestamps.size(); ++i) EXPECT_NEAR(static_cast<double>(timestamps[i] - timestamps[i - 1]), 33333.3, 1.0);
}

// ---- start, stop and buffers ----

TEST_F(EmulatorTest, GetBufferNeedsARunningStream) {
  EmulatorEnv env;
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  ErrorOwner error;
  StreamOwner stream{vdo_stream_new(settings.map, nullptr, error.out())};
  ASSERT_NE(stream.stream, nullptr) << error.message();
  EXPECT_EQ(vdo_stream_get_buffer(stream.stream, error.out()), nullptr) << "never started";
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_STATE));
  // Stopping a stream that never started, twice, is fine.
  vdo_stream_stop(stream.stream);
  vdo_stream_stop(stream.stream);
  EXPECT_EQ(vdo_stream_get_buffer(stream.stream, error.out()), nullptr);
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_STATE));
}

TEST_F(EmulatorTest, StartTwiceIsRefused) {
  EmulatorEnv env;
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  ErrorOwner error;
  EXPECT_FALSE(vdo_stream_start(stream.stream, error.out()));
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_STATE));
}

TEST_F(EmulatorTest, StopFromTheReadingThreadEndsPacedReadsAtOnce) {
  EmulatorEnv env({{"VDO_EMULATOR_MAX_FPS", "1"}});  // a frame a second
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  take_frames(stream.stream, 1);
  vdo_stream_stop(stream.stream);
  ErrorOwner error;
  EXPECT_EQ(vdo_stream_get_buffer(stream.stream, error.out()), nullptr);
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_STATE));
}

TEST_F(EmulatorTest, BufferReturnedAfterStopIsAHarmlessFailure) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  ErrorOwner error;
  VdoBuffer *buffer = vdo_stream_get_buffer(stream.stream, error.out());
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(vdo_emulator_live_objects().buffers, baseline_.buffers + 1);
  vdo_stream_stop(stream.stream);
  // The frame stays readable while the buffer is held.
  VdoChunk chunk = vdo_frame_take_chunk(vdo_buffer_get_frame(buffer), error.out());
  EXPECT_GT(chunk.size, 0u);
  EXPECT_FALSE(vdo_stream_buffer_unref(stream.stream, &buffer, error.out()));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_TRUE(vdo_error_is_expected(&error.error));
}

TEST_F(EmulatorTest, RestartBeginsWithAKeyframeAndKeepsTimeGoingForward) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_GOP_SECONDS", "1"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64, 10.0)};
  StreamOwner stream{open_stream(settings.map)};
  ASSERT_NE(stream.stream, nullptr);
  std::vector<DeliveredFrame> first = take_frames(stream.stream, 4);
  ASSERT_EQ(first.size(), 4u);
  vdo_stream_stop(stream.stream);
  ErrorOwner error;
  ASSERT_TRUE(vdo_stream_start(stream.stream, error.out())) << error.message();
  std::vector<DeliveredFrame> second = take_frames(stream.stream, 2);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_TRUE(second[0].key);
  EXPECT_EQ(second[0].bytes, first[0].bytes);
  EXPECT_GE(second[0].timestamp, first.back().timestamp + 100000);
}

TEST_F(EmulatorTest, BufferOfferedToAnotherStreamStaysWithTheCaller) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  MapOwner settings{make_settings(FORMAT_H264, 96, 64)};
  StreamOwner one{open_stream(settings.map)};
  StreamOwner two{open_stream(settings.map)};
  ASSERT_NE(one.stream, nullptr);
  ASSERT_NE(two.stream, nullptr);
  ErrorOwner error;
  VdoBuffer *buffer = vdo_stream_get_buffer(one.stream, error.out());
  ASSERT_NE(buffer, nullptr);
  EXPECT_FALSE(vdo_stream_buffer_unref(two.stream, &buffer, error.out()));
  EXPECT_TRUE(g_error_matches(error.error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT));
  ASSERT_NE(buffer, nullptr);
  EXPECT_TRUE(vdo_stream_buffer_unref(one.stream, &buffer, error.out())) << error.message();
  VdoBuffer *none = nullptr;
  EXPECT_FALSE(vdo_stream_buffer_unref(one.stream, &none, error.out()));
  EXPECT_FALSE(vdo_stream_buffer_unref(one.stream, nullptr, nullptr));
}

TEST_F(EmulatorTest, LiveObjectsCountWhatIsHeld) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  VdoMap *settings = make_settings(FORMAT_H264, 96, 64);
  ErrorOwner error;
  VdoStream *stream = vdo_stream_new(settings, nullptr, error.out());
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(vdo_stream_start(stream, error.out()));
  VdoMap *info = vdo_stream_get_info(stream, error.out());
  VdoBuffer *a = vdo_stream_get_buffer(stream, error.out());
  VdoBuffer *b = vdo_stream_get_buffer(stream, error.out());
  VdoEmulatorLiveObjects held = vdo_emulator_live_objects();
  EXPECT_EQ(held.maps, baseline_.maps + 2);
  EXPECT_EQ(held.streams, baseline_.streams + 1);
  EXPECT_EQ(held.buffers, baseline_.buffers + 2);
  vdo_stream_buffer_unref(stream, &a, nullptr);
  EXPECT_EQ(vdo_emulator_live_objects().buffers, baseline_.buffers + 1);
  vdo_stream_buffer_unref(stream, &b, nullptr);
  vdo_stream_stop(stream);
  g_object_unref(stream);
  g_object_unref(settings);
  g_object_unref(info);
  // TearDown checks that everything is back at the baseline.
}

TEST_F(EmulatorTest, StreamsOfOneConfigurationShareOneEncode) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}});
  env.unset("VDO_EMULATOR_CACHE_DIR");
  MapOwner settings{make_settings(FORMAT_H265, 112, 64, 8.0)};
  vdo_emulator_clear_clip_cache();
  guint64 encodes = vdo_emulator_clip_encode_count();
  StreamOwner one{open_stream(settings.map)};
  StreamOwner two{open_stream(settings.map)};
  EXPECT_EQ(vdo_emulator_clip_encode_count(), encodes + 1);
  vdo_map_set_uint32(settings.map, "compression", 60);
  StreamOwner three{open_stream(settings.map)};
  EXPECT_EQ(vdo_emulator_clip_encode_count(), encodes + 2) << "another quality is another clip";
}

}  // namespace
}  // namespace vdo_test
