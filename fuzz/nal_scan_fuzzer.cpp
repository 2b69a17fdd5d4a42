// Fuzzes the NAL scan of camera frames: start codes, the capture rules for
// both codecs and the gate's extradata, checking what the scan keeps.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "publish/codec_config.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

// The start-code rule position by position, to check the fast search.
StartCode reference_start_code(const uint8_t *start, const uint8_t *end) {
  if (end - start < 3) return {nullptr, 0};
  for (const uint8_t *q = start;; ++q) {
    const long left = end - q;
    if (left < 3) return {nullptr, 0};
    if (q[0] == 0 && q[1] == 0 && q[2] == 1) return {q, 3};
    if (left < 4) return {nullptr, 0};
    if (q[0] == 0 && q[1] == 0 && q[2] == 0 && q[3] == 1) return {q, 4};
  }
}

// A held set is a 4-byte start code and a unit copied from the payload.
void check_held(const GByteArray *set, const uint8_t *data, std::size_t size) {
  if (!set) return;
  if (set->len < 5 || std::memcmp(set->data, "\0\0\0\1", 4) != 0) std::abort();
  const std::size_t unit = set->len - 4;
  if (unit > size) std::abort();
  if (!memmem(data, size, set->data + 4, unit)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  // First byte picks codec, frame type and the key flag; the rest is the payload.
  const uint8_t control = data[0];
  const auto codec = static_cast<VideoCodecKind>(control % 3);
  const uint32_t frame_type = (control >> 2) & 0x7;
  const bool key = control & 0x80;
  ++data;
  --size;

  // Copy so the sanitizer sees reads past the payload's end.
  uint8_t *payload = static_cast<uint8_t *>(std::malloc(size ? size : 1));
  if (size) std::memcpy(payload, data, size);
  const uint8_t *end = payload + size;

  for (const uint8_t *from = payload; from <= end && from < payload + 64; ++from) {
    StartCode fast = find_start_code(from, end);
    StartCode slow = reference_start_code(from, end);
    if (fast.position != slow.position || (fast.position && fast.length != slow.length)) std::abort();
  }

  CodecConfigCapture capture{};
  codec_config_capture_scan(capture, payload, size, codec, frame_type);
  check_held(capture.vps, payload, size);
  check_held(capture.sps, payload, size);
  check_held(capture.pps, payload, size);
  if (codec == VIDEO_CODEC_AV1 && (capture.vps || capture.sps || capture.pps)) std::abort();

  int64_t wait_log_due = av_gettime_relative() + 60000000;
  GByteArray *extradata = codec_config_gate(capture, codec, payload, size, key, wait_log_due);
  if (extradata) {
    if (!key) std::abort();
    if (codec == VIDEO_CODEC_AV1 && (extradata->len != size || (size && std::memcmp(extradata->data, payload, size))))
      std::abort();  // AV1's extradata is the keyframe itself
    g_byte_array_free(extradata, TRUE);
  }
  codec_config_clear(capture);
  std::free(payload);
  return 0;
}
