// The FLV-over-RTMP output of one worker run, with the optional silent AAC track.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "base/stream_records.h"
#include "capture/capture_session.h"
#include "publish/rtmp_output_record.h"

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

// Opens the output on the opening keyframe; a stop requested on `control`
// interrupts its network waits from now until it is closed. On failure
// `error_text` holds the message and nothing the open created is left: the
// output has no context.
bool rtmp_output_open(RtmpOutput &output, StreamControl &control, const CaptureSession &capture,
                      const char *destination, bool silent_audio, const GByteArray *extradata,
                      uint64_t timestamp, char *error_text);
// Writes one video packet, preceded by the silent audio up to its time.
bool rtmp_output_send_video(RtmpOutput &output, const uint8_t *payload, std::size_t length,
                            uint64_t timestamp, bool key, char *error_text);
// Flushes the silent audio, writes the trailer, closes the connection and
// frees the FFmpeg objects; nothing when the output is closed.
void rtmp_output_close(RtmpOutput &output);
