// The optional silent AAC track of the RTMP output: stereo 44.1 kHz digital
// silence, fed up to each video packet's presentation time.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "publish/rtmp_output_record.h"

inline constexpr int kSilentAacSampleRate = 44100;
inline constexpr int kSilentAacBitRate = 64000;
inline constexpr int kSilentAacChannels = 2;
inline constexpr int32_t kSilentAacDefaultFrameSize = 1024;
// How far the fed silence may run ahead of the video, µs: AAC needs about
// three frames (70 ms); this bounds the feeding should an encoder hold more.
inline constexpr int64_t kSilentAacMaxLead = 1000000;

// Planar float when listed (or when there is no list), else the first listed.
AVSampleFormat choose_silent_aac_sample_format(const AVSampleFormat *formats, int count);

// Adds the audio stream (second) and opens the encoder; the format context
// and the video stream exist already. On failure the audio stream stays in
// the context, which the failed open frees.
bool silent_aac_track_open(RtmpOutput &output, char *error_text);
// Encodes and writes silence until the muxer has an audio packet that starts
// after `video_pts` (µs).
bool silent_aac_track_fill(RtmpOutput &output, int64_t video_pts, char *error_text);
// Writes every packet the encoder has ready; the message is cut to `size`.
bool silent_aac_track_drain(RtmpOutput &output, char *message, std::size_t size);
// Ends the encoder and frees it. What it still holds lies after the last
// picture and is dropped, not sent.
void silent_aac_track_close(RtmpOutput &output);
