// Creates, reads back and starts the camera's video stream for one worker run.
#include "capture/capture_stream.h"

#include <syslog.h>

#include <cmath>

#include "base/bounded_text.h"
#include "base/log_text.h"
#include "base/owners.h"
#include "capture/capture_settings.h"
#include "capture/details_text.h"
#include "capture/utf8_text.h"

uint32_t whole_frame_rate(double reported) {
  double rounded = reported + 0.5;
  uint32_t fps = 0;
  if (std::isnan(rounded) || rounded < 1.0)
    fps = 0;
  else if (rounded >= 4294967296.0)
    fps = UINT32_MAX;
  else
    fps = static_cast<uint32_t>(rounded);
  return fps ? fps : 30;
}

namespace {

// The profile and stream details, published into `control`.
void publish_details(StreamControl &control, const StreamRequest &request,
                     const StreamProfileConfig &config, const CaptureSession &capture) {
  char profile_details[kDetailsSize];
  char stream_details[kDetailsSize];
  GString *text = format_profile_details(config, request.profile_name);
  copy_bounded_utf8(profile_details, text->str);
  g_string_free(text, TRUE);
  text = format_stream_details(config, request.profile_name, request.silent_audio, capture.width,
                               capture.height, capture.fps);
  copy_bounded_utf8(stream_details, text->str);
  g_string_free(text, TRUE);
  publish_capture_details(control, profile_details, stream_details);
}

// The capture up to the started stream. Each failure writes its message and
// returns false at once, leaving what was created so far in `capture` for
// the one release path of open_capture_stream.
bool start_capture(StreamControl &control, const StreamRequest &request,
                   const StreamProfileConfig &config, CaptureSession &capture, char *error_text) {
  capture.settings = build_capture_settings(config);

  ErrorOwner error;
  capture.stream = vdo_stream_new(capture.settings, nullptr, out_error(error));
  if (!capture.stream) {
    format_bounded(error_text, kMessageSize, "Failed to create VDO stream: %s",
                   error_message_or_unknown(error.get()));
    return false;
  }

  capture.info = vdo_stream_get_info(capture.stream, out_error(error));
  if (!capture.info) {
    format_bounded(error_text, kMessageSize, "Failed to read VDO stream info: %s",
                   error_message_or_unknown(error.get()));
    return false;
  }
  // What the camera delivers overrides what the profile asked for.
  capture.width = vdo_map_get_uint32(capture.info, "width", 640);
  capture.height = vdo_map_get_uint32(capture.info, "height", 360);
  capture.fps = whole_frame_rate(vdo_map_get_double(capture.info, "framerate", 30.0));

  publish_details(control, request, config, capture);

  if (!vdo_stream_start(capture.stream, out_error(error))) {
    format_bounded(error_text, kMessageSize, "Failed to start VDO stream: %s",
                   error_message_or_unknown(error.get()));
    return false;
  }
  return true;
}

}  // namespace

bool open_capture_stream(StreamControl &control, const StreamRequest &request,
                         const StreamProfileConfig &config, CaptureSession &capture,
                         char *error_text) {
  capture = {};
  capture.codec = config.codec;
  if (!start_capture(control, request, config, capture, error_text)) {
    // The one release path of a failed capture, whatever it got to: the
    // stream stopped (also one that never started) and released, then the
    // settings map; the information map last. The details stay published.
    close_capture_stream(capture);
    return false;
  }

  const char *codec = video_format(capture.codec).label;
  if (request.profile_name && request.profile_name[0])
    syslog(LOG_INFO,
           "Started VDO %s stream for RTMP output at %ux%u, %u fps using stream profile '%s'",
           codec, capture.width, capture.height, capture.fps,
           escape_control_bytes(request.profile_name).c_str());
  else
    syslog(LOG_INFO, "Started VDO %s stream for RTMP output at %ux%u, %u fps", codec,
           capture.width, capture.height, capture.fps);
  return true;
}
