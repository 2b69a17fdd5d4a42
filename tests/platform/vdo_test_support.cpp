// Helpers for the camera emulator's tests (see vdo_test_support.h).
#include "tests/platform/vdo_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace vdo_test {
namespace {

constexpr const char *EMULATOR_VARIABLES[] = {
    "VDO_EMULATOR_MAX_WIDTH",   "VDO_EMULATOR_MAX_HEIGHT",      "VDO_EMULATOR_MAX_FPS",
    "VDO_EMULATOR_INPUTS",      "VDO_EMULATOR_CHANNELS",        "VDO_EMULATOR_PACING",
    "VDO_EMULATOR_CHUNK_SIZE",  "VDO_EMULATOR_GOP_SECONDS",     "VDO_EMULATOR_CLIP_GOPS",
    "VDO_EMULATOR_SEPARATE_PARAMETER_SETS", "VDO_EMULATOR_STATISTICS_BITRATE", "VDO_EMULATOR_FAIL",
    "VDO_EMULATOR_FAIL_MESSAGE", "VDO_EMULATOR_NO_DATA",        "VDO_EMULATOR_UNREF_FAIL",
};

}  // namespace

EmulatorEnv::EmulatorEnv(std::initializer_list<std::pair<const char *, const char *>> values) {
  for (const char *name : EMULATOR_VARIABLES) unset(name);
  for (const auto &[name, value] : values) set(name, value);
}

EmulatorEnv::~EmulatorEnv() {
  for (const auto &[name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void EmulatorEnv::set(const char *name, const char *value) {
  if (!saved_.count(name)) {
    const char *old = getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  setenv(name, value, 1);
}

void EmulatorEnv::unset(const char *name) {
  if (!saved_.count(name)) {
    const char *old = getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  unsetenv(name);
}

VdoMap *make_settings(guint32 format, guint32 width, guint32 height, double fps) {
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format", format);
  vdo_map_set_boolean(settings, "frame.chunks", TRUE);
  vdo_map_set_pair32u(settings, "resolution", width, height);
  if (fps > 0.0) vdo_map_set_double(settings, "framerate", fps);
  return settings;
}

bool take_frame(VdoStream *stream, DeliveredFrame &out, GError **error) {
  VdoBuffer *buffer = vdo_stream_get_buffer(stream, error);
  if (buffer == nullptr) return false;
  VdoFrame *frame = vdo_buffer_get_frame(buffer);
  out = DeliveredFrame{{}, static_cast<guint32>(vdo_frame_get_frame_type(frame)), vdo_frame_is_key(frame) != FALSE,
                       vdo_frame_get_timestamp(frame), vdo_frame_get_size(frame), 0, 0};
  while (true) {
    VdoChunk chunk = vdo_frame_take_chunk(frame, error);
    if (chunk.status == VDO_CHUNK_FAILED) {
      vdo_stream_buffer_unref(stream, &buffer, nullptr);
      return false;
    }
    if (chunk.size == 0) break;
    out.bytes.insert(out.bytes.end(), chunk.data, chunk.data + chunk.size);
    out.chunks++;
    out.largest_chunk = std::max(out.largest_chunk, static_cast<size_t>(chunk.size));
  }
  return vdo_stream_buffer_unref(stream, &buffer, error) != FALSE;
}

std::vector<DeliveredFrame> take_frames(VdoStream *stream, size_t count) {
  std::vector<DeliveredFrame> frames;
  frames.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    DeliveredFrame frame;
    GError *error = nullptr;
    if (!take_frame(stream, frame, &error)) {
      ADD_FAILURE() << "frame " << i << ": " << (error ? error->message : "no error set");
      g_clear_error(&error);
      break;
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<NalUnit> split_nal_units(const std::vector<uint8_t> &bytes) {
  std::vector<NalUnit> units;
  const size_t size = bytes.size();
  size_t i = 0;
  auto code_at = [&](size_t at) -> size_t {
    if (at + 3 <= size && bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 1) return 3;
    if (at + 4 <= size && bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 0 && bytes[at + 3] == 1) return 4;
    return 0;
  };
  while (i < size && code_at(i) == 0) ++i;
  while (i < size) {
    size_t length = code_at(i);
    size_t begin = i + length;
    size_t end = begin;
    while (end < size && code_at(end) == 0) ++end;
    units.push_back(NalUnit{length, bytes.data() + begin, end - begin});
    i = end;
  }
  return units;
}

int h264_nal_type(const NalUnit &unit) { return unit.size > 0 ? unit.data[0] & 0x1F : -1; }

int h265_nal_type(const NalUnit &unit) { return unit.size > 1 ? (unit.data[0] >> 1) & 0x3F : -1; }

bool split_obus(const std::vector<uint8_t> &bytes, std::vector<Obu> &obus) {
  size_t at = 0;
  while (at < bytes.size()) {
    uint8_t header = bytes[at++];
    if (header & 0x80) return false;  // forbidden bit
    Obu obu{(header >> 3) & 0x0F, (header & 0x02) != 0, nullptr, 0};
    if (header & 0x04) ++at;  // extension byte
    if (!obu.has_size) return false;
    uint64_t size = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= bytes.size() || shift > 56) return false;
      uint8_t byte = bytes[at++];
      size |= static_cast<uint64_t>(byte & 0x7F) << shift;
      if (!(byte & 0x80)) break;
    }
    if (size > bytes.size() - at) return false;
    obu.payload = bytes.data() + at;
    obu.size = size;
    obus.push_back(obu);
    at += size;
  }
  return at == bytes.size();
}

Decoder::Decoder(guint32 format) {
  const char *name = format == FORMAT_H265 ? "hevc" : format == FORMAT_AV1 ? "libdav1d" : "h264";
  const AVCodec *codec = avcodec_find_decoder_by_name(name);
  if (codec == nullptr) {
    ADD_FAILURE() << "FFmpeg has no decoder " << name;
    return;
  }
  context_ = avcodec_alloc_context3(codec);
  context_->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->thread_count = 1;
  if (avcodec_open2(context_, codec, nullptr) < 0) {
    ADD_FAILURE() << "cannot open decoder " << name;
    avcodec_free_context(&context_);
  }
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
}

Decoder::~Decoder() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&context_);
}

bool Decoder::receive(std::vector<Picture> &pictures) {
  while (true) {
    int result = avcodec_receive_frame(context_, frame_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    Picture picture{frame_->width, frame_->height, (frame_->flags & AV_FRAME_FLAG_KEY) != 0,
                    av_get_picture_type_char(frame_->pict_type), {}};
    picture.luma.resize(static_cast<size_t>(frame_->width) * frame_->height);
    for (int row = 0; row < frame_->height; ++row) {
      std::memcpy(&picture.luma[static_cast<size_t>(row) * frame_->width],
                  frame_->data[0] + static_cast<ptrdiff_t>(row) * frame_->linesize[0], frame_->width);
    }
    pictures.push_back(std::move(picture));
    av_frame_unref(frame_);
  }
}

bool Decoder::decode(const std::vector<uint8_t> &bytes, std::vector<Picture> &pictures) {
  if (context_ == nullptr) return false;
  if (av_new_packet(packet_, static_cast<int>(bytes.size())) < 0) return false;
  std::memcpy(packet_->data, bytes.data(), bytes.size());
  int result = avcodec_send_packet(context_, packet_);
  av_packet_unref(packet_);
  return result >= 0 && receive(pictures);
}

bool Decoder::flush(std::vector<Picture> &pictures) {
  if (context_ == nullptr) return false;
  return avcodec_send_packet(context_, nullptr) >= 0 && receive(pictures);
}

double luma_psnr(const uint8_t *a, size_t a_stride, const uint8_t *b, size_t b_stride, size_t width, size_t height) {
  double sum = 0.0;
  for (size_t row = 0; row < height; ++row) {
    for (size_t x = 0; x < width; ++x) {
      double d = static_cast<double>(a[row * a_stride + x]) - b[row * b_stride + x];
      sum += d * d;
    }
  }
  double mse = sum / static_cast<double>(width * height);
  return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace vdo_test
