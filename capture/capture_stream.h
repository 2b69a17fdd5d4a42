// The worker's capture phase: create, read back and start the camera's
// video stream.
#pragma once

#include <cstdint>

#include "base/stream_records.h"
#include "capture/capture_session.h"
#include "capture/stream_profile.h"

// Creates, reads back and starts the stream; the details texts go into
// `control`. On failure `error_text` holds the message and everything the
// open created has been released.
bool open_capture_stream(StreamControl &control, const StreamRequest &request,
                         const StreamProfileConfig &config, CaptureSession &capture,
                         char *error_text);

// The stream's reported frame rate as whole frames per second: rounded
// half up, saturated to 32 bits, and 30 when that gives 0 (or NaN).
uint32_t whole_frame_rate(double reported);
