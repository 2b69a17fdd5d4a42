// The camera emulator's contract: what each codec delivers, and faults on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vdo.h"
#include "vdo_emulator.h"
extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// A stream of the emulated 640x360, 25 fps sensor asked for more than it has.
VdoStream *new_stream(guint32 format, GError **error) {
  g_setenv("VDO_EMULATOR_MAX_WIDTH", "640", TRUE), g_setenv("VDO_EMULATOR_MAX_HEIGHT", "360", TRUE);
  g_setenv("VDO_EMULATOR_MAX_FPS", "25", TRUE), g_setenv("VDO_EMULATOR_GOP_SECONDS", "0.4", TRUE);
  g_setenv("VDO_EMULATOR_PACING", "unpaced", TRUE), g_setenv("VDO_EMULATOR_CHUNK_SIZE", "700", TRUE);
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format", format);
  vdo_map_set_pair32u(settings, "resolution", 4000, 3000);
  vdo_map_set_double(settings, "framerate", 60.0);
  VdoStream *stream = vdo_stream_new(settings, nullptr, error);
  g_object_unref(settings);
  return stream;
}

struct CodecCase {
  guint32 format;
  const char *decoder;
  VdoFrameType key_type, other_type;
  std::vector<std::string> in_key;  // byte strings every keyframe holds
};

TEST(Emulator, DeliversDecodableVideoOfEachCodec) {
  const CodecCase cases[] = {
      {0, "h264", VDO_FRAME_TYPE_H264_IDR, VDO_FRAME_TYPE_H264_P, {{"\0\0\0\1\x67", 5}, {"\0\0\0\1\x68", 5}}},
      {1, "hevc", VDO_FRAME_TYPE_H265_IDR, VDO_FRAME_TYPE_H265_P,
       {{"\0\0\0\1\x40\1", 6}, {"\0\0\0\1\x42\1", 6}, {"\0\0\0\1\x44\1", 6}}},
      {10, "libdav1d", VDO_FRAME_TYPE_AV1_KEY, VDO_FRAME_TYPE_AV1_INTER, {{"\x12\0\x0a", 3}}}};
  for (const CodecCase &c : cases) {
    SCOPED_TRACE(c.decoder);
    GError *error = nullptr;
    VdoStream *stream = new_stream(c.format, &error);
    ASSERT_TRUE(stream) << error->message;
    VdoMap *info = vdo_stream_get_info(stream, nullptr);
    EXPECT_EQ(vdo_map_get_uint32(info, "width", 0) * 10000 + vdo_map_get_uint32(info, "height", 0), 4800360u);
    EXPECT_EQ(vdo_map_get_double(info, "framerate", 0), 25.0);
    g_object_unref(info);
    const AVCodec *codec = avcodec_find_decoder_by_name(c.decoder);
    AVCodecContext *decoder = avcodec_alloc_context3(codec);
    decoder->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
    ASSERT_EQ(avcodec_open2(decoder, codec, nullptr), 0);
    AVPacket *packet = av_packet_alloc();
    AVFrame *picture = av_frame_alloc();
    ASSERT_TRUE(vdo_stream_start(stream, nullptr));
    int pictures = 0, multi_chunk_frames = 0;
    guint64 last_timestamp = 0;
    for (int n = 0; n < 21; ++n) {
      VdoBuffer *buffer = vdo_stream_get_buffer(stream, &error);
      ASSERT_TRUE(buffer) << error->message;
      VdoFrame *frame = vdo_buffer_get_frame(buffer);
      const bool key = n % 10 == 0;
      EXPECT_EQ(vdo_frame_get_frame_type(frame), key ? c.key_type : c.other_type) << n;
      EXPECT_EQ(vdo_frame_is_key(frame), key) << n;
      EXPECT_EQ(vdo_frame_get_timestamp(frame) - last_timestamp, n ? 40000u : vdo_frame_get_timestamp(frame)) << n;
      last_timestamp = vdo_frame_get_timestamp(frame);
      std::string bytes;
      int chunks = 0;
      for (VdoChunk chunk; (chunk = vdo_frame_take_chunk(frame, nullptr)).size; ++chunks) {
        EXPECT_LE(chunk.size, 700u);
        bytes.append(reinterpret_cast<const char *>(chunk.data), chunk.size);
      }
      multi_chunk_frames += chunks > 1;
      EXPECT_EQ(bytes.size(), vdo_frame_get_size(frame));
      for (const std::string &unit : c.in_key) EXPECT_TRUE(!key || bytes.find(unit) != std::string::npos) << n;
      ASSERT_TRUE(vdo_stream_buffer_unref(stream, &buffer, nullptr));
      av_new_packet(packet, static_cast<int>(bytes.size()));
      std::copy(bytes.begin(), bytes.end(), packet->data);
      ASSERT_EQ(avcodec_send_packet(decoder, packet), 0) << n;
      av_packet_unref(packet);
      while (avcodec_receive_frame(decoder, picture) == 0)
        pictures += picture->width == 480 && picture->height == 360;
    }
    avcodec_send_packet(decoder, nullptr);
    while (avcodec_receive_frame(decoder, picture) == 0) pictures += picture->width == 480 && picture->height == 360;
    EXPECT_EQ(pictures, 21);
    EXPECT_GT(multi_chunk_frames, 0);
    av_frame_free(&picture), av_packet_free(&packet), avcodec_free_context(&decoder);
    vdo_stream_stop(stream);
    g_object_unref(stream);
  }
}

// Runs a stream for 4 frames or 6 buffer requests; lists each failed call as
// op#call:code, with "!" when the error is a harmless one.
std::string failures(const char *variable, const char *value) {
  g_setenv(variable, value, TRUE);
  vdo_emulator_reset_faults();
  std::string log;
  auto failed = [&log](const char *op, int call, GError *&error) {
    const int code = error ? error->code : -1;
    const bool harmless = error && vdo_error_is_expected(&error);
    log += std::string(log.empty() ? "" : " ") + op + "#" + std::to_string(call) + ":" + std::to_string(code) +
           (harmless ? "!" : "");
    g_clear_error(&error);
  };
  GError *error = nullptr;
  VdoStream *stream = new_stream(0, &error);
  VdoMap *info = stream ? vdo_stream_get_info(stream, &error) : nullptr;
  if (!stream) {
    failed("new", 1, error);
  } else if (!info) {
    failed("info", 1, error);
  } else if (!vdo_stream_start(stream, &error)) {
    failed("start", 1, error);
  } else {
    int get = 0, chunks = 0, unref = 0;
    for (int frames = 0; frames < 4 && get < 6;) {
      VdoBuffer *buffer = vdo_stream_get_buffer(stream, &error);
      ++get;
      if (!buffer) {
        failed("get_buffer", get, error);
        continue;
      }
      VdoChunk chunk;
      do {
        chunk = vdo_frame_take_chunk(vdo_buffer_get_frame(buffer), &error);
        ++chunks;
      } while (chunk.size && chunk.status != VDO_CHUNK_FAILED);
      if (chunk.status == VDO_CHUNK_FAILED) failed("take_chunk", chunks, error);
      frames += chunk.status != VDO_CHUNK_FAILED;
      if (!vdo_stream_buffer_unref(stream, &buffer, &error)) failed("unref", unref + 1, error);
      ++unref;
    }
  }
  if (info) g_object_unref(info);
  if (stream) vdo_stream_stop(stream), g_object_unref(stream);
  g_unsetenv(variable);
  return log;
}

TEST(Emulator, FaultsOnDemandFireAtTheirCall) {
  const char *cases[][3] = {
      {"VDO_EMULATOR_FAIL", "new:1", "new#1:1"},
      {"VDO_EMULATOR_FAIL", "info:1", "info#1:1"},
      {"VDO_EMULATOR_FAIL", "start:1", "start#1:1"},
      {"VDO_EMULATOR_FAIL", "get_buffer:3", "get_buffer#3:1"},
      {"VDO_EMULATOR_FAIL", "get_buffer:3+", "get_buffer#3:1 get_buffer#4:1 get_buffer#5:1 get_buffer#6:1"},
      {"VDO_EMULATOR_FAIL", "take_chunk:2", "take_chunk#2:1"},
      {"VDO_EMULATOR_NO_DATA", "2:2", "get_buffer#2:13 get_buffer#3:13"},
      {"VDO_EMULATOR_UNREF_FAIL", "expected:2", "unref#2:20!"},
      {"VDO_EMULATOR_UNREF_FAIL", "unexpected:1", "unref#1:1"},
  };
  for (const auto &c : cases) EXPECT_EQ(failures(c[0], c[1]), c[2]) << c[0] << "=" << c[1];
}

}  // namespace
