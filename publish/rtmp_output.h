// The FLV-over-RTMP output of one worker run, with the optional silent AAC track.
#pragma once

#include <glib.h>

#include <cstdint>

#include "capture/capture_stream.h"

struct AVFormatContext;
struct AVStream;
struct AVCodecContext;

struct RtmpOutput {
  AVFormatContext *format_context;  // owned; null while closed
  AVStream *video_stream;           // owned by the context
  // The silent AAC track.
  AVStream *audio_stream;           // owned by the context
  AVCodecContext *audio_encoder;    // owned
  uint64_t base_timestamp;          // capture time of the opening frame, µs
  int64_t last_pts;                 // µs; -1 before the first packet
  int64_t frame_duration;           // µs
  int64_t audio_next_pts;           // samples
  int32_t audio_frame_size;         // samples per frame
  uint32_t audio_enabled;
};

inline constexpr std::size_t kFfmpegErrorSize = 128;

void format_ffmpeg_error(int code, char (&ffmpeg_error_text)[kFfmpegErrorSize]);

bool rtmp_output_open(RtmpOutput &output, const CaptureSession &capture, const char *destination,
                      uint32_t silent_audio, const GByteArray *extradata, uint64_t timestamp,
                      char *error_text);
bool rtmp_output_send_video(RtmpOutput &output, const uint8_t *payload, std::size_t length,
                            uint64_t timestamp, bool key, char *error_text);
void rtmp_output_close(RtmpOutput &output);
