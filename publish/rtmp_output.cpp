// RTMP output: FLV muxer over FFmpeg's RTMP protocol, video packets and their times.
#include "publish/rtmp_output.h"

#include <syslog.h>

#include <climits>
#include <cstring>

#include "base/bounded_text.h"
#include "publish/codec_config.h"
#include "publish/ffmpeg_log.h"
#include "publish/output_interrupt.h"
#include "publish/silent_aac_track.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
constexpr int64_t kFallbackFrameDuration = 33333;  // µs, 30 fps
static_assert(AV_INPUT_BUFFER_PADDING_SIZE == 64, "stream headers carry 64 zero bytes after them");

bool has_file(const AVFormatContext *context) { return !(context->oformat->flags & AVFMT_NOFILE); }

// The TCP socket under the RTMP connection, which our FFmpeg exports for the
// delivery ledger's queries; -1 when it does not.
int connection_socket(AVIOContext *io) {
  int64_t socket = -1;
  if (av_opt_get_int(io, "rtmp_socket", AV_OPT_SEARCH_CHILDREN, &socket) < 0) return -1;
  return socket >= 0 && socket <= INT_MAX ? static_cast<int>(socket) : -1;
}

// The open up to the written header. Each failure writes its message and
// returns false at once, leaving what was created so far in `output` for
// the one release path of rtmp_output_open.
bool open_output(RtmpOutput &output, StreamControl &control, const CaptureSession &capture,
                 const char *destination, bool silent_audio, const GByteArray *extradata,
                 char *error_text) {
  const VideoFormat &format = video_format(capture.codec);
  const char *label = format.label;

  AVFormatContext *context = nullptr;
  int result = avformat_alloc_output_context2(&context, nullptr, "flv", destination);
  output.format_context.reset(context);
  if (result < 0 || !context) {
    format_bounded(error_text, kMessageSize, "Unable to create RTMP output: %s",
                   ffmpeg_error(result).text);
    return false;
  }

  AVStream *video = avformat_new_stream(context, nullptr);
  if (!video) {
    copy_bounded(error_text, kMessageSize, "Unable to create RTMP video stream");
    return false;
  }
  output.video_stream = video;
  AVCodecParameters *parameters = video->codecpar;
  parameters->codec_type = AVMEDIA_TYPE_VIDEO;
  parameters->codec_id = format.codec_id;
  parameters->width = static_cast<int>(capture.width > INT_MAX ? INT_MAX : capture.width);
  parameters->height = static_cast<int>(capture.height > INT_MAX ? INT_MAX : capture.height);
  video->avg_frame_rate =
      AVRational{static_cast<int>(capture.fps > INT_MAX ? INT_MAX : capture.fps), 1};
  video->time_base = kMicroseconds;
  if (extradata && extradata->len > 0) {
    // The stream's parameters own the copy; the context frees it with them.
    parameters->extradata =
        static_cast<uint8_t *>(av_mallocz(extradata->len + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters->extradata) {
      format_bounded(error_text, kMessageSize, "Unable to allocate %s stream headers", label);
      return false;
    }
    std::memcpy(parameters->extradata, extradata->data, extradata->len);
    parameters->extradata_size = static_cast<int>(extradata->len);
  }

  // The audio track needs the context and the video stream in place.
  if (silent_audio && !silent_aac_track_open(output, error_text)) return false;

  // Enhanced RTMP lies outside the official FLV format.
  if (format.enhanced_rtmp) context->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
  syslog(LOG_INFO, "Opening RTMP output for %s", label);
  context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  context->flush_packets = 1;

  // Every socket wait of this output (connect, handshake, writes, close)
  // can be cut short by a stop; a server that takes no data for
  // kWriteStallTimeout fails the stream instead of holding it.
  delivery_ledger_start(output.ledger, -1);  // nothing to track until connected
  output_interrupt_watch(output.interrupt, control, output.ledger);
  context->interrupt_callback = AVIOInterruptCB{output_interrupt_check, &output.interrupt};
  if (has_file(context)) {
    AVDictionary *io_options = nullptr;
    av_dict_set_int(&io_options, "rw_timeout", kWriteStallTimeout, 0);
    result = avio_open2(&context->pb, destination, AVIO_FLAG_WRITE, &context->interrupt_callback,
                        &io_options);
    av_dict_free(&io_options);
    if (result < 0) {
      format_bounded(error_text, kMessageSize, "Unable to connect to RTMP destination: %s",
                     ffmpeg_error(result).text);
      return false;
    }
    delivery_ledger_start(output.ledger, connection_socket(context->pb));
  }

  AVDictionary *options = nullptr;
  av_dict_set(&options, "flvflags", "no_duration_filesize", 0);
  result = avformat_write_header(context, &options);
  av_dict_free(&options);
  if (result < 0) {
    const FfmpegErrorText reason = ffmpeg_error(result);
    if (format.enhanced_rtmp) {
      format_bounded(error_text, kMessageSize,
                     "Unable to write Enhanced RTMP header for %s: %s. Confirm the destination "
                     "supports %s over Enhanced RTMP.",
                     label, reason.text, label);
    } else {
      format_bounded(error_text, kMessageSize, "Unable to write RTMP header: %s", reason.text);
    }
    return false;
  }
  return true;
}

// The one release path of a failed open, in this order: the connection,
// if it was made (within the close budget: it may be the stuck part), the
// audio encoder, then the context with its streams and their headers.
void discard_failed_open(RtmpOutput &output) {
  AVFormatContext *context = output.format_context.get();
  if (context && context->pb) {
    output_interrupt_limit(output.interrupt, kCloseBudget);
    avio_closep(&context->pb);
  }
  output.audio_encoder.reset();
  output.format_context.reset();
  output.video_stream = nullptr;
  output.audio_stream = nullptr;
  output.audio_next_pts = 0;
  output.audio_frame_size = 0;
  output.audio_enabled = 0;
}

// The packet's payload, time and flags, the silent audio before it, and the
// write. The caller unreferences the packet afterwards, whatever the result.
bool write_video_packet(RtmpOutput &output, AVPacket *packet, const uint8_t *payload,
                        std::size_t length, VideoPacketTime time, bool key, char *error_text) {
  const int result_alloc = length > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
                               ? AVERROR(ENOMEM)
                               : av_new_packet(packet, static_cast<int>(length));
  if (result_alloc < 0) {
    format_bounded(error_text, kMessageSize, "Unable to allocate packet payload: %s",
                   ffmpeg_error(result_alloc).text);
    return false;
  }
  // The whole frame as delivered; the muxer rewrites Annex-B for FLV.
  if (length) std::memcpy(packet->data, payload, length);

  if (output.audio_enabled && output.audio_encoder && output.audio_stream &&
      !silent_aac_track_fill(output, time.pts, error_text)) {
    return false;
  }

  // The muxer set the stream's time base when it wrote the header.
  const AVRational time_base = output.video_stream->time_base;
  const VideoPacketTime stream_time = rescale_video_packet_time(time, time_base.num, time_base.den);
  packet->stream_index = output.video_stream->index;
  packet->pts = stream_time.pts;
  packet->dts = stream_time.pts;
  packet->duration = stream_time.duration;
  packet->time_base = time_base;
  if (key) packet->flags |= AV_PKT_FLAG_KEY;

  // The muxer takes the payload, whatever the result. With the silent audio
  // ahead of this packet the muxer's interleaving holds it back for nothing:
  // it goes out now, and a counted frame is one handed to the connection.
  const int result = av_interleaved_write_frame(output.format_context.get(), packet);
  if (result < 0) {
    format_bounded(error_text, kMessageSize, "Unable to send RTMP packet: %s",
                   ffmpeg_error(result).text);
    return false;
  }
  return true;
}

}  // namespace

int64_t frame_duration_for(uint32_t fps) {
  if (fps == 0 || fps > 1000000) return kFallbackFrameDuration;
  return 1000000 / static_cast<int64_t>(fps);
}

VideoPacketTime video_packet_time(uint64_t base_timestamp, int64_t last_pts, int64_t frame_duration,
                                  uint64_t timestamp) {
  const bool has_candidate = timestamp >= base_timestamp;
  const auto candidate = has_candidate ? static_cast<int64_t>(timestamp - base_timestamp) : 0;
  if (last_pts < 0) return {candidate, frame_duration};
  // Never backwards, never twice the same time.
  if (!has_candidate || candidate <= last_pts) return {last_pts + frame_duration, frame_duration};
  return {candidate, candidate - last_pts};
}

VideoPacketTime rescale_video_packet_time(VideoPacketTime time, int time_base_num,
                                          int time_base_den) {
  const AVRational time_base = {time_base_num, time_base_den};
  VideoPacketTime rescaled = {av_rescale_q(time.pts, kMicroseconds, time_base),
                              av_rescale_q(time.duration, kMicroseconds, time_base)};
  // A gap shorter than the time base's unit still moves time on.
  if (rescaled.duration <= 0) rescaled.duration = 1;
  return rescaled;
}

bool rtmp_output_open(RtmpOutput &output, StreamControl &control, const CaptureSession &capture,
                      const char *destination, bool silent_audio, const GByteArray *extradata,
                      uint64_t timestamp, char *error_text) {
  if (!open_output(output, control, capture, destination, silent_audio, extradata, error_text)) {
    discard_failed_open(output);
    return false;
  }
  syslog(LOG_INFO, "RTMP output connected and %s header written%s",
         video_format(capture.codec).label, output.audio_enabled ? " with silent AAC audio" : "");
  output_interrupt_published(output.interrupt);
  output.base_timestamp = timestamp;
  output.last_pts = -1;
  output.frame_duration = frame_duration_for(capture.fps);
  return true;
}

bool rtmp_output_send_video(RtmpOutput &output, const uint8_t *payload, std::size_t length,
                            uint64_t timestamp, bool key, char *error_text) {
  // One packet for the whole run; each frame gives it a new payload.
  if (!output.video_packet) output.video_packet.reset(av_packet_alloc());
  AVPacket *packet = output.video_packet.get();
  if (!packet) {
    copy_bounded(error_text, kMessageSize, "Unable to allocate RTMP packet");
    return false;
  }
  const VideoPacketTime time =
      video_packet_time(output.base_timestamp, output.last_pts, output.frame_duration, timestamp);
  const bool written = write_video_packet(output, packet, payload, length, time, key, error_text);
  av_packet_unref(packet);  // the payload goes, the packet stays for the next frame
  if (!written) return false;
  if (output.format_context->pb) avio_flush(output.format_context->pb);
  delivery_ledger_add_frame(output.ledger);
  output.last_pts = time.pts;
  return true;
}

void rtmp_output_close(RtmpOutput &output) {
  AVFormatContext *context = output.format_context.get();
  if (!context) return;
  // What is left gets a bounded time, counted from a stop the output saw
  // while writing, else from now: the silent audio, the trailer, the
  // goodbye, and the wait for the server to close after ours (FFmpeg's
  // RTMP close half-closes and reads until then). A server that reads on
  // gets everything; when the time is up the rest is dropped and counted.
  output_interrupt_limit(output.interrupt, kCloseBudget);
  // In this order: the silent audio's encoder freed, the trailer (with the
  // audio the muxer still holds), the connection closed, the context freed.
  silent_aac_track_close(output);
  av_write_trailer(context);  // failures change nothing now
  output.format_context.reset();
  const DeliveryLedger &ledger = output.ledger;
  if (ledger.cut) {
    syslog(LOG_WARNING,
           "RTMP close ran out of time: %llu bytes not delivered, among them the last %llu "
           "frames counted as sent",
           static_cast<unsigned long long>(ledger.dropped_bytes),
           static_cast<unsigned long long>(ledger.dropped_frames));
  }
  output = RtmpOutput{};  // the run's packets and frame go with the rest
}
