// FFmpeg's own diagnostics go to the system log like every other line.
#pragma once

// Installs FFmpeg's log callback (process-wide, idempotent).
void route_ffmpeg_log_to_syslog();
