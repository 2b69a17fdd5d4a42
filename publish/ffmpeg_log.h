// FFmpeg's own diagnostics go to the system log like every other line, and
// FFmpeg's error codes become the text of the program's messages.
#pragma once

#include <cstddef>

inline constexpr std::size_t kFfmpegErrorSize = 128;

// Installs FFmpeg's log callback (process-wide, idempotent).
void route_ffmpeg_log_to_syslog();

// av_strerror's text for `code`, or "FFmpeg error <code>" when it has none.
void format_ffmpeg_error(int code, char (&ffmpeg_error_text)[kFfmpegErrorSize]);

// format_ffmpeg_error's text as a value, for use inside one message:
//   format_bounded(..., "Unable to ...: %s", ffmpeg_error(code).text)
struct FfmpegErrorText {
  char text[kFfmpegErrorSize];
};
FfmpegErrorText ffmpeg_error(int code);
