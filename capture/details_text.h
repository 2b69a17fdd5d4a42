// The two human-readable texts about a stream: what its profile asked for
// and what the running stream delivers.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "base/stream_records.h"
#include "capture/stream_profile.h"

inline constexpr std::size_t kDetailsSize = 1024;  // both details fields, with the NUL
inline constexpr const char *kDefaultProfileLabel = "Default H.264 640x360";

// "CBR", "VBR", "MBR", "ABR", or "None" for anything else.
const char *rate_control_label(RateControlMode mode);

// Appends "\n<label>: ..." in kbps (rounded up) below 1 Mbps, else in Mbps
// with two decimals; 0 reads "unlimited".
void append_bitrate_line(GString *text, const char *label, uint32_t bits_per_second);

// New strings the caller frees. `profile_name` may be null or empty.
GString *format_profile_details(const StreamProfileConfig &config, const char *profile_name);
GString *format_stream_details(const StreamProfileConfig &config, const char *profile_name,
                               bool silent_audio, uint32_t width, uint32_t height,
                               uint32_t fps);

// Stores both texts into `control` in one locked section, then logs them.
void publish_capture_details(StreamControl &control, const char *profile_details,
                             const char *stream_details);
