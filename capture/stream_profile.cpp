// Parses a stream profile's parameter text and its numbers.
#include "capture/stream_profile.h"

#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/bounded_text.h"
#include "capture/utf8_text.h"

namespace {

// Reads a base-10 number the way strtoul does (leading blanks and a sign
// allowed, nothing after the digits) into 64 bits.
bool read_decimal(const char *text, uint64_t *out) {
  if (!text || !text[0]) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || !end || end == text || *end != '\0') return false;
  // strtoul negates what it read, so "-18446744073709551615" would come back
  // as 1: a minus sign is only good for zero.
  const char *first = text;
  while (g_ascii_isspace(*first)) ++first;
  if (*first == '-' && value != 0) return false;
  *out = value;
  return true;
}

// The value of `key`, or null when it is missing or empty.
const char *present_value(GHashTable *params, const char *key) {
  auto *value = static_cast<const char *>(g_hash_table_lookup(params, key));
  return value && value[0] ? value : nullptr;
}

// The first of `keys` (null-terminated list) with a non-empty value; later
// names are not looked at. `which` gets the index of the name used.
const char *first_present(GHashTable *params, const char *const *keys, int *which) {
  for (int i = 0; keys[i]; ++i) {
    if (const char *value = present_value(params, keys[i])) {
      if (which) *which = i;
      return value;
    }
  }
  return nullptr;
}

// The codec whose words hold `value`, or null.
const VideoFormat *parse_codec(const char *value) {
  for (const VideoFormat &format : video_formats()) {
    for (const char *word : format.profile_words) {
      if (word && g_ascii_strcasecmp(value, word) == 0) return &format;
    }
  }
  return nullptr;
}

bool parse_resolution(const char *value, uint32_t *width, uint32_t *height) {
  const char *separator = std::strchr(value, 'x');
  if (!separator) separator = std::strchr(value, 'X');
  if (!separator) return false;
  std::size_t width_length = static_cast<std::size_t>(separator - value);
  std::size_t height_length = std::strlen(separator + 1);
  if (width_length < 1 || width_length > 23 || height_length > 23) return false;
  char width_text[24];
  char height_text[24];
  std::memcpy(width_text, value, width_length);
  width_text[width_length] = '\0';
  std::memcpy(height_text, separator + 1, height_length + 1);
  uint32_t parsed_width = 0;
  uint32_t parsed_height = 0;
  if (!parse_uint_in_range(width_text, 1, UINT32_MAX, &parsed_width) ||
      !parse_uint_in_range(height_text, 1, UINT32_MAX, &parsed_height))
    return false;
  *width = parsed_width;
  *height = parsed_height;
  return true;
}

// errno is not consulted: g_ascii_strtod's first call in a process sets up
// its C locale behind glib's process-wide once-lock, and a contended lock
// leaves EAGAIN in errno for a perfectly good "30". An out-of-range result
// (HUGE_VAL, or 0 on underflow) fails the range check anyway.
bool parse_fps(const char *value, double *fps) {
  char *end = nullptr;
  double parsed = g_ascii_strtod(value, &end);
  if (!end || end == value || *end != '\0') return false;
  if (std::isnan(parsed) || parsed < 0.1 || parsed > 120.0) return false;
  *fps = parsed;
  return true;
}

bool parse_rate_control(const char *value, RateControlMode *mode) {
  struct Word {
    const char *word;
    RateControlMode mode;
  };
  static constexpr Word kWords[] = {
      {"none", RATE_CONTROL_NONE}, {"cbr", RATE_CONTROL_CBR},     {"constant", RATE_CONTROL_CBR},
      {"vbr", RATE_CONTROL_VBR},   {"variable", RATE_CONTROL_VBR}, {"mbr", RATE_CONTROL_MBR},
      {"max", RATE_CONTROL_MBR},   {"maximum", RATE_CONTROL_MBR},  {"abr", RATE_CONTROL_ABR},
      {"average", RATE_CONTROL_ABR},
  };
  for (const Word &word : kWords) {
    if (g_ascii_strcasecmp(value, word.word) == 0) {
      *mode = word.mode;
      return true;
    }
  }
  uint32_t number = 0;
  if (!parse_uint_in_range(value, 0, 3, &number)) return false;
  *mode = static_cast<RateControlMode>(number);
  return true;
}

bool is_off_word(const char *value) {
  return g_ascii_strcasecmp(value, "0") == 0 || g_ascii_strcasecmp(value, "no") == 0 ||
         g_ascii_strcasecmp(value, "off") == 0 || g_ascii_strcasecmp(value, "false") == 0;
}

// The row's message with the offending value; the value is data, not a format.
bool reject(char *error_text, const char *before, const char *value, const char *after) {
  format_bounded(error_text, kMessageSize, "%s%s%s", before, value, after);
  return false;
}

// Reads the understood keys in their fixed order; the first bad value ends it.
bool read_profile_keys(GHashTable *params, StreamProfileConfig &config, char *error_text) {
  if (const char *value = present_value(params, "videocodec")) {
    const VideoFormat *format = parse_codec(value);
    if (!format)
      return reject(error_text, "Selected stream profile uses unsupported video codec '", value,
                    "'. Corvane supports H.264, H.265/HEVC, and AV1 profiles.");
    config.has_codec = 1;
    config.codec = format->kind;
    copy_bounded(config.codec_label, format->label);
  }
  if (const char *value = present_value(params, "camera")) {
    if (!parse_uint_in_range(value, 1, UINT32_MAX, &config.camera))
      return reject(error_text, "Unsupported stream profile camera value '", value, "'.");
    config.has_camera = 1;
  }
  if (const char *value = present_value(params, "channel")) {
    if (!parse_uint_in_range(value, 0, UINT32_MAX, &config.channel))
      return reject(error_text, "Unsupported stream profile channel value '", value, "'.");
    config.has_channel = 1;
  }
  if (const char *value = present_value(params, "resolution")) {
    if (!parse_resolution(value, &config.width, &config.height))
      return reject(error_text, "Unsupported stream profile resolution '", value,
                    "'; use WIDTHxHEIGHT.");
    config.has_resolution = 1;
  }
  if (const char *value = present_value(params, "fps")) {
    if (!parse_fps(value, &config.fps))
      return reject(error_text, "Unsupported stream profile fps value '", value, "'.");
    config.has_fps = 1;
  }
  if (const char *value = present_value(params, "compression")) {
    if (!parse_uint_in_range(value, 0, 100, &config.compression))
      return reject(error_text, "Unsupported stream profile compression value '", value, "'.");
    config.has_compression = 1;
  }
  if (const char *value = present_value(params, "h264profile")) {
    copy_bounded_utf8(config.h264_profile, value);
    config.has_h264_profile = 1;
  }
  static const char *const kKeyframeKeys[] = {"videokeyframeinterval", "keyframeinterval", nullptr};
  if (const char *value = first_present(params, kKeyframeKeys, nullptr)) {
    if (!parse_uint_in_range(value, 0, UINT32_MAX, &config.keyframe_interval))
      return reject(error_text, "Unsupported stream profile keyframe interval value '", value, "'.");
    config.has_keyframe_interval = 1;
  }
  if (const char *value = present_value(params, "audio")) {
    copy_bounded(config.audio, is_off_word(value) ? "disabled" : "enabled");
    config.has_audio = 1;
  }
  if (const char *value = present_value(params, "overlays")) {
    copy_bounded_utf8(config.overlays, value);
    config.has_overlays = 1;
  }
  // `bitrate` and `videobitrate` fill one field; the kilobit key wins.
  if (const char *value = present_value(params, "bitrate")) {
    if (!parse_bitrate(value, false, &config.bitrate))
      return reject(error_text, "Unsupported stream profile bitrate value '", value, "'.");
    config.has_bitrate = 1;
  }
  if (const char *value = present_value(params, "videobitrate")) {
    if (!parse_bitrate(value, true, &config.bitrate))
      return reject(error_text, "Unsupported stream profile videobitrate value '", value, "'.");
    config.has_bitrate = 1;
  }
  static const char *const kMaxBitrateKeys[] = {"videomaxbitrate", "maxbitrate", nullptr};
  if (const char *value = first_present(params, kMaxBitrateKeys, nullptr)) {
    if (!parse_bitrate(value, true, &config.max_bitrate))
      return reject(error_text, "Unsupported stream profile max bitrate value '", value, "'.");
    config.has_max_bitrate = 1;
  }
  // The ABR target comes in kilobits under its first name, in bits under its second.
  static const char *const kAbrKeys[] = {"videoabrmaxbitrate", "abr.target_bitrate", nullptr};
  int abr_key = 0;
  if (const char *value = first_present(params, kAbrKeys, &abr_key)) {
    if (!parse_bitrate(value, abr_key == 0, &config.abr_target))
      return reject(error_text, "Unsupported stream profile ABR bitrate value '", value, "'.");
    config.has_abr_target = 1;
  }
  static const char *const kModeKeys[] = {"videobitratemode", "videobitratecontrol", "bitratemode",
                                          "rc.mode", nullptr};
  if (const char *value = first_present(params, kModeKeys, nullptr)) {
    if (!parse_rate_control(value, &config.rate_control))
      return reject(error_text, "Unsupported stream profile bitrate mode '", value, "'.");
    config.has_rate_control = 1;
  }
  return true;
}

}  // namespace

bool parse_uint_in_range(const char *text, uint64_t min, uint64_t max, uint32_t *out) {
  uint64_t value = 0;
  if (!read_decimal(text, &value) || value < min || value > max) return false;
  // Callers never pass a bound beyond 32 bits; clamp in case one does.
  if (value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parse_bitrate(const char *text, bool in_kbps, uint32_t *out) {
  if (!text || !text[0]) return false;
  if (g_ascii_strcasecmp(text, "unlimited") == 0 || g_ascii_strcasecmp(text, "off") == 0) {
    *out = 0;
    return true;
  }
  uint64_t value = 0;
  if (!read_decimal(text, &value)) return false;
  if (in_kbps) {
    if (value > 4294967) return false;
    value *= 1000;
  } else if (value > UINT32_MAX) {
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parse_stream_profile(const char *parameters, StreamProfileConfig &config, char *error_text) {
  if (!parameters || !parameters[0]) return true;
  GError *error = nullptr;
  GHashTable *params = g_uri_parse_params(
      parameters, -1, "&",
      static_cast<GUriParamsFlags>(G_URI_PARAMS_CASE_INSENSITIVE | G_URI_PARAMS_WWW_FORM), &error);
  if (!params) {
    format_bounded(error_text, kMessageSize, "Failed to parse stream profile parameters: %s",
                   error_message_or_unknown(error));
    g_clear_error(&error);
    return false;
  }
  bool parsed = read_profile_keys(params, config, error_text);
  g_hash_table_unref(params);
  return parsed;
}
