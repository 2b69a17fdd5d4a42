// The FLV-over-RTMP output of one worker run, with the optional silent AAC track.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "capture/capture_stream.h"

struct AVFormatContext;
struct AVStream;
struct AVCodecContext;

// What the I/O interrupt callback of an open output looks at (see
// publish/output_interrupt.h). Lives inside the RtmpOutput, so the output
// must stay in place while it is open.
struct OutputInterrupt {
  int64_t operation_start;  // av_gettime_relative() when the current network operation began
  int64_t deadline;         // 0, or the time after which every wait is cut short
  uint32_t tripped;         // an operation was abandoned: the connection is stuck
};

struct RtmpOutput {
  AVFormatContext *format_context;  // owned; null while closed
  AVStream *video_stream;           // owned by the context
  // The silent AAC track.
  AVStream *audio_stream;         // owned by the context
  AVCodecContext *audio_encoder;  // owned
  uint64_t base_timestamp;        // capture time of the opening frame, µs
  int64_t last_pts;               // µs; -1 before the first packet
  int64_t frame_duration;         // µs
  int64_t audio_next_pts;         // samples
  int32_t audio_frame_size;       // samples per frame
  uint32_t audio_enabled;
  OutputInterrupt interrupt;
  // How long a write may make no progress before the stream fails; 0 means
  // the default (kWriteStallTimeout). Set before the open.
  int64_t write_stall_timeout;
};

inline constexpr std::size_t kFfmpegErrorSize = 128;

// A server that takes no data for this long ends the stream with
// "Unable to send RTMP packet: ..." instead of holding the worker.
inline constexpr int64_t kWriteStallTimeout = 15000000;  // µs

void format_ffmpeg_error(int code, char (&ffmpeg_error_text)[kFfmpegErrorSize]);

// format_ffmpeg_error's text as a value, for use inside one message:
//   format_bounded(..., "Unable to ...: %s", ffmpeg_error(code).text)
struct FfmpegErrorText {
  char text[kFfmpegErrorSize];
};
FfmpegErrorText ffmpeg_error(int code);

// Nominal frame duration in µs for a whole frame rate.
int64_t frame_duration_for(uint32_t fps);

// Presentation time and duration of one video packet, in µs.
struct VideoPacketTime {
  int64_t pts;
  int64_t duration;
};
VideoPacketTime video_packet_time(uint64_t base_timestamp, int64_t last_pts, int64_t frame_duration,
                                  uint64_t timestamp);

// The same in a stream time base (num/den); duration at least 1.
VideoPacketTime rescale_video_packet_time(VideoPacketTime time, int time_base_num,
                                          int time_base_den);

bool rtmp_output_open(RtmpOutput &output, const CaptureSession &capture, const char *destination,
                      uint32_t silent_audio, const GByteArray *extradata, uint64_t timestamp,
                      char *error_text);
bool rtmp_output_send_video(RtmpOutput &output, const uint8_t *payload, std::size_t length,
                            uint64_t timestamp, bool key, char *error_text);
void rtmp_output_close(RtmpOutput &output);
