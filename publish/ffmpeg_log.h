// FFmpeg's own diagnostics go to the system log like every other line, and
// FFmpeg's error codes become the text of the program's messages.
#pragma once

#include <cstddef>

inline constexpr std::size_t kFfmpegErrorSize = 128;

// Installs FFmpeg's log callback (process-wide, idempotent).
void route_ffmpeg_log_to_syslog();

// Adds " (server: <reason>)" to a failure's message when the RTMP server
// refused something on this thread and gave its reason (FFmpeg logs it as
// "Server error: <reason>"); the message stays within `capacity` bytes.
// Each worker run is a thread of its own, so the reason is that run's.
void append_server_reason(char *message, std::size_t capacity);

// av_strerror's text for `code`, or "FFmpeg error <code>" when it has none.
void format_ffmpeg_error(int code, char (&ffmpeg_error_text)[kFfmpegErrorSize]);

// format_ffmpeg_error's text as a value, for use inside one message:
//   format_bounded(..., "Unable to ...: %s", ffmpeg_error(code).text)
struct FfmpegErrorText {
  char text[kFfmpegErrorSize];
};
FfmpegErrorText ffmpeg_error(int code);
