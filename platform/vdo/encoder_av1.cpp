// Encodes the emulator's AV1 clip with libaom in real-time mode: one
// temporal unit of OBUs per picture, sequence header on keyframes.
#include <aom/aom_encoder.h>
#include <aom/aomcx.h>
#include <glib.h>

#include <algorithm>

#include "clip.h"
#include "codecs.h"
#include "test_pattern.h"

namespace vdo_emulator {
namespace {

constexpr uint8_t OBU_TEMPORAL_DELIMITER = 2;

unsigned kbps(uint32_t bits_per_second) { return std::max<uint32_t>(1, (bits_per_second + 999) / 1000); }

// Takes every finished packet; a real-time encoder without lag gives one per picture.
void collect(aom_codec_ctx_t &codec, Clip &clip) {
  aom_codec_iter_t iter = nullptr;
  while (const aom_codec_cx_pkt_t *packet = aom_codec_get_cx_data(&codec, &iter)) {
    if (packet->kind != AOM_CODEC_CX_FRAME_PKT) continue;
    bool key = (packet->data.frame.flags & AOM_FRAME_IS_KEY) != 0;
    ClipFrame frame{{}, key ? TYPE_AV1_KEY : TYPE_AV1_INTER, key};
    const auto *data = static_cast<const uint8_t *>(packet->data.frame.buf);
    size_t size = packet->data.frame.sz;
    // A temporal unit opens with its delimiter; add one should the encoder not.
    if (size == 0 || ((data[0] >> 3) & 0x0F) != OBU_TEMPORAL_DELIMITER) frame.bytes = {0x12, 0x00};
    frame.bytes.insert(frame.bytes.end(), data, data + size);
    clip.frames.push_back(std::move(frame));
  }
}

std::string codec_error(aom_codec_ctx_t &codec, const char *what) {
  const char *detail = aom_codec_error_detail(&codec);
  return std::string("libaom ") + what + ": " + aom_codec_error(&codec) + (detail ? std::string(" (") + detail + ")" : "");
}

}  // namespace

std::string aom_build() { return "aom-" + std::to_string(aom_codec_version()); }

bool encode_av1(const StreamSetup &setup, Clip &clip, std::string &error) {
  aom_codec_iface_t *iface = aom_codec_av1_cx();
  aom_codec_enc_cfg_t cfg;
  if (aom_codec_enc_config_default(iface, &cfg, AOM_USAGE_REALTIME) != AOM_CODEC_OK) {
    error = "libaom has no real-time configuration";
    return false;
  }
  cfg.g_w = setup.width;
  cfg.g_h = setup.height;
  cfg.g_timebase.num = static_cast<int>(setup.fps_den);
  cfg.g_timebase.den = static_cast<int>(setup.fps_num);
  cfg.g_threads = std::clamp(g_get_num_processors(), 1u, 8u);
  cfg.g_lag_in_frames = 0;
  cfg.g_error_resilient = 0;
  cfg.rc_dropframe_thresh = 0;
  cfg.kf_mode = AOM_KF_AUTO;
  cfg.kf_min_dist = setup.gop_frames;
  cfg.kf_max_dist = setup.gop_frames;
  switch (setup.rate_mode) {
    case EncoderRateMode::QUALITY: cfg.rc_end_usage = AOM_Q; break;
    case EncoderRateMode::CAPPED_QUALITY:
      cfg.rc_end_usage = AOM_CQ;
      cfg.rc_target_bitrate = kbps(setup.bitrate);
      break;
    case EncoderRateMode::CBR:
      cfg.rc_end_usage = AOM_CBR;
      cfg.rc_target_bitrate = kbps(setup.bitrate);
      break;
    case EncoderRateMode::AVERAGE:
      cfg.rc_end_usage = AOM_VBR;
      cfg.rc_target_bitrate = kbps(setup.bitrate);
      break;
  }

  aom_codec_ctx_t codec;
  if (aom_codec_enc_init(&codec, iface, &cfg, 0) != AOM_CODEC_OK) {
    error = codec_error(codec, "refused the stream parameters");
    return false;
  }
  bool ok = aom_codec_control(&codec, AOME_SET_CPUUSED, 10) == AOM_CODEC_OK &&
            aom_codec_control(&codec, AV1E_SET_ROW_MT, 1) == AOM_CODEC_OK &&
            aom_codec_control(&codec, AV1E_SET_TILE_COLUMNS, setup.width >= 1280 ? 1 : 0) == AOM_CODEC_OK;
  if (ok && setup.rate_mode != EncoderRateMode::CBR && setup.rate_mode != EncoderRateMode::AVERAGE) {
    ok = aom_codec_control(&codec, AOME_SET_CQ_LEVEL, av1_quality_level(setup.compression)) == AOM_CODEC_OK;
  }
  if (!ok) error = codec_error(codec, "refused a control");

  Picture picture = make_picture(setup.width, setup.height);
  aom_image_t image;
  aom_img_wrap(&image, AOM_IMG_FMT_I420, setup.width, setup.height, 1, picture.y.data());
  image.planes[AOM_PLANE_U] = picture.u.data();
  image.planes[AOM_PLANE_V] = picture.v.data();
  image.stride[AOM_PLANE_Y] = static_cast<int>(setup.width);
  image.stride[AOM_PLANE_U] = image.stride[AOM_PLANE_V] = static_cast<int>(setup.width / 2);

  for (uint32_t i = 0; ok && i < setup.clip_frames; ++i) {
    draw_test_pattern(picture, i, setup.clip_frames);
    aom_enc_frame_flags_t flags = i % setup.gop_frames == 0 ? AOM_EFLAG_FORCE_KF : 0;
    if (aom_codec_encode(&codec, &image, i, 1, flags) != AOM_CODEC_OK) {
      error = codec_error(codec, "failed to encode a picture");
      ok = false;
    } else {
      collect(codec, clip);
    }
  }
  // Drain: with no lag this normally yields nothing more.
  while (ok) {
    size_t before = clip.frames.size();
    if (aom_codec_encode(&codec, nullptr, 0, 0, 0) != AOM_CODEC_OK) break;
    collect(codec, clip);
    if (clip.frames.size() == before) break;
  }
  aom_codec_destroy(&codec);
  return ok;
}

}  // namespace vdo_emulator
