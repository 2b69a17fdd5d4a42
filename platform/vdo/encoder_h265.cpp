// Encodes the emulator's H.265 clip with libx265: closed GOPs, no B-frames,
// VPS, SPS and PPS in-band before every IDR picture.
#include <x265.h>

#include "clip.h"
#include "codecs.h"
#include "test_pattern.h"

// The leak checker's switch, present only in sanitizer builds.
extern "C" void __lsan_disable(void) __attribute__((weak));
extern "C" void __lsan_enable(void) __attribute__((weak));

namespace vdo_emulator {
namespace {

// libx265 3.5 loses a few allocations of its own in every encoder_open (a
// copy of its parameters, SAO buffers) that no call of its API frees. They
// are the library's, so the leak checker is told to skip that one call.
x265_encoder *open_encoder(const x265_api *api, x265_param *param) {
  if (__lsan_disable) __lsan_disable();
  x265_encoder *encoder = api->encoder_open(param);
  if (__lsan_enable) __lsan_enable();
  return encoder;
}

int kbps(uint32_t bits_per_second) { return static_cast<int>(std::max<uint32_t>(1, (bits_per_second + 999) / 1000)); }

uint32_t frame_type_of(int slice_type) {
  switch (slice_type) {
    case X265_TYPE_IDR: return TYPE_H265_IDR;
    case X265_TYPE_I: return TYPE_H265_I;
    case X265_TYPE_B:
    case X265_TYPE_BREF: return TYPE_H265_B;
    default: return TYPE_H265_P;
  }
}

void collect(Clip &clip, const x265_nal *nals, uint32_t count, const x265_picture &out) {
  ClipFrame frame{{}, frame_type_of(out.sliceType), out.sliceType == X265_TYPE_IDR};
  for (uint32_t i = 0; i < count; ++i) append_annexb_units(frame.bytes, nals[i].payload, nals[i].sizeBytes);
  clip.frames.push_back(std::move(frame));
}

}  // namespace

std::string x265_build() { return "x265-" + std::to_string(X265_BUILD); }

bool encode_h265(const StreamSetup &setup, Clip &clip, std::string &error) {
  const x265_api *api = x265_api_get(8);
  if (api == nullptr) {
    error = "x265 has no 8-bit encoder";
    return false;
  }
  x265_param *param = api->param_alloc();
  if (param == nullptr || api->param_default_preset(param, "ultrafast", nullptr) < 0) {
    api->param_free(param);
    error = "x265 refused its preset";
    return false;
  }
  param->logLevel = X265_LOG_NONE;
  param->sourceWidth = static_cast<int>(setup.width);
  param->sourceHeight = static_cast<int>(setup.height);
  param->internalCsp = X265_CSP_I420;
  param->fpsNum = setup.fps_num;
  param->fpsDenom = setup.fps_den;
  param->keyframeMax = static_cast<int>(setup.gop_frames);
  param->keyframeMin = static_cast<int>(setup.gop_frames);
  param->scenecutThreshold = 0;
  param->bframes = 0;
  param->bOpenGOP = 0;
  param->bRepeatHeaders = 1;
  param->bAnnexB = 1;
  param->bEmitInfoSEI = 0;
  param->lookaheadDepth = 0;
  switch (setup.rate_mode) {
    case EncoderRateMode::QUALITY:
      param->rc.rateControlMode = X265_RC_CRF;
      param->rc.rfConstant = h26x_rate_factor(setup.compression);
      break;
    case EncoderRateMode::CAPPED_QUALITY:
      param->rc.rateControlMode = X265_RC_CRF;
      param->rc.rfConstant = h26x_rate_factor(setup.compression);
      param->rc.vbvMaxBitrate = kbps(setup.bitrate);
      param->rc.vbvBufferSize = kbps(setup.bitrate);
      break;
    case EncoderRateMode::CBR:
      param->rc.rateControlMode = X265_RC_ABR;
      param->rc.bitrate = kbps(setup.bitrate);
      param->rc.vbvMaxBitrate = kbps(setup.bitrate);
      param->rc.vbvBufferSize = kbps(setup.bitrate);
      break;
    case EncoderRateMode::AVERAGE:
      param->rc.rateControlMode = X265_RC_ABR;
      param->rc.bitrate = kbps(setup.bitrate);
      break;
  }

  x265_encoder *encoder = open_encoder(api, param);
  if (encoder == nullptr) {
    api->param_free(param);
    error = "x265 refused the stream parameters";
    return false;
  }
  Picture picture = make_picture(setup.width, setup.height);
  x265_picture *in = api->picture_alloc();
  api->picture_init(param, in);
  in->colorSpace = X265_CSP_I420;
  in->bitDepth = 8;
  in->planes[0] = picture.y.data();
  in->planes[1] = picture.u.data();
  in->planes[2] = picture.v.data();
  in->stride[0] = static_cast<int>(setup.width);
  in->stride[1] = in->stride[2] = static_cast<int>(setup.width / 2);

  x265_picture out;
  api->picture_init(param, &out);
  x265_nal *nals = nullptr;
  uint32_t count = 0;
  bool ok = true;
  for (uint32_t i = 0; ok && i < setup.clip_frames; ++i) {
    draw_test_pattern(picture, i, setup.clip_frames);
    in->pts = i;
    in->sliceType = i % setup.gop_frames == 0 ? X265_TYPE_IDR : X265_TYPE_AUTO;
    int result = api->encoder_encode(encoder, &nals, &count, in, &out);
    if (result < 0) ok = false;
    if (result > 0) collect(clip, nals, count, out);
  }
  while (ok) {
    int result = api->encoder_encode(encoder, &nals, &count, nullptr, &out);
    if (result < 0) ok = false;
    if (result <= 0) break;
    collect(clip, nals, count, out);
  }
  api->picture_free(in);
  api->encoder_close(encoder);
  api->param_free(param);
  if (!ok) error = "x265 failed to encode a picture";
  return ok;
}

}  // namespace vdo_emulator
