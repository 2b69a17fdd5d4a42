// Frames of handed-out buffers: type, timestamp, key flag, and the frame's
// bytes in chunks of VDO_EMULATOR_CHUNK_SIZE.
#include <algorithm>

#include "vdo_internal.h"

using namespace vdo_emulator;

VdoFrame *vdo_buffer_get_frame(VdoBuffer *buffer) {
  g_return_val_if_fail(buffer != nullptr, nullptr);
  return &buffer->frame;
}

VdoFrameType vdo_frame_get_frame_type(VdoFrame *frame) {
  g_return_val_if_fail(frame != nullptr, VDO_FRAME_TYPE_NONE);
  return static_cast<VdoFrameType>(frame->source->type);
}

guint64 vdo_frame_get_timestamp(VdoFrame *frame) {
  g_return_val_if_fail(frame != nullptr, 0);
  return frame->timestamp;
}

gboolean vdo_frame_is_key(VdoFrame *frame) {
  g_return_val_if_fail(frame != nullptr, FALSE);
  return frame->source->key ? TRUE : FALSE;
}

gsize vdo_frame_get_size(VdoFrame *frame) {
  g_return_val_if_fail(frame != nullptr, 0);
  return frame->source->bytes.size();
}

VdoChunk vdo_frame_take_chunk(VdoFrame *frame, GError **error) {
  if (frame == nullptr) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, "No frame to read");
    return VdoChunk{nullptr, 0, VDO_CHUNK_FAILED};
  }
  StreamCore &core = *frame->core;
  uint64_t call = count_call(core, FaultOp::TAKE_CHUNK);
  if (inject_failure(core.config.faults, FaultOp::TAKE_CHUNK, call, error)) {
    return VdoChunk{nullptr, 0, VDO_CHUNK_FAILED};
  }
  const std::vector<uint8_t> &bytes = frame->source->bytes;
  size_t remaining = bytes.size() - frame->offset;
  // Without "frame.chunks" the whole frame comes as one piece.
  size_t size = core.setup.chunked ? std::min(remaining, core.config.chunk_size) : remaining;
  VdoChunk chunk{bytes.data() + frame->offset, size, 0};
  frame->offset += size;
  return chunk;
}
