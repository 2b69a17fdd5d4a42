// PLACEHOLDER until the publishing work lands: reads and drops frames until
// a stop, and finishes the worker with its final write-back.
#include "publish/frame_pump.h"

#include <syslog.h>

#include "app/bounded_text.h"
#include "app/stream_control.h"

void frame_pump_begin(FramePumpState &state) { state = {}; }

bool frame_pump_run(FramePumpState &, CaptureSession &capture, const StreamRequest &, char *error_text) {
  for (;;) {
    {
      StreamLock lock;
      if (app_state.stream.stop_requested) return true;
    }
    GError *error = nullptr;
    VdoBuffer *buffer = vdo_stream_get_buffer(capture.stream, &error);
    if (!buffer) {
      if (error && error->domain == VDO_ERROR && error->code == VDO_ERROR_NO_DATA) {
        g_clear_error(&error);
        continue;
      }
      format_bounded(error_text, kMessageSize, "VDO stream error: %s", error_message_or_unknown(error));
      g_clear_error(&error);
      return false;
    }
    vdo_stream_buffer_unref(capture.stream, &buffer, nullptr);
  }
}

void worker_finish(FramePumpState &, CaptureSession *capture, StreamRequest *request, char *error_text) {
  if (capture && capture->stream) close_capture_stream(*capture);
  if (error_text[0]) {
    {
      StreamLock lock;
      copy_bounded(app_state.stream.last_error, error_text);
    }
    syslog(LOG_ERR, "%s", error_text);
  }
  free_stream_request(request);
  StreamLock lock;
  StreamControl &control = app_state.stream;
  control.running = 0;
  control.stop_requested = 0;
  control.current_bitrate = 0;
  if (!control.last_error[0]) copy_bounded(control.last_error, "Stream stopped.");
  control.destination[0] = '\0';
}
