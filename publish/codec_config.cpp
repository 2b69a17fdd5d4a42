// Codec configuration capture: parameter sets from the frames, the open gate, extradata.
#include "publish/codec_config.h"

#include <syslog.h>

#include <cstring>
#include <initializer_list>

extern "C" {
#include <libavutil/time.h>
}

namespace {

constexpr int64_t kWaitLogInterval = 5000000;  // µs between waiting messages
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

constexpr uint32_t kH264FrameSps = 1;
constexpr uint32_t kH264FramePps = 2;
constexpr uint8_t kH264NalSps = 7;
constexpr uint8_t kH264NalPps = 8;
constexpr uint8_t kH265NalVps = 32;
constexpr uint8_t kH265NalSps = 33;
constexpr uint8_t kH265NalPps = 34;

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

}  // namespace

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

void capture_h264_nal(CodecConfigCapture &capture, const uint8_t *nal, std::size_t length,
                      uint32_t frame_type) {
  if (length == 0) return;
  const uint8_t type = nal[0] & 0x1F;
  // The camera marks parameter-set frames by type; their units count as
  // such whatever their NAL header says.
  if (type == kH264NalSps || frame_type == kH264FrameSps) {
    store_unit(capture.sps, nal, length);
  } else if (type == kH264NalPps || frame_type == kH264FramePps) {
    store_unit(capture.pps, nal, length);
  }
}

void capture_h265_nal(CodecConfigCapture &capture, const uint8_t *nal, std::size_t length) {
  if (length < 2) return;
  const uint8_t type = (nal[0] >> 1) & 0x3F;
  if (type == kH265NalVps) {
    store_unit(capture.vps, nal, length);
  } else if (type == kH265NalSps) {
    store_unit(capture.sps, nal, length);
  } else if (type == kH265NalPps) {
    store_unit(capture.pps, nal, length);
  }
}

void codec_config_capture_scan(CodecConfigCapture &capture, const uint8_t *payload,
                               std::size_t length, VideoCodecKind codec, uint32_t frame_type) {
  if (codec == VIDEO_CODEC_AV1) return;
  const bool h265 = codec == VIDEO_CODEC_H265;
  const uint8_t *end = payload + length;
  StartCode code = find_start_code(payload, end);
  if (!code.position) {
    // A frame without start codes is one unit, leading zeros included.
    if (h265) {
      capture_h265_nal(capture, payload, length);
    } else if (length != 0) {
      capture_h264_nal(capture, payload, length, frame_type);
    }
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
      if (h265) {
        capture_h265_nal(capture, unit, unit_length);
      } else {
        capture_h264_nal(capture, unit, unit_length, frame_type);
      }
    }
    if (!next.position) return;
    code = next;
  }
}

void codec_config_log_new_sets(const CodecConfigCapture &capture, VideoCodecKind codec,
                               bool &vps_logged, bool &sps_logged, bool &pps_logged) {
  const char *label = video_codec_label(codec);
  if (capture.vps && !vps_logged) {
    syslog(LOG_INFO, "Captured H.265 VPS");
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
  if (av_gettime_relative() >= wait_log_due) {
    switch (codec) {
      case VIDEO_CODEC_H265:
        syslog(LOG_INFO,
               "Waiting for H.265 VPS/SPS/PPS/keyframe before opening RTMP output "
               "(vps=%s, sps=%s, pps=%s, keyframe=%s)",
               yes_no(capture.vps), yes_no(capture.sps), yes_no(capture.pps), yes_no(key));
        break;
      case VIDEO_CODEC_AV1:
        syslog(LOG_INFO,
               "Waiting for AV1 keyframe before opening Enhanced RTMP output (keyframe=%s)",
               yes_no(key));
        break;
      default:
        syslog(LOG_INFO,
               "Waiting for H.264 SPS/PPS/keyframe before opening RTMP output "
               "(sps=%s, pps=%s, keyframe=%s)",
               yes_no(capture.sps), yes_no(capture.pps), yes_no(key));
        break;
    }
    wait_log_due = av_gettime_relative() + kWaitLogInterval;
  }
  if (!key) return nullptr;

  GByteArray *extradata = nullptr;
  switch (codec) {
    case VIDEO_CODEC_H265:
      if (!capture.vps || !capture.sps || !capture.pps) return nullptr;
      extradata = g_byte_array_sized_new(capture.vps->len + capture.sps->len + capture.pps->len);
      append_set(extradata, capture.vps);
      append_set(extradata, capture.sps);
      append_set(extradata, capture.pps);
      break;
    case VIDEO_CODEC_AV1:
      // The keyframe's own OBUs carry the sequence header.
      extradata = g_byte_array_sized_new(static_cast<guint>(length));
      if (length) g_byte_array_append(extradata, payload, static_cast<guint>(length));
      break;
    default:
      if (!capture.sps || !capture.pps) return nullptr;
      extradata = g_byte_array_sized_new(capture.sps->len + capture.pps->len);
      append_set(extradata, capture.sps);
      append_set(extradata, capture.pps);
      break;
  }
  return extradata;
}

void codec_config_clear(CodecConfigCapture &capture) {
  for (GByteArray **held : {&capture.vps, &capture.sps, &capture.pps}) {
    if (*held) g_byte_array_free(*held, TRUE);
    *held = nullptr;
  }
}
