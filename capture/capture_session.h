// The CaptureSession: the camera's started video stream, handed from the
// worker's capture phase to the frame pump, and its release.
#pragma once

#include <cstdint>

#include "base/video_format.h"
#include "vdo.h"

struct CaptureSession {
  VdoStream *stream;  // one reference, the worker's
  VdoMap *settings;   // the worker's for the whole run
  VdoMap *info;       // the worker's for the whole run
  VideoCodecKind codec;
  uint32_t width;
  uint32_t height;
  uint32_t fps;  // whole frames per second, never 0
};

// Stops the stream, then releases stream, settings and info, in that order.
void close_capture_stream(CaptureSession &capture);
