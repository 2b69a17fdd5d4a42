// Tests of the camera emulator's engine: its configuration and fault plan,
// how a request becomes a delivered stream, Annex-B framing and the clip cache.
#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "clip.h"
#include "clip_cache.h"
#include "emulator_config.h"
#include "stream_setup.h"
#include "tests/support/test_support.h"

namespace vdo_emulator {
namespace {

// ---- configuration ----

EnvLookup lookup_in(const std::map<std::string, std::string> &variables) {
  return [&variables](const char *name) -> const char * {
    auto it = variables.find(name);
    return it == variables.end() ? nullptr : it->second.c_str();
  };
}

TEST(EmulatorConfigTest, DefaultsWithoutVariables) {
  std::map<std::string, std::string> none;
  EmulatorConfig config;
  std::string error;
  ASSERT_TRUE(load_emulator_config(lookup_in(none), config, error)) << error;
  EXPECT_EQ(config.max_width, 1920u);
  EXPECT_EQ(config.max_height, 1080u);
  EXPECT_EQ(config.max_fps, 30.0);
  EXPECT_TRUE(config.paced);
  EXPECT_EQ(config.chunk_size, 1024u);
  EXPECT_EQ(config.gop_seconds, 2.0);
  EXPECT_FALSE(config.separate_parameter_sets);
  EXPECT_TRUE(config.statistics_measured);
  EXPECT_TRUE(config.cache_dir.empty());
  EXPECT_TRUE(config.faults.failures.empty());
  EXPECT_TRUE(config.faults.no_data.empty());
}

TEST(EmulatorConfigTest, ReadsEveryVariable) {
  std::map<std::string, std::string> variables = {
      {"VDO_EMULATOR_MAX_WIDTH", "641"},        {"VDO_EMULATOR_MAX_HEIGHT", "360"},
      {"VDO_EMULATOR_MAX_FPS", "12.5"},         {"VDO_EMULATOR_INPUTS", "2"},
      {"VDO_EMULATOR_CHANNELS", "3"},           {"VDO_EMULATOR_PACING", "unpaced"},
      {"VDO_EMULATOR_CHUNK_SIZE", "100"},       {"VDO_EMULATOR_GOP_SECONDS", "0.5"},
      {"VDO_EMULATOR_CLIP_GOPS", "3"},          {"VDO_EMULATOR_SEPARATE_PARAMETER_SETS", "yes"},
      {"VDO_EMULATOR_STATISTICS_BITRATE", "0"}, {"VDO_EMULATOR_CACHE_DIR", "/tmp/clips"},
      {"VDO_EMULATOR_FAIL", "get_buffer:120, info:2+"},
      {"VDO_EMULATOR_UNREF_FAIL", "expected:10,unexpected:12+"},
      {"VDO_EMULATOR_NO_DATA", "50:20,300:5"},  {"VDO_EMULATOR_FAIL_MESSAGE", "sensor unplugged"},
  };
  EmulatorConfig config;
  std::string error;
  ASSERT_TRUE(load_emulator_config(lookup_in(variables), config, error)) << error;
  EXPECT_EQ(config.max_width, 640u);  // odd sizes are rounded down to even
  EXPECT_EQ(config.max_height, 360u);
  EXPECT_EQ(config.max_fps, 12.5);
  EXPECT_EQ(config.inputs, 2u);
  EXPECT_EQ(config.channels, 3u);
  EXPECT_FALSE(config.paced);
  EXPECT_EQ(config.chunk_size, 100u);
  EXPECT_EQ(config.gop_seconds, 0.5);
  EXPECT_EQ(config.clip_gops, 3u);
  EXPECT_TRUE(config.separate_parameter_sets);
  EXPECT_FALSE(config.statistics_measured);
  EXPECT_EQ(config.statistics_bitrate, 0u);
  EXPECT_EQ(config.cache_dir, "/tmp/clips");
  EXPECT_EQ(config.faults.message, "sensor unplugged");
  ASSERT_EQ(config.faults.failures.size(), 3u);
  EXPECT_TRUE(fault_fires(config.faults.failures, FaultOp::GET_BUFFER, 120));
  EXPECT_FALSE(fault_fires(config.faults.failures, FaultOp::GET_BUFFER, 121));
  EXPECT_FALSE(fault_fires(config.faults.failures, FaultOp::INFO, 1));
  EXPECT_TRUE(fault_fires(config.faults.failures, FaultOp::INFO, 2));
  EXPECT_TRUE(fault_fires(config.faults.failures, FaultOp::INFO, 1000));
  EXPECT_TRUE(fault_fires(config.faults.expected_unref, FaultOp::UNREF, 10));
  EXPECT_FALSE(fault_fires(config.faults.failures, FaultOp::UNREF, 11));
  EXPECT_TRUE(fault_fires(config.faults.failures, FaultOp::UNREF, 13));
  EXPECT_FALSE(no_data_due(config.faults, 49));
  EXPECT_TRUE(no_data_due(config.faults, 50));
  EXPECT_TRUE(no_data_due(config.faults, 69));
  EXPECT_FALSE(no_data_due(config.faults, 70));
  EXPECT_TRUE(no_data_due(config.faults, 304));
  EXPECT_FALSE(no_data_due(config.faults, 305));
}

struct BadVariable {
  const char *name;
  const char *value;
};
void PrintTo(const BadVariable &c, std::ostream *os) { *os << c.name << "=" << c.value; }

class EmulatorConfigRefusal : public testing::TestWithParam<BadVariable> {};

TEST_P(EmulatorConfigRefusal, NamesTheVariable) {
  std::map<std::string, std::string> variables = {{GetParam().name, GetParam().value}};
  EmulatorConfig config;
  std::string error;
  EXPECT_FALSE(load_emulator_config(lookup_in(variables), config, error));
  EXPECT_NE(error.find(GetParam().name), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().value), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, EmulatorConfigRefusal,
    testing::Values(BadVariable{"VDO_EMULATOR_MAX_WIDTH", "8"}, BadVariable{"VDO_EMULATOR_MAX_WIDTH", "-1920"},
                    BadVariable{"VDO_EMULATOR_MAX_HEIGHT", "1080p"}, BadVariable{"VDO_EMULATOR_MAX_FPS", "0"},
                    BadVariable{"VDO_EMULATOR_MAX_FPS", "nan"}, BadVariable{"VDO_EMULATOR_MAX_FPS", "5000"},
                    BadVariable{"VDO_EMULATOR_PACING", "fast"}, BadVariable{"VDO_EMULATOR_CHUNK_SIZE", "0"},
                    BadVariable{"VDO_EMULATOR_CHUNK_SIZE", "99999999999"},
                    BadVariable{"VDO_EMULATOR_GOP_SECONDS", "-2"}, BadVariable{"VDO_EMULATOR_CLIP_GOPS", "0"},
                    BadVariable{"VDO_EMULATOR_SEPARATE_PARAMETER_SETS", "maybe"},
                    BadVariable{"VDO_EMULATOR_STATISTICS_BITRATE", "fast"},
                    BadVariable{"VDO_EMULATOR_FAIL", "get_buffer"}, BadVariable{"VDO_EMULATOR_FAIL", "read:3"},
                    BadVariable{"VDO_EMULATOR_FAIL", "start:0"}, BadVariable{"VDO_EMULATOR_FAIL", "start:x+"},
                    BadVariable{"VDO_EMULATOR_UNREF_FAIL", "sometimes:3"},
                    BadVariable{"VDO_EMULATOR_UNREF_FAIL", "expected"}, BadVariable{"VDO_EMULATOR_NO_DATA", "50"},
                    BadVariable{"VDO_EMULATOR_NO_DATA", "0:5"}, BadVariable{"VDO_EMULATOR_NO_DATA", "5:-1"}));

// ---- from request to delivered stream ----

struct FitCase {
  uint32_t width, height, max_width, max_height;
  uint32_t expected_width, expected_height;
};
void PrintTo(const FitCase &c, std::ostream *os) { *os << c.width << "x" << c.height; }

class ResolutionFit : public testing::TestWithParam<FitCase> {};

TEST_P(ResolutionFit, KeepsAspectWithinLimits) {
  const FitCase &c = GetParam();
  auto [width, height] = fit_resolution(c.width, c.height, c.max_width, c.max_height);
  EXPECT_EQ(width, c.expected_width);
  EXPECT_EQ(height, c.expected_height);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResolutionFit,
                         testing::Values(FitCase{640, 360, 1920, 1080, 640, 360},      // within the limits
                                         FitCase{3840, 2160, 1920, 1080, 1920, 1080},  // same aspect, halved
                                         FitCase{1920, 1200, 1920, 1080, 1728, 1080},  // 16:10 on a 16:9 sensor
                                         FitCase{4000, 1000, 1920, 1080, 1920, 480},   // wide request
                                         FitCase{641, 361, 1920, 1080, 640, 360},      // odd sizes made even
                                         FitCase{8, 4, 1920, 1080, 16, 16},            // below the smallest size
                                         FitCase{1920, 1080, 320, 180, 320, 180}));

struct SetupCase {
  const char *name;
  RequestedSettings request;
  SetupError expected_error;
  const char *expected_message;  // part of the refusal
};
void PrintTo(const SetupCase &c, std::ostream *os) { *os << c.name; }

RequestedSettings with_format(uint32_t format) {
  RequestedSettings request;
  request.format = format;
  return request;
}

class SetupRefusal : public testing::TestWithParam<SetupCase> {};

TEST_P(SetupRefusal, RefusesWithCodeAndMessage) {
  EmulatorConfig config;
  StreamSetup setup;
  std::string message;
  EXPECT_EQ(resolve_stream_setup(GetParam().request, config, setup, message), GetParam().expected_error);
  EXPECT_NE(message.find(GetParam().expected_message), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetupRefusal,
    testing::Values(
        SetupCase{"format", with_format(7), SetupError::INVALID_ARGUMENT, "Unsupported video format 7"},
        SetupCase{"format2", with_format(2), SetupError::INVALID_ARGUMENT, "format 2"},
        SetupCase{"input0", [] { RequestedSettings r; r.input = 0; return r; }(), SetupError::NOT_FOUND,
                  "Video input 0 does not exist"},
        SetupCase{"input2", [] { RequestedSettings r; r.input = 2; return r; }(), SetupError::NOT_FOUND,
                  "Video input 2 does not exist"},
        SetupCase{"channel1", [] { RequestedSettings r; r.channel = 1; return r; }(), SetupError::NOT_FOUND,
                  "Video channel 1 does not exist"},
        SetupCase{"zero_width", [] { RequestedSettings r; r.resolution = std::pair{0u, 360u}; return r; }(),
                  SetupError::INVALID_ARGUMENT, "Invalid resolution 0x360"},
        SetupCase{"negative_fps", [] { RequestedSettings r; r.framerate = -5.0; return r; }(),
                  SetupError::INVALID_ARGUMENT, "Invalid frame rate"},
        SetupCase{"nan_fps", [] { RequestedSettings r; r.framerate = NAN; return r; }(),
                  SetupError::INVALID_ARGUMENT, "Invalid frame rate"},
        SetupCase{"compression", [] { RequestedSettings r; r.compression = 101; return r; }(),
                  SetupError::INVALID_ARGUMENT, "Invalid compression 101"},
        SetupCase{"rc_mode", [] { RequestedSettings r; r.rc_mode = 4; return r; }(),
                  SetupError::INVALID_ARGUMENT, "Unsupported rate control mode 4"}),
    [](const testing::TestParamInfo<SetupCase> &info) { return std::string(info.param.name); });

TEST(StreamSetupTest, DefaultsAreTheSensorsFullStream) {
  EmulatorConfig config;
  StreamSetup setup;
  std::string message;
  ASSERT_EQ(resolve_stream_setup(RequestedSettings{}, config, setup, message), SetupError::NONE) << message;
  EXPECT_EQ(setup.codec, Codec::H264);
  EXPECT_EQ(setup.width, 1920u);
  EXPECT_EQ(setup.height, 1080u);
  EXPECT_EQ(setup.fps, 30.0);
  EXPECT_EQ(setup.input, 1u);
  EXPECT_EQ(setup.channel, 0u);
  EXPECT_EQ(setup.rc_mode, RC_VBR);
  EXPECT_EQ(setup.rate_mode, EncoderRateMode::QUALITY);
  EXPECT_EQ(setup.gop_frames, 60u);
  EXPECT_EQ(setup.clip_frames, 60u);
  EXPECT_TRUE(setup.chunked);
}

struct RateCase {
  double requested;
  double max_fps;
  double delivered;
  uint32_t num, den;
  uint32_t gop_frames;  // with 2-second GOPs
};
void PrintTo(const RateCase &c, std::ostream *os) { *os << c.requested << " fps"; }

class FrameRateSetup : public testing::TestWithParam<RateCase> {};

TEST_P(FrameRateSetup, ClampsAndKeepsAnExactFraction) {
  const RateCase &c = GetParam();
  EmulatorConfig config;
  config.max_fps = c.max_fps;
  RequestedSettings request;
  if (c.requested >= 0) request.framerate = c.requested;
  StreamSetup setup;
  std::string message;
  ASSERT_EQ(resolve_stream_setup(request, config, setup, message), SetupError::NONE) << message;
  EXPECT_DOUBLE_EQ(setup.fps, c.delivered);
  EXPECT_EQ(setup.fps_num, c.num);
  EXPECT_EQ(setup.fps_den, c.den);
  EXPECT_EQ(setup.gop_frames, c.gop_frames);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameRateSetup,
                         testing::Values(RateCase{25.0, 30.0, 25.0, 25, 1, 50}, RateCase{60.0, 30.0, 30.0, 30, 1, 60},
                                         RateCase{12.5, 30.0, 12.5, 25, 2, 25}, RateCase{29.97, 30.0, 29.97, 2997, 100, 59},
                                         RateCase{0.2, 30.0, 1.0, 1, 1, 2}, RateCase{0.0, 25.0, 25.0, 25, 1, 50},
                                         RateCase{-1.0, 15.0, 15.0, 15, 1, 30},
                                         // A sensor slower than 1 fps delivers its own rate.
                                         RateCase{0.2, 0.5, 0.5, 1, 2, 1}));

TEST(StreamSetupTest, FrameOffsetsDoNotDrift) {
  EmulatorConfig config;
  RequestedSettings request;
  request.framerate = 29.97;
  StreamSetup setup;
  std::string message;
  ASSERT_EQ(resolve_stream_setup(request, config, setup, message), SetupError::NONE);
  EXPECT_EQ(frame_offset_us(setup, 0), 0);
  EXPECT_EQ(frame_offset_us(setup, 1), 33367);
  // 2997 frames take exactly 100 s: after 333 hours still exact to the microsecond.
  uint64_t frames = 2997ull * 12000;
  EXPECT_EQ(frame_offset_us(setup, frames), 1200000ll * 1000000);
}

struct RateControlCase {
  const char *name;
  std::optional<uint32_t> rc_mode, bitrate, abr_target;
  uint32_t reported_mode;
  EncoderRateMode encoder_mode;
  uint32_t encoder_bitrate;  // 0: quality-driven
};
void PrintTo(const RateControlCase &c, std::ostream *os) { *os << c.name; }

class RateControlSetup : public testing::TestWithParam<RateControlCase> {};

TEST_P(RateControlSetup, MapsOntoTheEncoder) {
  const RateControlCase &c = GetParam();
  EmulatorConfig config;
  RequestedSettings request;
  request.resolution = std::pair{640u, 360u};
  request.rc_mode = c.rc_mode;
  request.bitrate = c.bitrate;
  request.abr_target_bitrate = c.abr_target;
  StreamSetup setup;
  std::string message;
  ASSERT_EQ(resolve_stream_setup(request, config, setup, message), SetupError::NONE) << message;
  EXPECT_EQ(setup.rc_mode, c.reported_mode);
  EXPECT_EQ(setup.rate_mode, c.encoder_mode);
  EXPECT_EQ(setup.bitrate, c.encoder_bitrate);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RateControlSetup,
    testing::Values(
        RateControlCase{"none", {}, {}, {}, RC_VBR, EncoderRateMode::QUALITY, 0},
        RateControlCase{"bitrate_only", {}, 3000000, {}, RC_VBR, EncoderRateMode::CAPPED_QUALITY, 3000000},
        RateControlCase{"cbr", RC_CBR, 5000000, {}, RC_CBR, EncoderRateMode::CBR, 5000000},
        // CBR without a rate: about 0.1 bit per pixel (640x360 at 30 fps).
        RateControlCase{"cbr_default", RC_CBR, {}, {}, RC_CBR, EncoderRateMode::CBR, 691200},
        RateControlCase{"vbr_unlimited", RC_VBR, 0, {}, RC_VBR, EncoderRateMode::QUALITY, 0},
        RateControlCase{"mbr", RC_MBR, 800000, {}, RC_MBR, EncoderRateMode::CAPPED_QUALITY, 800000},
        RateControlCase{"abr", RC_ABR, {}, 2000000, RC_ABR, EncoderRateMode::AVERAGE, 2000000},
        RateControlCase{"abr_target_wins", RC_ABR, 4000000, 2000000, RC_ABR, EncoderRateMode::AVERAGE, 2000000},
        RateControlCase{"abr_from_bitrate", RC_ABR, 4000000, {}, RC_ABR, EncoderRateMode::AVERAGE, 4000000}),
    [](const testing::TestParamInfo<RateControlCase> &info) { return std::string(info.param.name); });

// ---- Annex-B framing ----

TEST(AnnexBTest, RewritesEveryStartCodeToFourBytes) {
  const std::vector<uint8_t> in = {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0x01, 0x00};
  std::vector<uint8_t> out;
  append_annexb_units(out, in.data(), in.size());
  const std::vector<uint8_t> expected = {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 0, 1, 0x65, 0x01, 0x00};
  EXPECT_EQ(out, expected);
}

TEST(AnnexBTest, SplitsUnitsWithoutStartCodes) {
  const std::vector<uint8_t> in = {9, 9, 0, 0, 1, 0x40, 1, 0, 0, 0, 1, 0, 0, 1, 0x42};
  std::vector<NalUnit> units = split_annexb(in.data(), in.size());
  ASSERT_EQ(units.size(), 2u);  // bytes before the first code and the empty unit are dropped
  EXPECT_EQ(std::vector<uint8_t>(units[0].data, units[0].data + units[0].size), (std::vector<uint8_t>{0x40, 1}));
  EXPECT_EQ(std::vector<uint8_t>(units[1].data, units[1].data + units[1].size), (std::vector<uint8_t>{0x42}));
}

TEST(AnnexBTest, ParameterFramesComeFromTheKeyframesOwnUnits) {
  Clip clip{Codec::H265, 64, 64, {}, {}, 0, 0};
  clip.frames.push_back(ClipFrame{{0, 0, 0, 1, 0x40, 1, 7, 0, 0, 0, 1, 0x42, 1, 8, 0, 0, 0, 1, 0x44, 1, 9,
                                   0, 0, 0, 1, 0x26, 1, 0xAF},
                                  TYPE_H265_IDR, true});
  clip.frames.push_back(ClipFrame{{0, 0, 0, 1, 0x02, 1, 0xD0}, TYPE_H265_P, false});
  index_clip(clip);
  ASSERT_EQ(clip.parameter_frames.size(), 2u);
  ASSERT_EQ(clip.parameter_frames[0].size(), 3u);
  EXPECT_EQ(clip.parameter_frames[0][0].type, TYPE_H265_VPS);
  EXPECT_EQ(clip.parameter_frames[0][0].bytes, (std::vector<uint8_t>{0, 0, 0, 1, 0x40, 1, 7}));
  EXPECT_EQ(clip.parameter_frames[0][1].type, TYPE_H265_SPS);
  EXPECT_EQ(clip.parameter_frames[0][2].type, TYPE_H265_PPS);
  EXPECT_EQ(clip.parameter_frames[0][2].bytes, (std::vector<uint8_t>{0, 0, 0, 1, 0x44, 1, 9}));
  EXPECT_FALSE(clip.parameter_frames[0][0].key);
  EXPECT_TRUE(clip.parameter_frames[1].empty());
  EXPECT_EQ(clip.picture_bytes, 28u + 7u);
}

// ---- clip cache on disk ----

StreamSetup small_setup(uint32_t format) {
  EmulatorConfig config;
  config.gop_seconds = 0.5;
  RequestedSettings request;
  request.format = format;
  request.resolution = std::pair{96u, 64u};
  request.framerate = 10.0;
  StreamSetup setup;
  std::string message;
  EXPECT_EQ(resolve_stream_setup(request, config, setup, message), SetupError::NONE) << message;
  return setup;
}

TEST(ClipCacheTest, FileRoundTripKeepsEveryFrame) {
  corvane_test::TempDir dir;
  StreamSetup setup = small_setup(FORMAT_H264);
  Clip clip;
  std::string error;
  ASSERT_TRUE(encode_clip(setup, clip, error)) << error;
  std::string path = dir.file(clip_cache_name(setup));
  ASSERT_TRUE(save_clip(clip, path));
  Clip loaded;
  ASSERT_TRUE(load_clip(path, setup, loaded));
  ASSERT_EQ(loaded.frames.size(), clip.frames.size());
  for (size_t i = 0; i < clip.frames.size(); ++i) {
    EXPECT_EQ(loaded.frames[i].bytes, clip.frames[i].bytes) << i;
    EXPECT_EQ(loaded.frames[i].type, clip.frames[i].type) << i;
    EXPECT_EQ(loaded.frames[i].key, clip.frames[i].key) << i;
  }
  EXPECT_EQ(loaded.picture_bytes, clip.picture_bytes);
  EXPECT_EQ(loaded.parameter_frames[0].size(), 2u);
}

TEST(ClipCacheTest, RefusesDamagedOrForeignFiles) {
  corvane_test::TempDir dir;
  StreamSetup setup = small_setup(FORMAT_H264);
  Clip clip;
  std::string error;
  ASSERT_TRUE(encode_clip(setup, clip, error)) << error;
  std::string path = dir.file("clip");
  ASSERT_TRUE(save_clip(clip, path));
  std::string contents;
  {
    std::ifstream in(path, std::ios::binary);
    contents.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto refused = [&](const std::string &bytes, const StreamSetup &expected) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    Clip loaded;
    return !load_clip(path, expected, loaded);
  };
  EXPECT_TRUE(refused(contents.substr(0, contents.size() - 1), setup)) << "truncated";
  EXPECT_TRUE(refused(contents + "x", setup)) << "trailing byte";
  EXPECT_TRUE(refused("VDOCLIPX" + contents.substr(8), setup)) << "magic";
  std::string bad_type = contents;
  bad_type[8 + 16] = 99;  // first frame's type
  EXPECT_TRUE(refused(bad_type, setup)) << "frame type";
  std::string huge = contents;
  huge[8 + 16 + 8 + 3] = 0x7F;  // first frame's size
  EXPECT_TRUE(refused(huge, setup)) << "frame size";
  StreamSetup other = setup;
  other.width = 128;
  EXPECT_TRUE(refused(contents, other)) << "other size";
  EXPECT_FALSE(refused(contents, setup)) << "the intact file";
  Clip loaded;
  EXPECT_FALSE(load_clip(dir.file("missing"), setup, loaded));
}

TEST(ClipCacheTest, NamesDifferForEveryEncodingChoice) {
  StreamSetup base = small_setup(FORMAT_H264);
  std::vector<StreamSetup> variants(8, base);
  variants[1].codec = Codec::H265;
  variants[2].width = 128;
  variants[3].fps_num = 25;
  variants[4].gop_frames = 10;
  variants[5].clip_frames = 10;
  variants[6].bitrate = 100000;
  variants[7].compression = 50;
  std::set<std::string> names;
  for (const StreamSetup &setup : variants) names.insert(clip_cache_name(setup));
  EXPECT_EQ(names.size(), variants.size());
}

TEST(ClipCacheTest, DiskCacheServesALaterProcess) {
  corvane_test::TempDir dir;
  StreamSetup setup = small_setup(FORMAT_AV1);
  std::string error;
  clear_clip_cache();
  uint64_t encodes = clip_encode_count();
  std::shared_ptr<const Clip> first = obtain_clip(setup, dir.path(), error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(clip_encode_count(), encodes + 1);
  EXPECT_TRUE(g_file_test(dir.file(clip_cache_name(setup)).c_str(), G_FILE_TEST_IS_REGULAR));
  // In memory: the same clip.
  EXPECT_EQ(obtain_clip(setup, dir.path(), error), first);
  // As a fresh process would: from the file, without encoding.
  clear_clip_cache();
  std::shared_ptr<const Clip> second = obtain_clip(setup, dir.path(), error);
  ASSERT_TRUE(second) << error;
  EXPECT_NE(second, first);
  EXPECT_EQ(clip_encode_count(), encodes + 1);
  ASSERT_EQ(second->frames.size(), first->frames.size());
  EXPECT_EQ(second->frames.back().bytes, first->frames.back().bytes);
  EXPECT_EQ(second->encode_us, 0);
}

TEST(ClipCacheTest, UnwritableFolderStillGivesAClip) {
  corvane_test::TempDir dir;
  std::string blocker = dir.file("file");
  ASSERT_TRUE(g_file_set_contents(blocker.c_str(), "x", 1, nullptr));
  StreamSetup setup = small_setup(FORMAT_H264);
  setup.compression = 77;  // not cached in memory by other tests
  std::string error;
  EXPECT_TRUE(obtain_clip(setup, blocker + "/below", error)) << error;
}

}  // namespace
}  // namespace vdo_emulator
