// Captures in-band parameter sets and decides when the RTMP output may open.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "base/video_format.h"

struct CodecConfigCapture {
  GByteArray *vps;  // latest H.265 VPS, Annex-B with a 4-byte start code
  GByteArray *sps;  // latest SPS (H.264 or H.265)
  GByteArray *pps;  // latest PPS (H.264 or H.265)
};

struct StartCode {
  const uint8_t *position;  // null when not found
  std::size_t length;       // 3 or 4
};

// First Annex-B start code in [start, end); a 4-byte code is reported at
// its first zero byte.
StartCode find_start_code(const uint8_t *start, const uint8_t *end);
// Keeps one NAL unit of a `format` frame of `frame_type` when it is a
// parameter set; ignores it otherwise.
void capture_parameter_set(CodecConfigCapture &capture, const VideoFormat &format,
                           const uint8_t *nal, std::size_t length, uint32_t frame_type);
// Splits a payload into NAL units and keeps the parameter sets among them
// (AV1 payloads are not examined).
void codec_config_capture_scan(CodecConfigCapture &capture, const uint8_t *payload,
                               std::size_t length, VideoCodecKind codec, uint32_t frame_type);
// Logs each kind of set the first time it is held in this run.
void codec_config_log_new_sets(const CodecConfigCapture &capture, VideoCodecKind codec,
                               bool &vps_logged, bool &sps_logged, bool &pps_logged);
inline constexpr std::size_t kWaitMessageSize = 160;

// The message logged while the output waits: what `codec` waits for, which
// of its sets `capture` holds and whether the frame is a keyframe.
void format_wait_message(const CodecConfigCapture &capture, VideoCodecKind codec, bool key,
                         char *out, std::size_t size);
// Logs the waiting message when due. Returns null while not ready, else new
// extradata (possibly empty, for an empty AV1 keyframe) the caller frees.
GByteArray *codec_config_gate(const CodecConfigCapture &capture, VideoCodecKind codec,
                              const uint8_t *payload, std::size_t length, bool key,
                              int64_t &wait_log_due);
void codec_config_clear(CodecConfigCapture &capture);
