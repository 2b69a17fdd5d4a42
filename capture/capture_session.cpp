// The release of a capture session.
#include "capture/capture_session.h"

void close_capture_stream(CaptureSession &capture) {
  // Fixed order: stop, stream, settings, info.
  if (capture.stream) {
    vdo_stream_stop(capture.stream);
    g_object_unref(capture.stream);
    capture.stream = nullptr;
  }
  if (capture.settings) {
    g_object_unref(capture.settings);
    capture.settings = nullptr;
  }
  if (capture.info) {
    g_object_unref(capture.info);
    capture.info = nullptr;
  }
}
