// Silent AAC track: encoder set-up, silence generation, drain and close.
#include "publish/silent_aac_track.h"

#include "base/bounded_text.h"
#include "publish/ffmpeg_log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
constexpr AVRational kSampleTime = {1, kSilentAacSampleRate};

// The encoder's settings; the sample format is planar float unless the
// encoder lists others only.
void configure_encoder(AVCodecContext *context, const AVCodec *encoder,
                       const AVFormatContext *format_context) {
  context->bit_rate = kSilentAacBitRate;
  context->codec_type = AVMEDIA_TYPE_AUDIO;
  context->codec_id = AV_CODEC_ID_AAC;
  context->sample_rate = kSilentAacSampleRate;
  const void *formats = nullptr;
  int format_count = 0;
  if (avcodec_get_supported_config(nullptr, encoder, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &formats,
                                   &format_count) < 0) {
    formats = nullptr;
    format_count = 0;
  }
  context->sample_fmt =
      choose_silent_aac_sample_format(static_cast<const AVSampleFormat *>(formats), format_count);
  context->time_base = AVRational{1, kSilentAacSampleRate};
  av_channel_layout_default(&context->ch_layout, kSilentAacChannels);
  if (format_context->oformat->flags & AVFMT_GLOBALHEADER) {
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
}

// Fills `frame` with one frame of silence at audio_next_pts and hands it to
// the encoder. The caller unreferences the frame afterwards, whatever the result.
bool encode_silent_frame(RtmpOutput &output, AVFrame *frame, char *error_text) {
  AVCodecContext *encoder = output.audio_encoder.get();
  frame->format = encoder->sample_fmt;
  frame->sample_rate = encoder->sample_rate;
  frame->nb_samples = output.audio_frame_size;
  frame->pts = output.audio_next_pts;
  int result = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to copy AAC channel layout: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  result = av_frame_get_buffer(frame, 0);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to allocate silent AAC samples: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  result = av_samples_set_silence(frame->extended_data, 0, frame->nb_samples,
                                  encoder->ch_layout.nb_channels, encoder->sample_fmt);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to prepare silent AAC samples: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  result = avcodec_send_frame(encoder, frame);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to send silent AAC frame: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  return true;
}

}  // namespace

AVSampleFormat choose_silent_aac_sample_format(const AVSampleFormat *formats, int count) {
  if (!formats || count <= 0) return AV_SAMPLE_FMT_FLTP;
  for (int i = 0; i < count; ++i) {
    if (formats[i] == AV_SAMPLE_FMT_FLTP) return AV_SAMPLE_FMT_FLTP;
  }
  return formats[0];
}

bool silent_aac_track_open(RtmpOutput &output, char *error_text) {
  const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!encoder) {
    copy_bounded(error_text, kMessageSize, "AAC encoder is not available");
    return false;
  }
  AVStream *stream = avformat_new_stream(output.format_context.get(), nullptr);
  if (!stream) {
    copy_bounded(error_text, kMessageSize, "Unable to create RTMP audio stream");
    return false;
  }
  // Freed by its owner on every failure below; the track owns it once open.
  CodecContextOwner context(avcodec_alloc_context3(encoder));
  if (!context) {
    copy_bounded(error_text, kMessageSize, "Unable to allocate AAC encoder");
    return false;
  }
  configure_encoder(context.get(), encoder, output.format_context.get());
  int result = avcodec_open2(context.get(), encoder, nullptr);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to open AAC encoder: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  result = avcodec_parameters_from_context(stream->codecpar, context.get());
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to configure RTMP audio stream: %s",
                   ffmpeg_error(result).text);
    return false;
  }

  output.audio_stream = stream;
  output.audio_encoder = std::move(context);  // freed by silent_aac_track_close or the failed open
  stream->time_base = output.audio_encoder->time_base;
  output.audio_frame_size = output.audio_encoder->frame_size > 0 ? output.audio_encoder->frame_size
                                                                  : kSilentAacDefaultFrameSize;
  output.audio_next_pts = 0;
  output.audio_written_pts = INT64_MIN;
  output.audio_enabled = 1;
  return true;
}

bool silent_aac_track_fill(RtmpOutput &output, int64_t video_pts, char *error_text) {
  // The encoder gives a packet out a few frames after their silence went in.
  // Fed until a packet that starts after the video packet has gone to the
  // muxer, the audio is ahead, and the muxer's interleaving passes the video
  // packet straight on instead of holding it for audio still to come.
  while (output.audio_written_pts <= video_pts &&
         av_rescale_q(output.audio_next_pts, kSampleTime, kMicroseconds) <=
             video_pts + kSilentAacMaxLead) {
    // One frame for the whole run; each silent frame takes new samples.
    if (!output.audio_frame) output.audio_frame.reset(av_frame_alloc());
    AVFrame *frame = output.audio_frame.get();
    if (!frame) {
      copy_bounded(error_text, kMessageSize, "Unable to allocate silent AAC frame");
      return false;
    }
    const bool sent = encode_silent_frame(output, frame, error_text);
    av_frame_unref(frame);  // the encoder holds its own reference to the samples
    if (!sent) return false;
    output.audio_next_pts += output.audio_frame_size;
    if (!silent_aac_track_drain(output, error_text, kMessageSize)) return false;
  }
  return true;
}

bool silent_aac_track_drain(RtmpOutput &output, char *message, std::size_t size) {
  if (!output.audio_packet) output.audio_packet.reset(av_packet_alloc());
  AVPacket *packet = output.audio_packet.get();
  if (!packet) {
    copy_bounded(message, size, "Unable to allocate RTMP audio packet");
    return false;
  }
  AVCodecContext *encoder = output.audio_encoder.get();
  for (;;) {
    int result = avcodec_receive_packet(encoder, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) {
      format_bounded(message, size, "Unable to encode silent AAC packet: %s",
                     ffmpeg_error(result).text);
      return false;
    }
    output.audio_written_pts = av_rescale_q(packet->pts, encoder->time_base, kMicroseconds);
    // The muxer may have changed the stream's time base with the header.
    av_packet_rescale_ts(packet, encoder->time_base, output.audio_stream->time_base);
    packet->stream_index = output.audio_stream->index;
    packet->time_base = output.audio_stream->time_base;
    // The muxer takes the packet's data, whatever the result; the packet is blank again.
    result = av_interleaved_write_frame(output.format_context.get(), packet);
    if (result < 0) {
      format_bounded(message, size, "Unable to send silent AAC packet: %s",
                     ffmpeg_error(result).text);
      return false;
    }
  }
}

void silent_aac_track_close(RtmpOutput &output) {
  // With the audio kept ahead, what the encoder still holds is silence after
  // the last picture: sent, it would only make the track longer than the
  // video. It is taken out and dropped, so the encoder ends empty.
  AVCodecContext *encoder = output.audio_encoder.get();
  AVPacket *packet = output.audio_packet.get();
  if (encoder && packet && avcodec_send_frame(encoder, nullptr) >= 0) {
    while (avcodec_receive_packet(encoder, packet) >= 0) av_packet_unref(packet);
  }
  output.audio_encoder.reset();
}
