// Encodes the emulator's H.264 clip with libx264: closed GOPs, no B-frames,
// SPS and PPS in-band before every IDR picture.
#include <cstdint>
// x264.h needs the fixed-width types first.
#include <x264.h>

#include <cmath>
#include <memory>

#include "clip.h"
#include "codecs.h"
#include "test_pattern.h"

namespace vdo_emulator {
namespace {

int kbps(uint32_t bits_per_second) { return static_cast<int>(std::max<uint32_t>(1, (bits_per_second + 999) / 1000)); }

uint32_t frame_type_of(const x264_picture_t &picture) {
  switch (picture.i_type) {
    case X264_TYPE_IDR: return TYPE_H264_IDR;
    case X264_TYPE_I:
    case X264_TYPE_KEYFRAME: return TYPE_H264_I;
    case X264_TYPE_B:
    case X264_TYPE_BREF: return TYPE_H264_B;
    default: return TYPE_H264_P;
  }
}

void collect(Clip &clip, const x264_nal_t *nals, int count, const x264_picture_t &out) {
  ClipFrame frame{{}, frame_type_of(out), out.i_type == X264_TYPE_IDR};
  for (int i = 0; i < count; ++i) append_annexb_units(frame.bytes, nals[i].p_payload, nals[i].i_payload);
  clip.frames.push_back(std::move(frame));
}

}  // namespace

std::string x264_build() { return "x264-" + std::to_string(X264_BUILD); }

bool encode_h264(const StreamSetup &setup, Clip &clip, std::string &error) {
  x264_param_t param;
  if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) {
    error = "x264 refused its preset";
    return false;
  }
  param.i_log_level = X264_LOG_NONE;
  param.i_width = static_cast<int>(setup.width);
  param.i_height = static_cast<int>(setup.height);
  param.i_csp = X264_CSP_I420;
  param.i_fps_num = setup.fps_num;
  param.i_fps_den = setup.fps_den;
  param.i_timebase_num = setup.fps_den;
  param.i_timebase_den = setup.fps_num;
  param.b_vfr_input = 0;
  // Frame threads rather than slices: one slice per picture, like most cameras.
  param.i_threads = X264_THREADS_AUTO;
  param.b_sliced_threads = 0;
  param.i_keyint_max = static_cast<int>(setup.gop_frames);
  param.i_keyint_min = static_cast<int>(setup.gop_frames);
  param.i_scenecut_threshold = 0;
  param.i_bframe = 0;
  param.b_open_gop = 0;
  param.b_repeat_headers = 1;
  param.b_annexb = 1;
  param.b_aud = 0;
  switch (setup.rate_mode) {
    case EncoderRateMode::QUALITY:
      param.rc.i_rc_method = X264_RC_CRF;
      param.rc.f_rf_constant = static_cast<float>(h26x_rate_factor(setup.compression));
      break;
    case EncoderRateMode::CAPPED_QUALITY:
      param.rc.i_rc_method = X264_RC_CRF;
      param.rc.f_rf_constant = static_cast<float>(h26x_rate_factor(setup.compression));
      param.rc.i_vbv_max_bitrate = kbps(setup.bitrate);
      param.rc.i_vbv_buffer_size = kbps(setup.bitrate);
      break;
    case EncoderRateMode::CBR:
      param.rc.i_rc_method = X264_RC_ABR;
      param.rc.i_bitrate = kbps(setup.bitrate);
      param.rc.i_vbv_max_bitrate = kbps(setup.bitrate);
      param.rc.i_vbv_buffer_size = kbps(setup.bitrate);
      break;
    case EncoderRateMode::AVERAGE:
      param.rc.i_rc_method = X264_RC_ABR;
      param.rc.i_bitrate = kbps(setup.bitrate);
      break;
  }

  std::unique_ptr<x264_t, decltype(&x264_encoder_close)> encoder(x264_encoder_open(&param), x264_encoder_close);
  if (!encoder) {
    error = "x264 refused the stream parameters";
    return false;
  }

  Picture picture = make_picture(setup.width, setup.height);
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = picture.y.data();
  in.img.plane[1] = picture.u.data();
  in.img.plane[2] = picture.v.data();
  in.img.i_stride[0] = static_cast<int>(setup.width);
  in.img.i_stride[1] = in.img.i_stride[2] = static_cast<int>(setup.width / 2);

  x264_nal_t *nals = nullptr;
  int count = 0;
  x264_picture_t out;
  for (uint32_t i = 0; i < setup.clip_frames; ++i) {
    draw_test_pattern(picture, i, setup.clip_frames);
    in.i_pts = i;
    in.i_type = i % setup.gop_frames == 0 ? X264_TYPE_IDR : X264_TYPE_AUTO;
    int size = x264_encoder_encode(encoder.get(), &nals, &count, &in, &out);
    if (size < 0) {
      error = "x264 failed to encode a picture";
      return false;
    }
    if (size > 0) collect(clip, nals, count, out);
  }
  while (x264_encoder_delayed_frames(encoder.get()) > 0) {
    int size = x264_encoder_encode(encoder.get(), &nals, &count, nullptr, &out);
    if (size < 0) {
      error = "x264 failed to flush";
      return false;
    }
    if (size > 0) collect(clip, nals, count, out);
  }
  return true;
}

}  // namespace vdo_emulator
