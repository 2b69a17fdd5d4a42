// The emulated camera's codec table.
#include "codecs.h"

#include <iterator>

namespace vdo_emulator {
namespace {

constexpr CodecRow ROWS[] = {
    {Codec::H264, 0, "h264", TYPE_H264_IDR, TYPE_H264_B, 0, 0x1F,
     {{7, TYPE_H264_SPS}, {8, TYPE_H264_PPS}}, encode_h264, x264_build},
    {Codec::H265, 1, "h265", TYPE_H265_IDR, TYPE_H265_B, 1, 0x3F,
     {{32, TYPE_H265_VPS}, {33, TYPE_H265_SPS}, {34, TYPE_H265_PPS}}, encode_h265, x265_build},
    {Codec::AV1, 10, "av1", TYPE_AV1_KEY, TYPE_AV1_INTER, 0, 0, {}, encode_av1, aom_build},
};

}  // namespace

const CodecRow &codec_row(Codec codec) { return ROWS[static_cast<int>(codec)]; }

const CodecRow *codec_for_format(uint32_t format) {
  for (const CodecRow &row : ROWS) {
    if (row.format == format) return &row;
  }
  return nullptr;
}

}  // namespace vdo_emulator
