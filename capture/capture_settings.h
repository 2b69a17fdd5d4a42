// The VDO settings map that a parsed stream profile asks the camera for.
#pragma once

#include "capture/stream_profile.h"
#include "vdo.h"

// A new map the caller owns (g_object_unref): codec, chunked frames and
// resolution always, the profile's other capture keys when given.
VdoMap *build_capture_settings(const StreamProfileConfig &config);
