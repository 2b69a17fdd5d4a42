// VdoStream: the emulated camera's encoded video stream. Replays its clip
// in a loop with fresh monotonic timestamps, paced at the frame rate or as
// fast as it is read, and fails on demand.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "clip_cache.h"
#include "vdo_internal.h"

using namespace vdo_emulator;

namespace {

enum class StreamState { CREATED, RUNNING, STOPPED };

struct StreamPrivate {
  std::shared_ptr<StreamCore> core;
  std::mutex lock;  // guards everything below; vdo_stream_stop may come from any thread
  std::condition_variable wake;
  StreamState state = StreamState::CREATED;
  int64_t base_time = 0;      // monotonic µs of picture 0 of this run
  uint64_t next_picture = 0;  // pictures handed out in this run
  size_t clip_index = 0;
  size_t parameter_index = 0;  // parameter-set frames already sent before clip_index
  bool delivered = false;
  int64_t last_timestamp = 0;
};

std::atomic<uint64_t> next_serial{1};

// CLOCK_MONOTONIC in microseconds, the clock of g_get_monotonic_time.
int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads one entry the camera honours. Present with another type is a
// refusal: the stream would otherwise quietly ignore what was asked for.
template <typename T>
bool read_setting(VdoMap *settings, const char *key, MapKind kind, std::optional<T> &out, GError **error) {
  const MapValue *value = map_find(settings, key);
  if (value == nullptr) return true;
  if (value->kind != kind) {
    g_set_error(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, "Setting '%s' has the wrong type", key);
    return false;
  }
  if constexpr (std::is_same_v<T, double>) {
    out = value->number;
  } else if constexpr (std::is_same_v<T, bool>) {
    out = value->first != 0;
  } else if constexpr (std::is_same_v<T, std::pair<uint32_t, uint32_t>>) {
    out = std::pair{value->first, value->second};
  } else {
    out = value->first;
  }
  return true;
}

bool read_settings(VdoMap *settings, RequestedSettings &request, GError **error) {
  return read_setting(settings, "format", MapKind::UINT32, request.format, error) &&
         read_setting(settings, "resolution", MapKind::PAIR32U, request.resolution, error) &&
         read_setting(settings, "framerate", MapKind::DOUBLE, request.framerate, error) &&
         read_setting(settings, "input", MapKind::UINT32, request.input, error) &&
         read_setting(settings, "channel", MapKind::UINT32, request.channel, error) &&
         read_setting(settings, "compression", MapKind::UINT32, request.compression, error) &&
         read_setting(settings, "rc.mode", MapKind::UINT32, request.rc_mode, error) &&
         read_setting(settings, "bitrate", MapKind::UINT32, request.bitrate, error) &&
         read_setting(settings, "abr.target_bitrate", MapKind::UINT32, request.abr_target_bitrate, error) &&
         read_setting(settings, "frame.chunks", MapKind::BOOLEAN, request.chunks, error);
}

uint32_t measured_bitrate(const StreamCore &core) {
  uint64_t pictures = core.delivered_pictures.load(std::memory_order_relaxed);
  if (pictures == 0) return 0;
  double bits = static_cast<double>(core.delivered_bytes.load(std::memory_order_relaxed)) * 8.0;
  double rate = bits * core.setup.fps / static_cast<double>(pictures);
  return rate >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(rate + 0.5);
}

}  // namespace

struct _VdoStream {
  GObject parent_instance;
  StreamPrivate *priv;
};

G_DEFINE_FINAL_TYPE(VdoStream, vdo_stream, G_TYPE_OBJECT)

static void vdo_stream_finalize(GObject *object) {
  VdoStream *stream = VDO_STREAM(object);
  delete stream->priv;
  stream->priv = nullptr;
  G_OBJECT_CLASS(vdo_stream_parent_class)->finalize(object);
}

static void vdo_stream_class_init(VdoStreamClass *klass) { G_OBJECT_CLASS(klass)->finalize = vdo_stream_finalize; }

static void vdo_stream_init(VdoStream *stream) {
  stream->priv = new StreamPrivate();
}

namespace vdo_emulator {

bool stream_stopped(VdoStream *stream) {
  std::lock_guard lock(stream->priv->lock);
  return stream->priv->state == StreamState::STOPPED;
}

}  // namespace vdo_emulator

VdoStream *vdo_stream_new(VdoMap *settings, gpointer reserved, GError **error) {
  g_return_val_if_fail(settings == nullptr || VDO_IS_MAP(settings), nullptr);
  uint64_t call = stream_new_calls().fetch_add(1) + 1;

  auto core = std::make_shared<StreamCore>();
  std::string message;
  if (!load_emulator_config(g_getenv, core->config, message)) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, message.c_str());
    return nullptr;
  }
  if (inject_failure(core->config.faults, FaultOp::NEW, call, error)) return nullptr;
  if (reserved != nullptr) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, "The reserved argument must be NULL");
    return nullptr;
  }
  RequestedSettings request;
  if (!read_settings(settings, request, error)) return nullptr;
  SetupError refused = resolve_stream_setup(request, core->config, core->setup, message);
  if (refused != SetupError::NONE) {
    g_set_error_literal(error, VDO_ERROR, static_cast<gint>(refused), message.c_str());
    return nullptr;
  }
  core->clip = obtain_clip(core->setup, core->config.cache_dir, message);
  if (!core->clip) {
    g_set_error(error, VDO_ERROR, VDO_ERROR_FAILED, "Video encoder failed: %s", message.c_str());
    return nullptr;
  }
  core->serial = next_serial.fetch_add(1);

  VdoStream *stream = VDO_STREAM(g_object_new(VDO_TYPE_STREAM, nullptr));
  stream->priv->core = std::move(core);
  return stream;
}

VdoMap *vdo_stream_get_info(VdoStream *stream, GError **error) {
  g_return_val_if_fail(VDO_IS_STREAM(stream), nullptr);
  StreamCore &core = *stream->priv->core;
  uint64_t call = count_call(core, FaultOp::INFO);
  if (inject_failure(core.config.faults, FaultOp::INFO, call, error)) return nullptr;

  const StreamSetup &setup = core.setup;
  VdoMap *info = vdo_map_new();
  vdo_map_set_uint32(info, "format", setup.format);
  vdo_map_set_uint32(info, "width", setup.width);
  vdo_map_set_uint32(info, "height", setup.height);
  vdo_map_set_pair32u(info, "resolution", setup.width, setup.height);
  vdo_map_set_double(info, "framerate", setup.fps);
  vdo_map_set_uint32(info, "input", setup.input);
  vdo_map_set_uint32(info, "channel", setup.channel);
  vdo_map_set_uint32(info, "compression", setup.compression);
  vdo_map_set_uint32(info, "rc.mode", setup.rc_mode);
  if (setup.rc_mode == RC_ABR) {
    vdo_map_set_uint32(info, "abr.target_bitrate", setup.bitrate);
  } else {
    vdo_map_set_uint32(info, "bitrate", setup.bitrate);
  }
  vdo_map_set_uint32(info, "gop_length", setup.gop_frames);
  vdo_map_set_boolean(info, "frame.chunks", setup.chunked);
  vdo_map_set_uint32(info, "statistics.bitrate",
                     core.config.statistics_measured ? measured_bitrate(core) : core.config.statistics_bitrate);
  return info;
}

gboolean vdo_stream_start(VdoStream *stream, GError **error) {
  g_return_val_if_fail(VDO_IS_STREAM(stream), FALSE);
  StreamPrivate &p = *stream->priv;
  StreamCore &core = *p.core;
  uint64_t call = count_call(core, FaultOp::START);
  if (inject_failure(core.config.faults, FaultOp::START, call, error)) return FALSE;

  std::lock_guard lock(p.lock);
  if (p.state == StreamState::RUNNING) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_STATE, "The stream is already running");
    return FALSE;
  }
  // A restart replays from a keyframe; its timestamps continue after the last run's.
  int64_t base = now_us();
  if (p.delivered) base = std::max(base, p.last_timestamp + frame_offset_us(core.setup, 1));
  p.base_time = base;
  p.next_picture = 0;
  p.clip_index = 0;
  p.parameter_index = 0;
  p.state = StreamState::RUNNING;
  return TRUE;
}

void vdo_stream_stop(VdoStream *stream) {
  g_return_if_fail(VDO_IS_STREAM(stream));
  StreamPrivate &p = *stream->priv;
  {
    std::lock_guard lock(p.lock);
    p.state = StreamState::STOPPED;
  }
  // Releases a get_buffer waiting for its frame, on whatever thread it waits.
  p.wake.notify_all();
}

VdoBuffer *vdo_stream_get_buffer(VdoStream *stream, GError **error) {
  g_return_val_if_fail(VDO_IS_STREAM(stream), nullptr);
  StreamPrivate &p = *stream->priv;
  StreamCore &core = *p.core;
  const Clip &clip = *core.clip;
  uint64_t call = count_call(core, FaultOp::GET_BUFFER);

  const ClipFrame *frame = nullptr;
  int64_t timestamp = 0;
  {
    std::unique_lock lock(p.lock);
    if (p.state != StreamState::RUNNING) {
      g_set_error_literal(error, VDO_ERROR, VDO_ERROR_STATE,
                          p.state == StreamState::STOPPED ? "The stream is stopped" : "The stream is not started");
      return nullptr;
    }
    if (inject_failure(core.config.faults, FaultOp::GET_BUFFER, call, error)) return nullptr;
    if (no_data_due(core.config.faults, call)) {
      g_set_error_literal(error, VDO_ERROR, VDO_ERROR_NO_DATA, "No video frame available yet");
      return nullptr;
    }
    // Parameter-set frames share the timestamp of the keyframe they precede.
    timestamp = p.base_time + frame_offset_us(core.setup, p.next_picture);
    if (core.config.paced) {
      auto due = std::chrono::steady_clock::time_point(std::chrono::microseconds(timestamp));
      while (p.state == StreamState::RUNNING && std::chrono::steady_clock::now() < due) p.wake.wait_until(lock, due);
      if (p.state != StreamState::RUNNING) {
        g_set_error_literal(error, VDO_ERROR, VDO_ERROR_STATE, "The stream was stopped");
        return nullptr;
      }
    }
    const std::vector<ClipFrame> &parameter_frames = clip.parameter_frames[p.clip_index];
    if (core.config.separate_parameter_sets && p.parameter_index < parameter_frames.size()) {
      frame = &parameter_frames[p.parameter_index++];
    } else {
      frame = &clip.frames[p.clip_index];
      p.clip_index = (p.clip_index + 1) % clip.frames.size();
      p.parameter_index = 0;
      ++p.next_picture;
      core.delivered_pictures.fetch_add(1, std::memory_order_relaxed);
    }
    p.delivered = true;
    p.last_timestamp = timestamp;
  }
  core.delivered_bytes.fetch_add(frame->bytes.size(), std::memory_order_relaxed);

  // The buffer holds the shared state, so its frame outlives nothing it needs.
  auto *buffer = new VdoBuffer{VdoFrame{frame, static_cast<guint64>(timestamp), 0, &core}, p.core};
  return buffer;
}

gboolean vdo_stream_buffer_unref(VdoStream *stream, VdoBuffer **buffer, GError **error) {
  g_return_val_if_fail(VDO_IS_STREAM(stream), FALSE);
  if (buffer == nullptr || *buffer == nullptr) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, "No buffer to return");
    return FALSE;
  }
  StreamCore &core = *stream->priv->core;
  if ((*buffer)->core->serial != core.serial) {
    // Left with the caller, who can still return it to its own stream.
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_INVALID_ARGUMENT, "The buffer belongs to another stream");
    return FALSE;
  }
  uint64_t call = count_call(core, FaultOp::UNREF);
  // The buffer is taken back whatever the outcome, so a failed return leaks nothing.
  delete *buffer;
  *buffer = nullptr;

  if (inject_failure(core.config.faults, FaultOp::UNREF, call, error)) return FALSE;
  if (fault_fires(core.config.faults.expected_unref, FaultOp::UNREF, call)) {
    set_fault_error(core.config.faults, FaultOp::UNREF, call, VDO_ERROR_EXPECTED, error);
    return FALSE;
  }
  if (stream_stopped(stream)) {
    g_set_error_literal(error, VDO_ERROR, VDO_ERROR_EXPECTED, "Buffer returned after the stream stopped");
    return FALSE;
  }
  return TRUE;
}
