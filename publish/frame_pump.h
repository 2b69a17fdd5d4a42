// The worker's publishing phase: frames in, packets out, counters and
// bitrate into StreamControl; and the worker's common finish.
#pragma once

#include <glib.h>

#include <cstdint>

#include "base/stream_records.h"
#include "capture/capture_session.h"
#include "publish/codec_config.h"
#include "publish/rtmp_output.h"

struct FramePumpState {
  CodecConfigCapture capture;
  RtmpOutput output;
  bool output_open;
  int64_t wait_log_due;  // av_gettime_relative time base, µs
  int64_t bitrate_sample_due;
  int64_t last_sample_time;
  uint64_t last_sample_bytes;
  bool vps_logged, sps_logged, pps_logged, first_packet_logged;
};

inline constexpr int64_t kBitrateSampleInterval = 5000000;  // µs

// Zeroes the state and starts its timers from now; called first thing by the worker.
void frame_pump_begin(FramePumpState &state);

// Runs until a stop is seen on `control` (true) or an error ends the loop
// (false, with `error_text` set unless a stop was pending); the counters
// and the bitrate go into `control`.
bool frame_pump_run(StreamControl &control, FramePumpState &state, CaptureSession &capture,
                    const StreamRequest &request, char *error_text);

// Collects every chunk of `frame` into a new payload; null with the
// platform error in `error` when a chunk read fails.
GByteArray *read_frame_payload(VdoFrame *frame, GError **error);

// Bits per second between two samples of the byte counter; 0 when no time
// passed or the counter went back, saturated at 4,294,967,295.
uint32_t computed_bitrate(uint64_t total_bytes, uint64_t last_bytes, int64_t now,
                          int64_t last_time);

// One bitrate sample into `control`; the platform's own figure wins when it
// reports one.
void sample_bitrate(StreamControl &control, FramePumpState &state, VdoStream *stream);

// The common end of the worker, leaving the final state in `control`.
// `capture` is null when the capture phase failed (it released what it had
// created); otherwise the stream is closed first.
void worker_finish(StreamControl &control, FramePumpState &state, CaptureSession *capture,
                   StreamRequest *request, char *error_text);
