// Small move-only owners for the C handles the program holds, one kind of
// owner per kind of handle. Where a release order is fixed, the code
// releases explicitly with reset() in that order; the owners make sure
// nothing leaks on the paths in between.
#pragma once

#include <curl/curl.h>
#include <glib-object.h>
#include <jansson.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <memory>

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T *handle) const {
    Release(handle);
  }
};

// ---- GLib ----

// GError: freed with g_error_free.
using ErrorOwner = std::unique_ptr<GError, ReleaseWith<g_error_free>>;

// Any GObject (VDO maps, D-Bus connections): one reference.
template <typename T>
using ObjectRef = std::unique_ptr<T, ReleaseWith<g_object_unref>>;

// GByteArray: freed with its data.
inline void free_byte_array(GByteArray *array) { g_byte_array_free(array, TRUE); }
using ByteArrayOwner = std::unique_ptr<GByteArray, ReleaseWith<free_byte_array>>;

// GVariant: one reference.
using VariantRef = std::unique_ptr<GVariant, ReleaseWith<g_variant_unref>>;

// g_malloc'ed text.
using TextOwner = std::unique_ptr<char, ReleaseWith<g_free>>;

// Writes into a GError** slot owned by an ErrorOwner:
//   ErrorOwner error; call(..., out_error(error));
class ErrorSlot {
 public:
  explicit ErrorSlot(ErrorOwner &owner) : owner_(owner) {}
  ~ErrorSlot() { owner_.reset(raw_); }
  operator GError **() { return &raw_; }

 private:
  ErrorOwner &owner_;
  GError *raw_ = nullptr;
};
inline ErrorSlot out_error(ErrorOwner &owner) { return ErrorSlot(owner); }

// ---- FFmpeg ----

// An output format context, released in two steps in this order: its
// connection is closed (a format without a file has none), then the
// context is freed with its streams and their parameters.
inline void close_output_context(AVFormatContext *context) {
  if (!(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
  avformat_free_context(context);
}
using OutputContextOwner = std::unique_ptr<AVFormatContext, ReleaseWith<close_output_context>>;

inline void free_codec_context(AVCodecContext *context) { avcodec_free_context(&context); }
using CodecContextOwner = std::unique_ptr<AVCodecContext, ReleaseWith<free_codec_context>>;

inline void free_packet(AVPacket *packet) { av_packet_free(&packet); }
using PacketOwner = std::unique_ptr<AVPacket, ReleaseWith<free_packet>>;

inline void free_frame(AVFrame *frame) { av_frame_free(&frame); }
using FrameOwner = std::unique_ptr<AVFrame, ReleaseWith<free_frame>>;

// ---- libcurl ----

using CurlOwner = std::unique_ptr<CURL, ReleaseWith<curl_easy_cleanup>>;
using HeaderListOwner = std::unique_ptr<curl_slist, ReleaseWith<curl_slist_free_all>>;

// ---- Jansson ----

// One reference to a JSON value (json_decref is inline in jansson.h).
inline void release_json(json_t *value) { json_decref(value); }
using JsonRef = std::unique_ptr<json_t, ReleaseWith<release_json>>;
