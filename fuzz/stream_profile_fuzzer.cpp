// Feeds arbitrary parameter texts to the stream profile parser.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/bounded_text.h"
#include "capture/stream_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  // The worker sees a NUL-terminated text; an embedded NUL just ends it early.
  std::string text(reinterpret_cast<const char *>(data), size);
  StreamProfileConfig config{};
  char error_text[kMessageSize];
  std::memset(error_text, 0x5A, sizeof error_text);
  error_text[0] = '\0';
  bool parsed = parse_stream_profile(text.c_str(), config, error_text);

  // Whatever the input, the result must keep the record's own rules.
  if (parsed) {
    if (config.has_camera && config.camera == 0) std::abort();
    if (config.has_resolution && (config.width == 0 || config.height == 0)) std::abort();
    if (config.has_fps && !(config.fps >= 0.1 && config.fps <= 120.0)) std::abort();
    if (config.has_compression && config.compression > 100) std::abort();
    if (config.codec > VIDEO_CODEC_AV1) std::abort();
    if (config.has_rate_control && config.rate_control > RATE_CONTROL_ABR && config.rate_control != RATE_CONTROL_NONE)
      std::abort();
    if (!config.has_fps && config.fps != 0.0) std::abort();
    if (std::strlen(config.h264_profile) >= sizeof config.h264_profile) std::abort();
    if (std::strlen(config.overlays) >= sizeof config.overlays) std::abort();
    if (!g_utf8_validate(config.overlays, -1, nullptr) || !g_utf8_validate(config.h264_profile, -1, nullptr))
      std::abort();
  } else if (error_text[0] == '\0' || std::strlen(error_text) >= kMessageSize) {
    std::abort();
  }
  return 0;
}
