// Measures how fast the camera emulator hands out 1080p frames unpaced, per
// codec, and how long the one-off clip encode takes.
#include <glib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "vdo.h"
#include "vdo_emulator.h"

namespace {

struct Codec {
  const char *name;
  guint32 format;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool run(const Codec &codec, long frames) {
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format", codec.format);
  vdo_map_set_pair32u(settings, "resolution", 1920, 1080);
  vdo_map_set_double(settings, "framerate", 30.0);
  vdo_map_set_boolean(settings, "frame.chunks", TRUE);

  GError *error = nullptr;
  vdo_emulator_clear_clip_cache();
  auto encode_start = std::chrono::steady_clock::now();
  VdoStream *stream = vdo_stream_new(settings, nullptr, &error);
  double encode_seconds = seconds_since(encode_start);
  g_object_unref(settings);
  if (stream == nullptr || !vdo_stream_start(stream, &error)) {
    std::fprintf(stderr, "%s: %s\n", codec.name, error ? error->message : "unknown error");
    g_clear_error(&error);
    if (stream) g_object_unref(stream);
    return false;
  }

  guint64 bytes = 0, chunks = 0, first_timestamp = 0, last_timestamp = 0;
  double cpu_start = cpu_seconds();
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < frames; ++i) {
    VdoBuffer *buffer = vdo_stream_get_buffer(stream, &error);
    if (buffer == nullptr) break;
    VdoFrame *frame = vdo_buffer_get_frame(buffer);
    last_timestamp = vdo_frame_get_timestamp(frame);
    if (i == 0) first_timestamp = last_timestamp;
    for (VdoChunk chunk = vdo_frame_take_chunk(frame, &error); chunk.size > 0;
         chunk = vdo_frame_take_chunk(frame, &error)) {
      bytes += chunk.size;
      ++chunks;
    }
    vdo_stream_buffer_unref(stream, &buffer, nullptr);
  }
  double wall = seconds_since(start);
  double cpu = cpu_seconds() - cpu_start;
  bool ok = error == nullptr;
  if (!ok) std::fprintf(stderr, "%s: %s\n", codec.name, error->message);
  g_clear_error(&error);
  vdo_stream_stop(stream);
  g_object_unref(stream);

  const double frame_count = static_cast<double>(frames);
  std::printf(
      "vdo_emulator %-5s 1920x1080@30 unpaced: clip encode %.2f s; %ld frames in %.3f s = %.0f frames/s; "
      "CPU %.3f us/frame; %.1f KiB/frame, %.1f chunks/frame; %.0f s of stream time\n",
      codec.name, encode_seconds, frames, wall, frame_count / wall, cpu * 1e6 / frame_count,
      static_cast<double>(bytes) / 1024.0 / frame_count, static_cast<double>(chunks) / frame_count,
      static_cast<double>(last_timestamp - first_timestamp) / 1e6);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  long frames = argc > 1 ? std::atol(argv[1]) : 300000;
  setenv("VDO_EMULATOR_PACING", "unpaced", 1);
  // The clip encode is measured too, so no clip comes from a disk cache.
  unsetenv("VDO_EMULATOR_CACHE_DIR");
  bool ok = true;
  for (Codec codec : {Codec{"H.264", 0}, Codec{"H.265", 1}, Codec{"AV1", 10}}) ok = run(codec, frames) && ok;
  return ok ? 0 : 1;
}
