// FFmpeg's log lines in the system log, and the text of FFmpeg's error codes.
// The log callback: messages at or above the level the worker sets become
// warning lines of the system log instead of standard error; the RTMP
// server's own reason for a refusal is kept for the run's last error.
#include "publish/ffmpeg_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "base/bounded_text.h"
#include "base/log_text.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

// FFmpeg may deliver one line in several calls; each thread collects its
// own until the line ends.
thread_local std::string pending_line;
thread_local int print_prefix = 1;

// The status text of the server's last refusal (FFmpeg's RTMP client keeps
// at most 255 bytes of it).
thread_local char server_reason[256];
constexpr char kServerErrorPrefix[] = "Server error: ";

void keep_server_reason(int level, const char *format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[sizeof kServerErrorPrefix + sizeof server_reason];
  int no_prefix = 0;  // the message alone, without "[rtmp @ 0x...]"
  av_log_format_line2(nullptr, level, format, args, line, sizeof line, &no_prefix);
  if (std::strncmp(line, kServerErrorPrefix, sizeof kServerErrorPrefix - 1) != 0) return;
  copy_bounded(server_reason, line + sizeof kServerErrorPrefix - 1);
  std::size_t length = std::strlen(server_reason);
  while (length && (server_reason[length - 1] == '\n' || server_reason[length - 1] == '\r'))
    server_reason[--length] = '\0';
}

void log_to_syslog(void *context, int level, const char *format, va_list args) {
  if (level > av_log_get_level()) return;
  va_list reason_args;
  va_copy(reason_args, args);
  keep_server_reason(level, format, reason_args);
  va_end(reason_args);
  char part[1024];
  av_log_format_line2(context, level, format, args, part, sizeof part, &print_prefix);
  pending_line += part;
  if (pending_line.empty() || pending_line.back() != '\n') {
    if (pending_line.size() < 4096) return;
  }
  while (!pending_line.empty() && (pending_line.back() == '\n' || pending_line.back() == '\r'))
    pending_line.pop_back();
  // FFmpeg's lines quote the destination's host and path.
  if (!pending_line.empty())
    syslog(LOG_WARNING, "FFmpeg: %s", escape_control_bytes(pending_line.c_str()).c_str());
  pending_line.clear();
}

}  // namespace

void route_ffmpeg_log_to_syslog() { av_log_set_callback(log_to_syslog); }

void append_server_reason(char *message, std::size_t capacity) {
  if (!server_reason[0] || !message[0]) return;
  const std::size_t length = std::strlen(message);
  if (length + 1 >= capacity) return;
  format_bounded(message + length, capacity - length, " (server: %s)", server_reason);
}

void format_ffmpeg_error(int code, char (&ffmpeg_error_text)[kFfmpegErrorSize]) {
  if (av_strerror(code, ffmpeg_error_text, sizeof ffmpeg_error_text) < 0) {
    format_bounded(ffmpeg_error_text, sizeof ffmpeg_error_text, "FFmpeg error %d", code);
  }
}

FfmpegErrorText ffmpeg_error(int code) {
  FfmpegErrorText error;
  format_ffmpeg_error(code, error.text);
  return error;
}
