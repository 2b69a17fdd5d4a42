// The "rtmp-stream" worker: parse the profile, start the camera's stream,
// then hand over to the frame pump; every path ends in worker_finish.
#include "capture/stream_worker.h"

extern "C" {
#include <libavutil/log.h>
}

#include "base/mutex_lock.h"
#include "base/stream_records.h"
#include "capture/capture_stream.h"
#include "capture/stream_profile.h"
#include "publish/ffmpeg_log.h"
#include "publish/frame_pump.h"

void *stream_worker(void *data) {
  auto *request = static_cast<StreamRequest *>(data);
  StreamControl &control = *request->control;
  // Reads the start time first: the pump's 5-second timers count from here.
  FramePumpState state;
  frame_pump_begin(state);
  {
    MutexLock lock(control.lock);
    control.last_error[0] = '\0';
  }

  StreamProfileConfig config{};
  CaptureSession capture{};
  char error_text[kMessageSize] = "";
  av_log_set_level(AV_LOG_WARNING);
  route_ffmpeg_log_to_syslog();

  if (request->profile_parameters && request->profile_parameters[0] &&
      !parse_stream_profile(request->profile_parameters, config, error_text)) {
    worker_finish(control, state, nullptr, request, error_text);
    return nullptr;
  }
  if (!open_capture_stream(control, *request, config, capture, error_text)) {
    worker_finish(control, state, nullptr, request, error_text);
    return nullptr;
  }
  frame_pump_run(control, state, capture, *request, error_text);
  // The finish closes the capture and frees the request.
  worker_finish(control, state, &capture, request, error_text);
  return nullptr;
}
