// The camera emulator's contract: what each codec delivers. Its faults on
// demand are exercised through the program (publish_test's fault table).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vdo.h"
extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// A stream of an emulated 640x360, 25 fps sensor, asked for more than it has;
// `separate_sets` "1" also sends the parameter sets as frames of their own.
VdoStream *start_stream(guint32 format, const char *separate_sets = "0") {
  const std::pair<const char *, const char *> environment[] = {
      {"MAX_WIDTH", "640"},   {"MAX_HEIGHT", "360"}, {"MAX_FPS", "25"},
      {"GOP_SECONDS", "0.4"}, {"PACING", "unpaced"}, {"CHUNK_SIZE", "700"},
      {"SEPARATE_PARAMETER_SETS", separate_sets},
  };
  for (auto [name, value] : environment)
    g_setenv((std::string("VDO_EMULATOR_") + name).c_str(), value, TRUE);
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format", format);
  vdo_map_set_pair32u(settings, "resolution", 4000, 3000);
  vdo_map_set_double(settings, "framerate", 60.0);
  VdoStream *stream = vdo_stream_new(settings, nullptr, nullptr);
  g_object_unref(settings);
  if (stream && !vdo_stream_start(stream, nullptr)) g_clear_object(&stream);
  return stream;
}

// One frame read whole; `failure` names what went wrong.
struct Frame {
  std::string bytes, failure;
  VdoFrameType type;
  bool key;
  guint64 timestamp;
  int chunks;
};

Frame take_frame(VdoStream *stream) {
  Frame f{};
  VdoBuffer *buffer = vdo_stream_get_buffer(stream, nullptr);
  if (!buffer) return {"", "no buffer ", VDO_FRAME_TYPE_NONE, false, 0, 0};
  VdoFrame *frame = vdo_buffer_get_frame(buffer);
  f.type = vdo_frame_get_frame_type(frame);
  f.key = vdo_frame_is_key(frame);
  f.timestamp = vdo_frame_get_timestamp(frame);
  for (VdoChunk chunk; (chunk = vdo_frame_take_chunk(frame, nullptr)).size > 0 && chunk.status == 0; ++f.chunks) {
    if (chunk.size > 700) f.failure = "a chunk over 700 bytes ";
    f.bytes.append(reinterpret_cast<const char *>(chunk.data), chunk.size);
  }
  if (f.bytes.size() != vdo_frame_get_size(frame)) f.failure += "chunks short of the frame ";
  if (!vdo_stream_buffer_unref(stream, &buffer, nullptr)) f.failure += "not taken back ";
  return f;
}

TEST(Emulator, DeliversDecodableVideoOfEachCodecWithinTheSensorsLimits) {
  const struct {
    guint32 format;
    const char *decoder;
    VdoFrameType key_type, other_type;
    std::string in_key;  // in-band parameter sets (AV1: a sequence header after the temporal delimiter)
  } cases[] = {{0, "h264", VDO_FRAME_TYPE_H264_IDR, VDO_FRAME_TYPE_H264_P, {"\0\0\0\1\x67", 5}},
               {1, "hevc", VDO_FRAME_TYPE_H265_IDR, VDO_FRAME_TYPE_H265_P, {"\0\0\0\1\x40\1", 6}},
               {10, "libdav1d", VDO_FRAME_TYPE_AV1_KEY, VDO_FRAME_TYPE_AV1_INTER, {"\x12\0\x0a", 3}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.decoder);
    VdoStream *stream = start_stream(c.format);
    ASSERT_TRUE(stream);
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
    int pictures = 0, multi_chunk = 0;
    guint64 last = 0;
    for (int n = 0; n <= 21; ++n) {  // 21 frames, keyframes every 10th; the last round drains the decoder
      if (n < 21) {
        const Frame f = take_frame(stream);
        const bool key = n % 10 == 0;
        ASSERT_EQ(f.failure + std::to_string(f.type) + (f.key ? " key" : ""),
                  std::to_string(key ? c.key_type : c.other_type) + (key ? " key" : "")) << n;
        EXPECT_EQ(f.timestamp - last, n ? 40000u : f.timestamp) << n;
        EXPECT_TRUE(!key || f.bytes.find(c.in_key) != std::string::npos) << n;
        last = f.timestamp;
        multi_chunk += f.chunks > 1;
        av_new_packet(packet, static_cast<int>(f.bytes.size()));
        std::copy(f.bytes.begin(), f.bytes.end(), packet->data);
      }
      ASSERT_EQ(avcodec_send_packet(decoder, n < 21 ? packet : nullptr), 0) << n;
      av_packet_unref(packet);
      while (avcodec_receive_frame(decoder, picture) == 0) pictures += picture->width == 480 && picture->height == 360;
    }
    EXPECT_EQ(pictures, 21);
    EXPECT_GT(multi_chunk, 0);
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    vdo_stream_stop(stream);
    g_object_unref(stream);
  }
}

TEST(Emulator, SendsAKeyframesParameterSetsAsFramesBeforeIt) {
  const struct {
    const char *codec;
    guint32 format;
    std::vector<VdoFrameType> first_types;
    std::vector<char> nal_headers;  // the first byte of each parameter-set frame's unit
  } rows[] = {
      {"h264", 0, {VDO_FRAME_TYPE_H264_SPS, VDO_FRAME_TYPE_H264_PPS, VDO_FRAME_TYPE_H264_IDR},
       {0x67, 0x68}},
      {"h265", 1,
       {VDO_FRAME_TYPE_H265_VPS, VDO_FRAME_TYPE_H265_SPS, VDO_FRAME_TYPE_H265_PPS,
        VDO_FRAME_TYPE_H265_IDR},
       {0x40, 0x42, 0x44}},
      {"av1", 10, {VDO_FRAME_TYPE_AV1_KEY, VDO_FRAME_TYPE_AV1_INTER}, {}},
  };
  for (const auto &row : rows) {
    VdoStream *stream = start_stream(row.format, "1");
    ASSERT_TRUE(stream) << row.codec;
    std::vector<VdoFrameType> types;
    std::vector<char> nal_headers;
    while (types.size() < row.first_types.size()) {
      const Frame frame = take_frame(stream);
      types.push_back(frame.type);
      if (types.size() < row.nal_headers.size() + 1) nal_headers.push_back(frame.bytes.at(4));
    }
    EXPECT_EQ(types, row.first_types) << row.codec;
    EXPECT_EQ(nal_headers, row.nal_headers) << row.codec;
    vdo_stream_stop(stream);
    g_object_unref(stream);
  }
}

}  // namespace
