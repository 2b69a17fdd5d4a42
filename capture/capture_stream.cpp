// Creates, reads back and starts the camera's video stream for one worker run.
#include "capture/capture_stream.h"

#include <syslog.h>

#include <cmath>

#include "base/bounded_text.h"
#include "base/log_text.h"
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

bool open_capture_stream(StreamControl &control, const StreamRequest &request,
                         const StreamProfileConfig &config, CaptureSession &capture,
                         char *error_text) {
  capture = {};
  capture.codec = config.codec;
  VdoMap *settings = build_capture_settings(config);

  GError *error = nullptr;
  VdoStream *stream = vdo_stream_new(settings, nullptr, &error);
  if (!stream) {
    format_bounded(error_text, kMessageSize, "Failed to create VDO stream: %s",
                   error_message_or_unknown(error));
    g_clear_error(&error);
    g_object_unref(settings);
    return false;
  }

  VdoMap *info = vdo_stream_get_info(stream, &error);
  if (!info) {
    format_bounded(error_text, kMessageSize, "Failed to read VDO stream info: %s",
                   error_message_or_unknown(error));
    g_clear_error(&error);
    // Never started, but stopped all the same before the stream goes, and
    // the settings map outlives the stream.
    vdo_stream_stop(stream);
    g_object_unref(stream);
    g_object_unref(settings);
    return false;
  }

  // From here on the session owns the three objects; close_capture_stream releases them.
  capture.stream = stream;
  capture.settings = settings;
  capture.info = info;
  // What the camera delivers overrides what the profile asked for.
  capture.width = vdo_map_get_uint32(info, "width", 640);
  capture.height = vdo_map_get_uint32(info, "height", 360);
  capture.fps = whole_frame_rate(vdo_map_get_double(info, "framerate", 30.0));

  char profile_details[kDetailsSize];
  char stream_details[kDetailsSize];
  {
    GString *text = format_profile_details(config, request.profile_name);
    copy_bounded_utf8(profile_details, text->str);
    g_string_free(text, TRUE);
    text = format_stream_details(config, request.profile_name, request.silent_audio, capture.width,
                                 capture.height, capture.fps);
    copy_bounded_utf8(stream_details, text->str);
    g_string_free(text, TRUE);
  }
  publish_capture_details(control, profile_details, stream_details);

  if (!vdo_stream_start(stream, &error)) {
    format_bounded(error_text, kMessageSize, "Failed to start VDO stream: %s",
                   error_message_or_unknown(error));
    g_clear_error(&error);
    // capture.stream stays set: the worker's finish closes the whole session.
    return false;
  }

  const char *codec = video_format(capture.codec).label;
  if (request.profile_name && request.profile_name[0])
    syslog(LOG_INFO, "Started VDO %s stream for RTMP output at %ux%u, %u fps using stream profile '%s'",
           codec, capture.width, capture.height, capture.fps,
           escape_control_bytes(request.profile_name).c_str());
  else
    syslog(LOG_INFO, "Started VDO %s stream for RTMP output at %ux%u, %u fps", codec, capture.width,
           capture.height, capture.fps);
  return true;
}
