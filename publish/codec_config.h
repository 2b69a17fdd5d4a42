// Captures in-band parameter sets and decides when the RTMP output may open.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "capture/stream_profile.h"

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
void capture_h264_nal(CodecConfigCapture &capture, const uint8_t *nal, std::size_t length,
                      uint32_t frame_type);
void capture_h265_nal(CodecConfigCapture &capture, const uint8_t *nal, std::size_t length);
// Splits a payload into NAL units and keeps the parameter sets among them
// (AV1 payloads are not examined).
void codec_config_capture_scan(CodecConfigCapture &capture, const uint8_t *payload,
                               std::size_t length, VideoCodecKind codec, uint32_t frame_type);
// Logs each kind of set the first time it is held in this run.
void codec_config_log_new_sets(const CodecConfigCapture &capture, VideoCodecKind codec,
                               bool &vps_logged, bool &sps_logged, bool &pps_logged);
// Logs the waiting message when due. Returns null while not ready, else new
// extradata (possibly empty, for an empty AV1 keyframe) the caller frees.
GByteArray *codec_config_gate(const CodecConfigCapture &capture, VideoCodecKind codec,
                              const uint8_t *payload, std::size_t length, bool key,
                              int64_t &wait_log_due);
void codec_config_clear(CodecConfigCapture &capture);
