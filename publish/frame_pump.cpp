// Frame pump: reads the camera's frames, opens the output once it can, sends
// one packet per picture, keeps counters and bitrate; and the worker's finish.
#include "publish/frame_pump.h"

#include <syslog.h>

#include "base/bounded_text.h"
#include "base/log_text.h"
#include "base/mutex_lock.h"
#include "base/owners.h"
#include "base/stream_records.h"
#include "publish/ffmpeg_log.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

bool stop_pending(StreamControl &control) {
  MutexLock lock(control.lock);
  return control.stop_requested != 0;
}

// Leaving the loop on an error: a pending stop wins and the error is dropped.
bool leave_with_error(StreamControl &control, char *error_text) {
  if (stop_pending(control)) error_text[0] = '\0';
  return false;
}

void record_packet(StreamControl &control, FramePumpState &state, VdoStream *stream,
                   guint payload_bytes) {
  {
    MutexLock lock(control.lock);
    control.frames_sent += 1;
    control.bytes_sent += payload_bytes;
    control.last_packet_bytes = payload_bytes;
  }
  if (!state.first_packet_logged) {
    syslog(LOG_INFO, "RTMP packet flow started; first packet payload=%u bytes, pts=%li us",
           payload_bytes, static_cast<long>(state.output.last_pts));
    state.first_packet_logged = true;
  }
  if (av_gettime_relative() >= state.bitrate_sample_due) sample_bitrate(control, state, stream);
}

// One frame: its payload read and scanned, the output opened when the gate
// lets it, the picture sent. False, with the message, when the run must end.
bool pump_frame(StreamControl &control, FramePumpState &state, CaptureSession &capture,
                const StreamRequest &request, VdoFrame *frame, char *error_text) {
  const VideoCodecKind codec = capture.codec;
  const VideoFormat &format = video_format(codec);
  const uint32_t frame_type = vdo_frame_get_frame_type(frame);
  const uint64_t timestamp = vdo_frame_get_timestamp(frame);
  const bool key = vdo_frame_is_key(frame) || is_frame_type(format.key_frames, frame_type);

  GError *error = nullptr;
  const ByteArrayOwner payload(read_frame_payload(frame, &error));
  if (!payload) {
    format_bounded(error_text, kMessageSize, "Failed reading VDO frame chunk: %s",
                   error_message_or_unknown(error));
    g_clear_error(&error);
    return false;
  }

  codec_config_capture_scan(state.capture, payload->data, payload->len, codec, frame_type);
  codec_config_log_new_sets(state.capture, codec, state.vps_logged, state.sps_logged,
                            state.pps_logged);

  if (!state.output_open) {
    const ByteArrayOwner extradata(codec_config_gate(state.capture, codec, payload->data,
                                                     payload->len, key, state.wait_log_due));
    if (!extradata) return true;  // not ready: the frame is dropped
    if (!rtmp_output_open(state.output, control, capture, request.destination,
                          request.silent_audio, extradata.get(), timestamp, error_text))
      return false;
    // The keyframe that opened the output is its first packet.
    state.output_open = true;
  }

  // Pictures only: parameter-set and SEI frames (and H.265's B frames) are scanned, not sent.
  if (is_frame_type(format.sent_frames, frame_type)) {
    if (!rtmp_output_send_video(state.output, payload->data, payload->len, timestamp, key,
                                error_text))
      return false;
    record_packet(control, state, capture.stream, payload->len);
  }
  return true;
}

}  // namespace

void frame_pump_begin(FramePumpState &state) {
  state = FramePumpState{};
  state.wait_log_due = av_gettime_relative() + kBitrateSampleInterval;
  state.bitrate_sample_due = av_gettime_relative() + kBitrateSampleInterval;
  state.last_sample_time = av_gettime_relative();
  state.last_sample_bytes = 0;
}

GByteArray *read_frame_payload(VdoFrame *frame, GError **error) {
  GByteArray *payload = g_byte_array_new();
  for (;;) {
    GError *chunk_error = nullptr;
    const VdoChunk chunk = vdo_frame_take_chunk(frame, &chunk_error);
    if (chunk.status == VDO_CHUNK_FAILED) {
      g_byte_array_free(payload, TRUE);
      g_propagate_error(error, chunk_error);
      return nullptr;
    }
    g_clear_error(&chunk_error);
    if (chunk.size == 0) return payload;
    g_byte_array_append(payload, chunk.data, static_cast<guint>(chunk.size));
  }
}

bool frame_pump_run(StreamControl &control, FramePumpState &state, CaptureSession &capture,
                    const StreamRequest &request, char *error_text) {
  for (;;) {
    if (stop_pending(control)) return true;

    GError *error = nullptr;
    VdoBuffer *buffer = vdo_stream_get_buffer(capture.stream, &error);
    if (!buffer) {
      if (g_error_matches(error, VDO_ERROR, VDO_ERROR_NO_DATA)) {
        g_clear_error(&error);
        continue;  // nothing ready yet: ask again at once
      }
      format_bounded(error_text, kMessageSize, "VDO stream error: %s",
                     error_message_or_unknown(error));
      g_clear_error(&error);
      return leave_with_error(control, error_text);
    }

    // The frame's one release path: its payload is gone when pump_frame
    // returns, then the buffer goes back to the camera.
    if (!pump_frame(control, state, capture, request, vdo_buffer_get_frame(buffer), error_text)) {
      vdo_stream_buffer_unref(capture.stream, &buffer, nullptr);  // the run ends either way
      return leave_with_error(control, error_text);
    }
    if (!vdo_stream_buffer_unref(capture.stream, &buffer, &error)) {
      if (vdo_error_is_expected(&error)) {
        g_clear_error(&error);
        continue;
      }
      format_bounded(error_text, kMessageSize, "Failed to release VDO buffer: %s",
                     error_message_or_unknown(error));
      g_clear_error(&error);
      return leave_with_error(control, error_text);
    }
  }
}

uint32_t computed_bitrate(uint64_t total_bytes, uint64_t last_bytes, int64_t now,
                          int64_t last_time) {
  const int64_t elapsed = now - last_time;
  if (elapsed <= 0 || total_bytes < last_bytes) return 0;
  const double rate = static_cast<double>(total_bytes - last_bytes) * 8.0 * 1000000.0 /
                      static_cast<double>(elapsed);
  if (rate > 4294967295.0) return 4294967295u;
  return static_cast<uint32_t>(rate + 0.5);
}

void sample_bitrate(StreamControl &control, FramePumpState &state, VdoStream *stream) {
  const int64_t now = av_gettime_relative();
  uint64_t total;
  {
    MutexLock lock(control.lock);
    total = control.bytes_sent;
  }

  uint32_t platform_rate = 0;
  ErrorOwner error;  // a failed query changes nothing else
  const ObjectRef<VdoMap> info(vdo_stream_get_info(stream, out_error(error)));
  if (info) platform_rate = vdo_map_get_uint32(info.get(), "statistics.bitrate", 0);

  const uint32_t computed =
      computed_bitrate(total, state.last_sample_bytes, now, state.last_sample_time);
  {
    MutexLock lock(control.lock);
    control.current_bitrate = platform_rate != 0 ? platform_rate : computed;
  }
  state.last_sample_time = now;
  state.bitrate_sample_due = now + kBitrateSampleInterval;
  state.last_sample_bytes = total;
}

void worker_finish(StreamControl &control, FramePumpState &state, CaptureSession *capture,
                   StreamRequest *request, char *error_text) {
  // 1. The camera's stream, when the capture got as far as starting it.
  if (capture) close_capture_stream(*capture);
  // 2. The held parameter sets.
  codec_config_clear(state.capture);
  // 3. Every platform error object was freed where it arose; none is pending.
  // 4. The output: trailer, goodbye, the server's close (bounded), FFmpeg objects.
  if (state.output_open || state.output.format_context) rtmp_output_close(state.output);
  state.output_open = false;
  // 5. The error that ended the run, if any, with the server's reason
  // when it gave one (the errno of a refusal rarely says what was wrong).
  if (error_text[0]) {
    append_server_reason(error_text, kMessageSize);
    {
      MutexLock lock(control.lock);
      copy_bounded(control.last_error, error_text);
    }
    // Messages quote values from the request.
    syslog(LOG_ERR, "%s", escape_control_bytes(error_text).c_str());
  }
  // 6. The request belongs to the worker.
  free_stream_request(request);
  // 7. The final state; worker_thread stays for whoever joins it.
  MutexLock lock(control.lock);
  control.running = 0;
  control.stop_requested = 0;
  control.current_bitrate = 0;
  if (!control.last_error[0]) copy_bounded(control.last_error, "Stream stopped.");
  control.destination[0] = '\0';
}
