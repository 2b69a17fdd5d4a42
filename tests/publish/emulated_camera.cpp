// Emulator streams for publisher tests.
#include "tests/publish/emulated_camera.h"

#include <cmath>
#include <cstdlib>

#include "tests/support/test_support.h"

namespace publish_test {

void configure_emulator() {
  setenv("VDO_EMULATOR_PACING", "unpaced", 1);
  const std::string cache = corvane_test::binary_dir() + "/publish-test-clips";
  setenv("VDO_EMULATOR_CACHE_DIR", cache.c_str(), 1);
}

EmulatedCamera::EmulatedCamera(VideoCodecKind codec, uint32_t width, uint32_t height, double fps) {
  configure_emulator();
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format",
                     codec == VIDEO_CODEC_H265  ? 1
                     : codec == VIDEO_CODEC_AV1 ? 10
                                                : 0);
  vdo_map_set_pair32u(settings, "resolution", width, height);
  vdo_map_set_double(settings, "framerate", fps);
  vdo_map_set_boolean(settings, "frame.chunks", TRUE);
  GError *gerror = nullptr;
  VdoStream *stream = vdo_stream_new(settings, nullptr, &gerror);
  g_object_unref(settings);
  if (stream) {
    VdoMap *info = vdo_stream_get_info(stream, &gerror);
    if (info) {
      width_ = vdo_map_get_uint32(info, "width", 0);
      height_ = vdo_map_get_uint32(info, "height", 0);
      fps_ = static_cast<uint32_t>(std::lround(vdo_map_get_double(info, "framerate", 0)));
      g_object_unref(info);
      if (vdo_stream_start(stream, &gerror)) {
        stream_ = stream;
        return;
      }
    }
    vdo_stream_stop(stream);
    g_object_unref(stream);
  }
  error_ = gerror ? gerror->message : "emulator failed without an error";
  g_clear_error(&gerror);
}

EmulatedCamera::~EmulatedCamera() {
  if (!stream_) return;
  vdo_stream_stop(stream_);
  g_object_unref(stream_);
}

bool EmulatedCamera::next(EmulatedFrame &frame) {
  GError *gerror = nullptr;
  VdoBuffer *buffer = vdo_stream_get_buffer(stream_, &gerror);
  if (!buffer) {
    error_ = gerror ? gerror->message : "no buffer";
    g_clear_error(&gerror);
    return false;
  }
  VdoFrame *vdo_frame = vdo_buffer_get_frame(buffer);
  frame.type = vdo_frame_get_frame_type(vdo_frame);
  frame.timestamp = vdo_frame_get_timestamp(vdo_frame);
  frame.key = vdo_frame_is_key(vdo_frame);
  frame.payload.clear();
  for (;;) {
    VdoChunk chunk = vdo_frame_take_chunk(vdo_frame, &gerror);
    if (chunk.status == VDO_CHUNK_FAILED) {
      error_ = gerror ? gerror->message : "chunk failed";
      g_clear_error(&gerror);
      vdo_stream_buffer_unref(stream_, &buffer, nullptr);
      return false;
    }
    if (chunk.size == 0) break;
    frame.payload.insert(frame.payload.end(), chunk.data, chunk.data + chunk.size);
  }
  vdo_stream_buffer_unref(stream_, &buffer, nullptr);
  return true;
}

bool is_picture_type(VideoCodecKind codec, uint32_t type) {
  switch (codec) {
    case VIDEO_CODEC_H265:
      return type >= 12 && type <= 14;
    case VIDEO_CODEC_AV1:
      return type == 22 || type == 23;
    default:
      return type >= 4 && type <= 7;
  }
}

}  // namespace publish_test
