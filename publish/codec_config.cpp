// Codec configuration capture: parameter sets from the frames, the open gate, extradata.
#include "publish/codec_config.h"

#include <syslog.h>

#include <cstring>
#include <initializer_list>

#include "base/bounded_text.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

constexpr int64_t kWaitLogInterval = 5000000;  // µs between waiting messages
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Replaces the held set with a copy of the unit behind a 4-byte start code.
void store_unit(GByteArray *&held, const uint8_t *nal, std::size_t length) {
  if (held) g_byte_array_free(held, TRUE);
  held = g_byte_array_sized_new(static_cast<guint>(sizeof kStartCode + length));
  g_byte_array_append(held, kStartCode, sizeof kStartCode);
  g_byte_array_append(held, nal, static_cast<guint>(length));
}

void append_set(GByteArray *extradata, const GByteArray *set) {
  g_byte_array_append(extradata, set->data, set->len);
}

const char *yes_no(bool value) { return value ? "yes" : "no"; }

bool waits_for_vps(const VideoFormat &format) { return format.parameter_sets.vps_type >= 0; }

// The sets the output waits for are all held.
bool sets_complete(const CodecConfigCapture &capture, const VideoFormat &format) {
  return (capture.vps || !waits_for_vps(format)) && capture.sps && capture.pps;
}

}  // namespace

void format_wait_message(const CodecConfigCapture &capture, VideoCodecKind codec, bool key,
                         char *out, std::size_t size) {
  const VideoFormat &format = video_format(codec);
  char held[64] = "";
  if (waits_for_vps(format)) {
    format_bounded(held, sizeof held, "vps=%s, sps=%s, pps=%s, ", yes_no(capture.vps),
                   yes_no(capture.sps), yes_no(capture.pps));
  } else if (!format.extradata_is_keyframe) {
    format_bounded(held, sizeof held, "sps=%s, pps=%s, ", yes_no(capture.sps),
                   yes_no(capture.pps));
  }
  format_bounded(out, size, "%s (%skeyframe=%s)", format.wait_message, held, yes_no(key));
}

StartCode find_start_code(const uint8_t *start, const uint8_t *end) {
  if (!start || end - start < 3) return {nullptr, 0};
  // Every code ends in a 01 byte preceded by two zeros, so the scan jumps
  // from one 01 byte to the next instead of testing every position.
  const uint8_t *one = start + 2;
  while (one < end) {
    one = static_cast<const uint8_t *>(std::memchr(one, 1, static_cast<std::size_t>(end - one)));
    if (!one) break;
    if (one[-1] == 0 && one[-2] == 0) {
      if (one - 3 >= start && one[-3] == 0) return {one - 3, 4};
      return {one - 2, 3};
    }
    ++one;
  }
  return {nullptr, 0};
}

void capture_parameter_set(CodecConfigCapture &capture, const VideoFormat &format,
                           const uint8_t *nal, std::size_t length, uint32_t frame_type) {
  const ParameterSetSyntax &syntax = format.parameter_sets;
  if (length == 0 || length < syntax.header_size) return;
  const int type = (nal[0] >> syntax.type_shift) & syntax.type_mask;
  // Where the camera marks parameter-set frames by type, their units count
  // as such whatever their NAL header says.
  const auto marked = [frame_type](VdoFrameType mark) {
    return mark != VDO_FRAME_TYPE_NONE && frame_type == mark;
  };
  if (type == syntax.vps_type) {
    store_unit(capture.vps, nal, length);
  } else if (type == syntax.sps_type || marked(syntax.sps_frame)) {
    store_unit(capture.sps, nal, length);
  } else if (type == syntax.pps_type || marked(syntax.pps_frame)) {
    store_unit(capture.pps, nal, length);
  }
}

void codec_config_capture_scan(CodecConfigCapture &capture, const uint8_t *payload,
                               std::size_t length, VideoCodecKind codec, uint32_t frame_type) {
  const VideoFormat &format = video_format(codec);
  if (format.extradata_is_keyframe) return;
  const uint8_t *end = payload + length;
  StartCode code = find_start_code(payload, end);
  if (!code.position) {
    // A frame without start codes is one unit, leading zeros included.
    capture_parameter_set(capture, format, payload, length, frame_type);
    return;
  }
  for (;;) {
    const uint8_t *unit = code.position + code.length;
    const StartCode next = find_start_code(unit, end);
    const uint8_t *unit_end = next.position ? next.position : end;
    // Leading zeros are padding; trailing zeros before the next code stay.
    while (unit < unit_end && *unit == 0) ++unit;
    if (unit < unit_end) {
      const auto unit_length = static_cast<std::size_t>(unit_end - unit);
      capture_parameter_set(capture, format, unit, unit_length, frame_type);
    }
    if (!next.position) return;
    code = next;
  }
}

void codec_config_log_new_sets(const CodecConfigCapture &capture, VideoCodecKind codec,
                               bool &vps_logged, bool &sps_logged, bool &pps_logged) {
  const char *label = video_format(codec).label;
  if (capture.vps && !vps_logged) {
    syslog(LOG_INFO, "Captured %s VPS", label);
    vps_logged = true;
  }
  if (capture.sps && !sps_logged) {
    syslog(LOG_INFO, "Captured %s SPS", label);
    sps_logged = true;
  }
  if (capture.pps && !pps_logged) {
    syslog(LOG_INFO, "Captured %s PPS", label);
    pps_logged = true;
  }
}

GByteArray *codec_config_gate(const CodecConfigCapture &capture, VideoCodecKind codec,
                              const uint8_t *payload, std::size_t length, bool key,
                              int64_t &wait_log_due) {
  const VideoFormat &format = video_format(codec);
  if (av_gettime_relative() >= wait_log_due) {
    char message[kWaitMessageSize];
    format_wait_message(capture, codec, key, message, sizeof message);
    syslog(LOG_INFO, "%s", message);
    wait_log_due = av_gettime_relative() + kWaitLogInterval;
  }
  if (!key) return nullptr;

  if (format.extradata_is_keyframe) {
    // The keyframe's own data carries the decoder configuration.
    GByteArray *extradata = g_byte_array_sized_new(static_cast<guint>(length));
    if (length) g_byte_array_append(extradata, payload, static_cast<guint>(length));
    return extradata;
  }
  if (!sets_complete(capture, format)) return nullptr;
  const bool with_vps = waits_for_vps(format);
  GByteArray *extradata = g_byte_array_sized_new((with_vps ? capture.vps->len : 0) +
                                                 capture.sps->len + capture.pps->len);
  if (with_vps) append_set(extradata, capture.vps);
  append_set(extradata, capture.sps);
  append_set(extradata, capture.pps);
  return extradata;
}

void codec_config_clear(CodecConfigCapture &capture) {
  for (GByteArray **held : {&capture.vps, &capture.sps, &capture.pps}) {
    if (*held) g_byte_array_free(*held, TRUE);
    *held = nullptr;
  }
}
