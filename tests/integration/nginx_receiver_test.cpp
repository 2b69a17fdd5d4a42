// H.264 through the real program to nginx with Debian's RTMP module, the
// kind of server many users point the camera at: it records what it
// receives, and the recording must hold every frame the program counted,
// in order, with the silent AAC track exactly when asked for.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace {

using namespace corvane_test;

constexpr const char *kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr int kPort = 1936;

std::string file_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// nginx in one process, in the foreground, recording application "live".
class NginxRtmp {
 public:
  NginxRtmp() {
    std::filesystem::create_directory(dir_.file("record"));
    std::ofstream conf(dir_.file("nginx.conf"));
    conf << "load_module " << kRtmpModule << ";\n"
         << "daemon off;\nmaster_process off;\n"
         << "pid " << dir_.file("nginx.pid") << ";\n"
         << "error_log " << dir_.file("error.log") << " info;\n"
         << "events { worker_connections 64; }\n"
         << "rtmp {\n  server {\n    listen 127.0.0.1:" << kPort << ";\n"
         << "    application live {\n      live on;\n      record all;\n"
         << "      record_path " << dir_.file("record") << ";\n      record_unique off;\n    }\n  }\n}\n";
    conf.close();
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", dir_.path(), "-e", dir_.file("error.log"), "-c",
                                 dir_.file("nginx.conf")},
        dir_.file("nginx.out"));
  }
  ~NginxRtmp() { child_->stop(SIGKILL); }

  std::string url(const std::string &key) const {
    return "rtmp://127.0.0.1:" + std::to_string(kPort) + "/live/" + key;
  }
  std::string recording(const std::string &key) const { return dir_.file("record/" + key + ".flv"); }
  bool wait_listening() { return wait_port(kPort, 10s); }
  // The recording is complete once the publisher has gone and its size
  // stops changing.
  bool wait_recording_settled(const std::string &key) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    long long last_size = -1;
    while (std::chrono::steady_clock::now() < deadline) {
      struct stat info {};
      const long long size = stat(recording(key).c_str(), &info) == 0 ? info.st_size : -1;
      if (size > 0 && size == last_size && log_text().find("disconnect") != std::string::npos) return true;
      last_size = size;
      std::this_thread::sleep_for(300ms);
    }
    return false;
  }
  std::string log_text() const { return file_text(dir_.file("error.log")) + file_text(dir_.file("nginx.out.err")); }

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
};

struct NginxCase {
  const char *name;
  bool silent_audio;
};

class NginxReceiver : public testing::TestWithParam<NginxCase> {
 protected:
  void SetUp() override {
    if (access(kRtmpModule, R_OK) != 0) GTEST_SKIP() << "Debian's RTMP module for nginx is not installed";
    program_.set_env("AXPARAMETER_DIR", program_.workdir() + "/parameters");
    ASSERT_TRUE(program_.start()) << program_.log().dump();
  }
  Program program_;
};

TEST_P(NginxReceiver, RecordsEveryCountedFrameInOrder) {
  const NginxCase &c = GetParam();
  NginxRtmp nginx;
  ASSERT_TRUE(nginx.wait_listening()) << nginx.log_text();

  HttpReply started = post_form(
      "/api/start", form_encode({{"destination", nginx.url(c.name)},
                                 {"profileName", "nginx"},
                                 {"profileParameters", "videocodec=h264&resolution=640x360&fps=30"},
                                 {"silentAudio", c.silent_audio ? "yes" : "no"}}));
  ASSERT_EQ(started.status, 200) << started.body;
  Json streaming = wait_for_status([](const json_t *s) { return json_integer(s, "framesSent") >= 90; }, 60s);
  ASSERT_TRUE(streaming);
  ASSERT_GE(json_integer(streaming.get(), "framesSent"), 90)
      << json_string(streaming.get(), "lastError") << "\n" << nginx.log_text();

  ASSERT_EQ(http_request("POST", "/api/stop").status, 200);
  Json after = parse_json(http_request("GET", "/api/status").body);
  ASSERT_TRUE(after);
  EXPECT_EQ(json_string(after.get(), "lastError"), "Stream stopped.");
  ASSERT_TRUE(nginx.wait_recording_settled(c.name)) << nginx.log_text();

  Json probe = ffprobe(nginx.recording(c.name));
  ASSERT_TRUE(probe) << nginx.log_text();
  std::string video_codec, audio_codec;
  long long width = 0, height = 0, channels = 0, sample_rate = 0;
  json_t *streams = json_object_get(probe.get(), "streams");
  for (std::size_t i = 0; i < json_array_size(streams); ++i) {
    const json_t *stream = json_array_get(streams, i);
    if (json_string(stream, "codec_type") == "video") {
      video_codec = json_string(stream, "codec_name");
      width = json_integer(stream, "width");
      height = json_integer(stream, "height");
    } else if (json_string(stream, "codec_type") == "audio") {
      audio_codec = json_string(stream, "codec_name");
      channels = json_integer(stream, "channels");
      sample_rate = std::stoll("0" + json_string(stream, "sample_rate"));
    }
  }
  EXPECT_EQ(video_codec, "h264");
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 360);
  if (c.silent_audio) {
    EXPECT_EQ(audio_codec, "aac");
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(sample_rate, 44100);
  } else {
    EXPECT_EQ(audio_codec, "");
  }

  long long video_packets = 0, audio_packets = 0, video_bytes = 0, last_pts = -1;
  bool in_order = true, first_is_key = false;
  json_t *packets = json_object_get(probe.get(), "packets");
  for (std::size_t i = 0; i < json_array_size(packets); ++i) {
    const json_t *packet = json_array_get(packets, i);
    if (json_string(packet, "codec_type") != "video") {
      ++audio_packets;
      continue;
    }
    const long long pts = json_integer(packet, "pts");
    if (video_packets == 0) first_is_key = json_string(packet, "flags").rfind('K', 0) == 0;
    if (pts <= last_pts) in_order = false;
    last_pts = pts;
    ++video_packets;
    video_bytes += std::stoll("0" + json_string(packet, "size"));
  }
  EXPECT_TRUE(first_is_key);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(video_packets, json_integer(after.get(), "framesSent"));
  EXPECT_EQ(video_bytes, json_integer(after.get(), "bytesSent"));
  if (c.silent_audio)
    EXPECT_GT(audio_packets, video_packets);  // 43 AAC frames a second against 30 pictures
  else
    EXPECT_EQ(audio_packets, 0);
}

INSTANTIATE_TEST_SUITE_P(H264, NginxReceiver,
                         testing::Values(NginxCase{"silent_audio", true}, NginxCase{"video_only", false}),
                         [](const testing::TestParamInfo<NginxCase> &info) { return info.param.name; });

}  // namespace
