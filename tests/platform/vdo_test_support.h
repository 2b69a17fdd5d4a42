// Helpers for the camera emulator's tests: its environment, reading whole
// frames, looking into the bitstream and decoding it with FFmpeg.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vdo.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace vdo_test {

constexpr guint32 FORMAT_H264 = 0;
constexpr guint32 FORMAT_H265 = 1;
constexpr guint32 FORMAT_AV1 = 10;

// Sets the emulator's variables for one test and restores the previous
// environment afterwards. Every VDO_EMULATOR_* variable not given is unset,
// except the clip cache folder the test run provides.
class EmulatorEnv {
 public:
  explicit EmulatorEnv(std::initializer_list<std::pair<const char *, const char *>> values = {});
  ~EmulatorEnv();
  EmulatorEnv(const EmulatorEnv &) = delete;
  EmulatorEnv &operator=(const EmulatorEnv &) = delete;
  void set(const char *name, const char *value);
  void unset(const char *name);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// A settings map with format, resolution and (when fps > 0) frame rate.
VdoMap *make_settings(guint32 format, guint32 width, guint32 height, double fps = 0.0);

// A frame read completely and returned to its stream.
struct DeliveredFrame {
  std::vector<uint8_t> bytes;
  guint32 type;
  bool key;
  guint64 timestamp;
  size_t reported_size;  // vdo_frame_get_size
  size_t chunks;
  size_t largest_chunk;
};

// Reads the next frame. False with `error` set by whichever call failed.
bool take_frame(VdoStream *stream, DeliveredFrame &frame, GError **error);

// Reads `count` frames; records a test failure and stops at the first error.
std::vector<DeliveredFrame> take_frames(VdoStream *stream, size_t count);

// One NAL unit of an Annex-B frame.
struct NalUnit {
  size_t start_code_length;
  const uint8_t *data;
  size_t size;
};
std::vector<NalUnit> split_nal_units(const std::vector<uint8_t> &bytes);
int h264_nal_type(const NalUnit &unit);
int h265_nal_type(const NalUnit &unit);

// One OBU of an AV1 temporal unit (low-overhead format).
struct Obu {
  int type;
  bool has_size;
  const uint8_t *payload;
  size_t size;
};
// False when the OBUs do not chain exactly to the end of the bytes.
bool split_obus(const std::vector<uint8_t> &bytes, std::vector<Obu> &obus);

// A decoded picture.
struct Picture {
  int width;
  int height;
  bool key;
  char picture_type;  // 'I', 'P', 'B' or '?'
  std::vector<uint8_t> luma;  // width x height, rows packed
};

// FFmpeg decoding that treats any bitstream error as a failure.
class Decoder {
 public:
  explicit Decoder(guint32 format);
  ~Decoder();
  Decoder(const Decoder &) = delete;
  Decoder &operator=(const Decoder &) = delete;
  // Decodes one frame's bytes; pictures that came out are appended.
  bool decode(const std::vector<uint8_t> &bytes, std::vector<Picture> &pictures);
  // Drains the decoder at the end of the stream.
  bool flush(std::vector<Picture> &pictures);

 private:
  bool receive(std::vector<Picture> &pictures);
  AVCodecContext *context_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *frame_ = nullptr;
};

// Peak signal-to-noise ratio of two equally sized luma areas, in dB.
double luma_psnr(const uint8_t *a, size_t a_stride, const uint8_t *b, size_t b_stride, size_t width, size_t height);

}  // namespace vdo_test
