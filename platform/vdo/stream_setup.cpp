// Turns a stream request into what the emulated camera delivers: defaults,
// refusals, the sensor's limits and the encoder's rate control.
#include "stream_setup.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <numeric>
#include <tuple>

namespace vdo_emulator {
namespace {

constexpr uint32_t MIN_SIZE = 16;
constexpr double MIN_FPS = 1.0;
constexpr uint32_t DEFAULT_COMPRESSION = 30;

std::string format_text(const char *format, ...) G_GNUC_PRINTF(1, 2);
std::string format_text(const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree char *text = g_strdup_vprintf(format, args);
  va_end(args);
  return text;
}

// A bitrate for CBR or ABR requested without one: about 0.1 bit per pixel.
uint32_t default_bitrate(uint32_t width, uint32_t height, double fps) {
  double bits = static_cast<double>(width) * height * fps * 0.1;
  return static_cast<uint32_t>(std::clamp(bits, 100000.0, 50000000.0));
}

}  // namespace

std::pair<uint32_t, uint32_t> fit_resolution(uint32_t width, uint32_t height, uint32_t max_width,
                                             uint32_t max_height) {
  double w = width;
  double h = height;
  if (w > max_width || h > max_height) {
    double scale = std::min(max_width / w, max_height / h);
    w = std::floor(w * scale + 1e-9);
    h = std::floor(h * scale + 1e-9);
  }
  auto even = [](double v, uint32_t limit) {
    uint32_t value = static_cast<uint32_t>(std::min<double>(v, limit)) & ~1u;
    return std::max(value, MIN_SIZE);
  };
  return {even(w, max_width), even(h, max_height)};
}

int64_t frame_offset_us(const StreamSetup &setup, uint64_t n) {
  unsigned __int128 scaled = static_cast<unsigned __int128>(n) * 1000000u * setup.fps_den;
  return static_cast<int64_t>((scaled + setup.fps_num / 2) / setup.fps_num);
}

SetupError resolve_stream_setup(const RequestedSettings &request, const EmulatorConfig &config, StreamSetup &setup,
                                std::string &message) {
  setup = StreamSetup{};

  setup.format = request.format.value_or(codec_row(Codec::H264).format);
  const CodecRow *row = codec_for_format(setup.format);
  if (!row) {
    message = format_text("Unsupported video format %u", setup.format);
    return SetupError::INVALID_ARGUMENT;
  }
  setup.codec = row->codec;

  setup.input = request.input.value_or(1);
  if (setup.input < 1 || setup.input > config.inputs) {
    message = format_text("Video input %u does not exist", setup.input);
    return SetupError::NOT_FOUND;
  }
  setup.channel = request.channel.value_or(0);
  if (setup.channel >= config.channels) {
    message = format_text("Video channel %u does not exist", setup.channel);
    return SetupError::NOT_FOUND;
  }

  // Without a resolution the camera delivers its full sensor size.
  auto [width, height] = request.resolution.value_or(std::pair{config.max_width, config.max_height});
  if (width == 0 || height == 0) {
    message = format_text("Invalid resolution %ux%u", width, height);
    return SetupError::INVALID_ARGUMENT;
  }
  std::tie(setup.width, setup.height) = fit_resolution(width, height, config.max_width, config.max_height);

  // 0 asks for the sensor's own rate, like an absent entry.
  double fps = request.framerate.value_or(0.0);
  if (std::isnan(fps) || fps < 0.0) {
    message = format_text("Invalid frame rate %g", fps);
    return SetupError::INVALID_ARGUMENT;
  }
  // Rates below 1 fps are raised to 1, unless the sensor itself is slower.
  fps = fps == 0.0 ? config.max_fps : std::clamp(fps, std::min(MIN_FPS, config.max_fps), config.max_fps);
  uint32_t millis = static_cast<uint32_t>(std::llround(fps * 1000.0));
  uint32_t divisor = std::gcd(millis, 1000u);
  setup.fps_num = millis / divisor;
  setup.fps_den = 1000u / divisor;
  setup.fps = static_cast<double>(setup.fps_num) / setup.fps_den;

  setup.compression = request.compression.value_or(DEFAULT_COMPRESSION);
  if (setup.compression > 100) {
    message = format_text("Invalid compression %u (0 to 100)", setup.compression);
    return SetupError::INVALID_ARGUMENT;
  }

  if (request.rc_mode && *request.rc_mode > RC_ABR) {
    message = format_text("Unsupported rate control mode %u", *request.rc_mode);
    return SetupError::INVALID_ARGUMENT;
  }
  // Like most cameras the default is variable bitrate.
  setup.rc_mode = request.rc_mode.value_or(RC_VBR);
  uint32_t bitrate = request.bitrate.value_or(0);
  if (setup.rc_mode == RC_ABR && request.abr_target_bitrate.value_or(0) != 0) {
    bitrate = *request.abr_target_bitrate;
  }
  switch (setup.rc_mode) {
    case RC_CBR:
      setup.rate_mode = EncoderRateMode::CBR;
      setup.bitrate = bitrate != 0 ? bitrate : default_bitrate(setup.width, setup.height, setup.fps);
      break;
    case RC_ABR:
      setup.rate_mode = EncoderRateMode::AVERAGE;
      setup.bitrate = bitrate != 0 ? bitrate : default_bitrate(setup.width, setup.height, setup.fps);
      break;
    default:  // VBR and MBR: quality-driven, capped when a bitrate is given
      setup.rate_mode = bitrate != 0 ? EncoderRateMode::CAPPED_QUALITY : EncoderRateMode::QUALITY;
      setup.bitrate = bitrate;
      break;
  }

  // Closed GOPs of at most gop_seconds, so a keyframe comes at least that often.
  double gop = std::floor(config.gop_seconds * setup.fps + 1e-9);
  setup.gop_frames = static_cast<uint32_t>(std::clamp(gop, 1.0, 100000.0));
  setup.clip_frames = setup.gop_frames * config.clip_gops;
  setup.chunked = request.chunks.value_or(true);
  return SetupError::NONE;
}

}  // namespace vdo_emulator
