// Measures the publisher at 1080p30 H.264, about 4 Mbit/s, from the camera
// emulator: CPU time and socket writes per published frame against a local
// FFmpeg receiver, next to FFmpeg's own relay of the same elementary stream;
// the publisher's own work with the RTMP protocol left out; the latency from
// a frame's arrival to its packet being written; and memory over a long run.
//
// The publisher is the program's own worker (stream_worker) on a thread of
// its own, also for an FLV file, which a start request would refuse. Linked
// with --wrap for send/write/sendmsg (counting socket writes), for
// vdo_stream_get_buffer/av_interleaved_write_frame (latency) and for
// vdo_stream_start/vdo_stream_stop (the worker's frame pump runs between
// the two, and its CPU time is read there, on the worker's thread), so
// nothing is preloaded and the program's code runs unchanged.
#include <glib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "base/stream_records.h"
#include "bench/bench_support.h"
#include "capture/capture_stream.h"
#include "capture/stream_profile.h"
#include "capture/stream_worker.h"
#include "publish/frame_pump.h"
#include "vdo.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

namespace {

constexpr const char *kProfile =
    "videocodec=h264&resolution=1920x1080&fps=30&bitratemode=cbr&bitrate=4000000";
constexpr int kReceiverPort = 1935;
constexpr int kRelayReceiverPort = 1936;

// ---- counters fed by the wrapped calls ----

struct ThreadUsage {
  double user = 0, system = 0;
};
ThreadUsage thread_usage();

std::atomic<bool> counting{false};
std::atomic<uint64_t> write_calls{0};
// Set while a measured run is wanted; the worker's stream start and stop
// then take the pump's figures on the worker's thread.
std::atomic<bool> measuring{false};
std::atomic<bool> pumping{false};
ThreadUsage pump_started_usage, pump_ended_usage;  // worker thread, read after the join
std::chrono::steady_clock::time_point pump_started_at, pump_ended_at;
std::atomic<bool> timing{false};
int64_t buffer_returned_at = 0;  // worker thread only
std::vector<int64_t> latencies;  // worker thread only, read after the join
std::vector<int64_t> key_latencies;
std::vector<int> key_sizes;

}  // namespace

extern "C" {
ssize_t __real_send(int fd, const void *buffer, size_t length, int flags);
ssize_t __real_write(int fd, const void *buffer, size_t length);
ssize_t __real_sendmsg(int fd, const struct msghdr *message, int flags);
VdoBuffer *__real_vdo_stream_get_buffer(VdoStream *stream, GError **error);
int __real_av_interleaved_write_frame(AVFormatContext *context, AVPacket *packet);
gboolean __real_vdo_stream_start(VdoStream *stream, GError **error);
void __real_vdo_stream_stop(VdoStream *stream);

// The capture phase ends with the stream's start: the frame pump begins.
gboolean __wrap_vdo_stream_start(VdoStream *stream, GError **error) {
  const gboolean started = __real_vdo_stream_start(stream, error);
  if (started && measuring) {
    pump_started_usage = thread_usage();
    pump_started_at = std::chrono::steady_clock::now();
    write_calls = 0;
    counting = true;
    pumping = true;
  }
  return started;
}

// The worker's finish begins with the stream's stop: the frame pump is over.
void __wrap_vdo_stream_stop(VdoStream *stream) {
  if (measuring && pumping) {
    counting = false;
    pump_ended_usage = thread_usage();
    pump_ended_at = std::chrono::steady_clock::now();
    pumping = false;
  }
  __real_vdo_stream_stop(stream);
}

ssize_t __wrap_send(int fd, const void *buffer, size_t length, int flags) {
  if (counting) ++write_calls;
  return __real_send(fd, buffer, length, flags);
}
ssize_t __wrap_write(int fd, const void *buffer, size_t length) {
  if (counting) ++write_calls;
  return __real_write(fd, buffer, length);
}
ssize_t __wrap_sendmsg(int fd, const struct msghdr *message, int flags) {
  if (counting) ++write_calls;
  return __real_sendmsg(fd, message, flags);
}
VdoBuffer *__wrap_vdo_stream_get_buffer(VdoStream *stream, GError **error) {
  VdoBuffer *buffer = __real_vdo_stream_get_buffer(stream, error);
  if (timing && buffer) buffer_returned_at = av_gettime_relative();
  return buffer;
}
int __wrap_av_interleaved_write_frame(AVFormatContext *context, AVPacket *packet) {
  const bool video = packet && packet->stream_index == 0;
  const bool key = packet && (packet->flags & AV_PKT_FLAG_KEY);
  const int size = packet ? packet->size : 0;
  const int result = __real_av_interleaved_write_frame(context, packet);
  if (timing && video && result >= 0) {
    const int64_t latency = av_gettime_relative() - buffer_returned_at;
    latencies.push_back(latency);
    if (key) {
      key_latencies.push_back(latency);
      key_sizes.push_back(size);
    }
  }
  return result;
}
}

namespace {

double seconds_of(const timeval &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double seconds_of(const timespec &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A latency sample (microseconds) in milliseconds.
double ms_of(int64_t us) { return static_cast<double>(us) / 1000.0; }

// The thread's CPU time, exact, split into user and system by the kernel's
// (tick-sampled) proportions.
ThreadUsage thread_usage() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  timespec total{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &total);
  return {seconds_of(usage.ru_utime), seconds_of(total)};
}

ThreadUsage usage_between(const ThreadUsage &before, const ThreadUsage &after) {
  // `system` holds the exact total until split here.
  const double total = after.system - before.system;
  double user = after.user - before.user;
  if (user > total) user = total;
  return {user, total - user};
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

struct PumpFigures {
  uint64_t frames = 0;
  uint64_t bytes = 0;
  double wall = 0;
  ThreadUsage cpu;
  uint64_t writes = 0;
  std::vector<long> rss;  // KiB, sampled along the run
  std::string error;
};

// The control block the bench's worker reports to (a static GMutex needs no init).
StreamControl control;

void reset_control(const char *destination) {
  MutexLock lock(control.lock);
  StreamControl &c = control;
  c.frames_sent = c.bytes_sent = c.last_packet_bytes = 0;
  c.current_bitrate = 0;
  c.running = 1;
  c.stop_requested = 0;
  c.last_error[0] = '\0';
  copy_bounded(c.destination, destination);
}

uint64_t frames_sent() {
  MutexLock lock(control.lock);
  return control.frames_sent;
}

bool stream_running() {
  MutexLock lock(control.lock);
  return control.running != 0;
}

// Runs the program's worker until `frames` packets are out; CPU is the
// worker thread's alone, from the stream's start to its stop.
PumpFigures run_pump(const std::string &destination, uint64_t frames, int rss_samples = 0) {
  PumpFigures figures;
  reset_control(destination.c_str());
  auto *request = g_new0(StreamRequest, 1);
  request->destination = g_strdup(destination.c_str());
  request->profile_name = g_strdup("bench");
  request->profile_parameters = g_strdup(kProfile);
  request->control = &control;
  measuring = true;
  std::thread worker(stream_worker, request);  // the worker frees the request
  // Stop once enough packets are out, sampling memory on the way.
  uint64_t next_sample = rss_samples ? frames / rss_samples : UINT64_MAX;
  while (stream_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t sent = frames_sent();
    if (pumping && sent >= next_sample) {
      figures.rss.push_back(rss_kib());
      next_sample += frames / rss_samples;
    }
    if (sent >= frames) {
      MutexLock lock(control.lock);
      control.stop_requested = 1;
    }
  }
  worker.join();
  measuring = false;
  figures.wall = std::chrono::duration<double>(pump_ended_at - pump_started_at).count();
  figures.cpu = usage_between(pump_started_usage, pump_ended_usage);
  figures.writes = write_calls;
  MutexLock lock(control.lock);
  figures.frames = control.frames_sent;
  figures.bytes = control.bytes_sent;
  if (std::strcmp(control.last_error, "Stream stopped.") != 0) figures.error = control.last_error;
  return figures;
}

// Reads `frames` frames straight from the emulator, the way the pump does,
// to tell the emulator's share from the publisher's.
PumpFigures run_emulator_only(uint64_t frames) {
  PumpFigures figures;
  std::thread reader([&] {
    char empty[] = "";
    StreamRequest request{empty, empty, empty, 0, &control};
    char error_text[kMessageSize] = "";
    StreamProfileConfig config{};
    CaptureSession capture{};
    if (!parse_stream_profile(kProfile, config, error_text) ||
        !open_capture_stream(control, request, config, capture, error_text)) {
      figures.error = error_text;
      return;
    }
    const ThreadUsage before = thread_usage();
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < frames; ++i) {
      GError *error = nullptr;
      VdoBuffer *buffer = vdo_stream_get_buffer(capture.stream, &error);
      if (!buffer) {
        figures.error = error ? error->message : "no buffer";
        g_clear_error(&error);
        break;
      }
      GByteArray *payload = read_frame_payload(vdo_buffer_get_frame(buffer), &error);
      if (payload) {
        figures.bytes += payload->len;
        g_byte_array_free(payload, TRUE);
      }
      g_clear_error(&error);
      vdo_stream_buffer_unref(capture.stream, &buffer, nullptr);
      ++figures.frames;
    }
    const ThreadUsage after = thread_usage();
    figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpu = usage_between(before, after);
    close_capture_stream(capture);
  });
  reader.join();
  return figures;
}

// Writes `frames` frames of the same stream as an Annex-B file.
bool dump_clip(const std::string &path, uint64_t frames) {
  char empty[] = "";
  StreamRequest request{empty, empty, empty, 0, &control};
  char error_text[kMessageSize] = "";
  StreamProfileConfig config{};
  CaptureSession capture{};
  if (!parse_stream_profile(kProfile, config, error_text) ||
      !open_capture_stream(control, request, config, capture, error_text)) {
    std::fprintf(stderr, "clip: %s\n", error_text);
    return false;
  }
  FILE *file = std::fopen(path.c_str(), "wb");
  uint64_t pictures = 0;
  while (file && pictures < frames) {
    GError *error = nullptr;
    VdoBuffer *buffer = vdo_stream_get_buffer(capture.stream, &error);
    if (!buffer) break;
    VdoFrame *frame = vdo_buffer_get_frame(buffer);
    const uint32_t type = vdo_frame_get_frame_type(frame);
    GByteArray *payload = read_frame_payload(frame, &error);
    if (payload) {
      std::fwrite(payload->data, 1, payload->len, file);
      g_byte_array_free(payload, TRUE);
    }
    g_clear_error(&error);
    vdo_stream_buffer_unref(capture.stream, &buffer, nullptr);
    if (type >= 4 && type <= 7) ++pictures;
  }
  if (file) std::fclose(file);
  close_capture_stream(capture);
  return pictures == frames;
}

struct RelayFigures {
  double wall = 0;
  double user = 0, system = 0;
  bool ok = false;
};

RelayFigures run_relay(const std::vector<std::string> &argv) {
  RelayFigures figures;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.user = seconds_of(usage.ru_utime);
  figures.system = seconds_of(usage.ru_stime);
  figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return figures;
}

// Socket write calls of a relay run, counted by strace in a run of its own.
long relay_write_calls(const std::vector<std::string> &relay_argv, const std::string &trace_path) {
  std::vector<std::string> argv = {
      "/usr/bin/strace", "-f", "-c", "-o", trace_path, "-e", "trace=write,sendto,sendmsg,writev"};
  argv.insert(argv.end(), relay_argv.begin(), relay_argv.end());
  if (access(argv[0].c_str(), X_OK) != 0) return -1;
  if (!run_relay(argv).ok) return -1;
  std::ifstream trace(trace_path);
  std::string line;
  long total = -1;
  while (std::getline(trace, line)) {
    if (line.find("total") != std::string::npos) {
      char seconds[32], usecs[32];
      long calls = 0;
      if (std::sscanf(line.c_str(), "%*f %31s %31s %ld", seconds, usecs, &calls) == 3) {
        total = calls;
      } else if (std::sscanf(line.c_str(), "%*f %31s %ld", seconds, &calls) == 2) {
        total = calls;
      }
    }
  }
  return total;
}

std::unique_ptr<corvane_test::Child> start_null_receiver(int port, const std::string &log) {
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/key";
  auto receiver = std::make_unique<corvane_test::Child>(
      std::vector<std::string>{corvane_test::ffmpeg_tool("ffmpeg"), "-nostdin", "-loglevel",
                               "error", "-listen", "1", "-f", "flv", "-i", url, "-c", "copy", "-f",
                               "null", "-"},
      log);
  if (!corvane_test::wait_port(port, std::chrono::seconds(10))) return nullptr;
  return receiver;
}

void print_pump(const char *name, const PumpFigures &f) {
  const double per_frame_ms = 1000.0 / static_cast<double>(f.frames);
  std::printf(
      "%-34s %6llu frames  %7.1f frames/s  cpu/frame user %.4f ms sys %.4f ms total %.4f ms"
      "  writes/frame %.1f  avg payload %.0f B\n",
      name, static_cast<unsigned long long>(f.frames), static_cast<double>(f.frames) / f.wall,
      f.cpu.user * per_frame_ms,
      f.cpu.system * per_frame_ms, (f.cpu.user + f.cpu.system) * per_frame_ms,
      static_cast<double>(f.writes) / static_cast<double>(f.frames),
      static_cast<double>(f.bytes) / static_cast<double>(f.frames));
}

}  // namespace

int main(int argc, char **argv) {
  av_log_set_level(AV_LOG_ERROR);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1800;
  const uint64_t long_frames = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 18000;
  const uint64_t latency_frames = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 900;
  corvane_test::TempDir dir;
  setenv("VDO_EMULATOR_PACING", "unpaced", 1);
  const std::string cache = corvane_test::binary_dir() + "/bench-clips";
  setenv("VDO_EMULATOR_CACHE_DIR", cache.c_str(), 1);
  std::printf("publisher at 1920x1080 H.264 CBR 4 Mbit/s, 30 fps, emulator unpaced\n");

  // The emulator alone, and the publisher writing FLV to /dev/null: the
  // difference is the publisher's own work without the RTMP protocol.
  const PumpFigures emulator = run_emulator_only(frames);
  if (!emulator.error.empty()) {
    std::fprintf(stderr, "emulator: %s\n", emulator.error.c_str());
    return 1;
  }
  print_pump("emulator delivery only", emulator);
  const PumpFigures file = run_pump("file:/dev/null", frames);
  print_pump("publisher to FLV file /dev/null", file);
  const double emulator_ms =
      (emulator.cpu.user + emulator.cpu.system) * 1000.0 / static_cast<double>(emulator.frames);
  const double file_ms = (file.cpu.user + file.cpu.system) * 1000.0 / static_cast<double>(file.frames);
  std::printf(
      "  own work (publisher minus emulator, no RTMP protocol): %.4f ms/frame (target < 0.05)\n",
      file_ms - emulator_ms);

  // Over RTMP to FFmpeg's listener.
  auto receiver = start_null_receiver(kReceiverPort, dir.file("receiver.log"));
  if (!receiver) {
    std::fprintf(stderr, "receiver did not start\n");
    return 1;
  }
  const PumpFigures rtmp = run_pump("rtmp://127.0.0.1:1935/live/key", frames);
  if (!rtmp.error.empty()) std::fprintf(stderr, "publisher: %s\n", rtmp.error.c_str());
  print_pump("publisher to RTMP receiver", rtmp);
  receiver->wait(std::chrono::seconds(20));
  receiver.reset();

  // FFmpeg relaying the same elementary stream to the same kind of receiver.
  const std::string clip = dir.file("clip.h264");
  if (!dump_clip(clip, frames)) {
    std::fprintf(stderr, "could not write the clip\n");
    return 1;
  }
  const std::vector<std::string> relay_argv = {corvane_test::ffmpeg_tool("ffmpeg"),
                                               "-nostdin",
                                               "-loglevel",
                                               "error",
                                               "-framerate",
                                               "30",
                                               "-i",
                                               clip,
                                               "-c",
                                               "copy",
                                               "-f",
                                               "flv",
                                               "rtmp://127.0.0.1:1936/live/key"};
  auto relay_receiver = start_null_receiver(kRelayReceiverPort, dir.file("relay-receiver.log"));
  const RelayFigures relay = run_relay(relay_argv);
  relay_receiver->wait(std::chrono::seconds(20));
  relay_receiver = start_null_receiver(kRelayReceiverPort, dir.file("relay-receiver2.log"));
  const long relay_writes = relay_write_calls(relay_argv, dir.file("strace.txt"));
  relay_receiver->wait(std::chrono::seconds(20));
  const double frame_count = static_cast<double>(frames);
  const double relay_ms = (relay.user + relay.system) * 1000.0 / frame_count;
  std::printf(
      "%-34s %6llu frames  %7.1f frames/s  cpu/frame user %.4f ms sys %.4f ms total %.4f ms"
      "  writes/frame %.1f%s\n",
      "ffmpeg relay (-c copy) to receiver", static_cast<unsigned long long>(frames),
      frame_count / relay.wall, relay.user * 1000.0 / frame_count, relay.system * 1000.0 / frame_count,
      relay_ms, relay_writes > 0 ? static_cast<double>(relay_writes) / frame_count : -1.0,
      relay.ok ? "" : "  (relay FAILED)");
  const double rtmp_ms = (rtmp.cpu.user + rtmp.cpu.system) * 1000.0 / static_cast<double>(rtmp.frames);
  std::printf("  publisher/relay CPU per frame: %.2f incl. emulator, %.2f excl. (target <= 0.9)\n",
              rtmp_ms / relay_ms, (rtmp_ms - emulator_ms) / relay_ms);

  // Latency at the camera's pace: from the frame's buffer to its packet written.
  setenv("VDO_EMULATOR_PACING", "paced", 1);
  receiver = start_null_receiver(kReceiverPort, dir.file("receiver-paced.log"));
  latencies.reserve(latency_frames + 64);
  timing = true;
  const PumpFigures paced = run_pump("rtmp://127.0.0.1:1935/live/key", latency_frames);
  timing = false;
  receiver->wait(std::chrono::seconds(20));
  receiver.reset();
  if (!latencies.empty()) {
    // The opening packet waited for the connection and the header.
    std::printf("opening packet (connect, handshake, header, first packet): %.3f ms\n",
                ms_of(latencies.front()));
    latencies.erase(latencies.begin());
    if (!key_latencies.empty()) {
      key_latencies.erase(key_latencies.begin());
      key_sizes.erase(key_sizes.begin());
    }
  }
  if (!key_latencies.empty()) {
    std::sort(key_latencies.begin(), key_latencies.end());
    long long key_bytes = 0;
    for (int size : key_sizes) key_bytes += size;
    std::printf("keyframes: %zu of about %lld bytes, latency median %.3f ms, max %.3f ms\n",
                key_latencies.size(), key_bytes / static_cast<long long>(key_sizes.size()),
                ms_of(key_latencies[key_latencies.size() / 2]), ms_of(key_latencies.back()));
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    auto at = [&](double q) {
      return ms_of(latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]);
    };
    std::printf(
        "latency buffer->packet written, paced 1080p30, %zu packets: p50 %.3f ms  p99 %.3f ms"
        "  max %.3f ms (targets p50 < 1, p99 < 5)\n",
        latencies.size(), at(0.5), at(0.99), ms_of(latencies.back()));
  }
  print_pump("publisher paced (real time)", paced);

  // Memory over a long unpaced run.
  setenv("VDO_EMULATOR_PACING", "unpaced", 1);
  receiver = start_null_receiver(kReceiverPort, dir.file("receiver-long.log"));
  const PumpFigures long_run = run_pump("rtmp://127.0.0.1:1935/live/key", long_frames, 10);
  receiver->wait(std::chrono::seconds(20));
  print_pump("publisher long run", long_run);
  std::printf("  RSS KiB along the run (%.0f s of stream):", static_cast<double>(long_frames) / 30.0);
  for (long kib : long_run.rss) std::printf(" %ld", kib);
  std::printf("\n");
  return 0;
}
