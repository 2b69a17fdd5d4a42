// The real program: a stop, a restart or SIGTERM returns promptly while the
// stream's connection hangs in each way a network can hang.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "tests/publish/network_faults.h"
#include "tests/support/test_support.h"

namespace {

using namespace corvane_test;
using namespace std::chrono_literals;

enum class Hang { CONNECT, HANDSHAKE, WRITE };
enum class Action { STOP, RESTART, SIGNAL };

using Case = std::tuple<Hang, Action>;

std::string start_form(const std::string &destination) {
  return form_encode({{"destination", destination},
                      {"profileName", ""},
                      {"profileParameters", ""},
                      {"silentAudio", "1"}});
}

long long frames_sent() {
  Json status = parse_json(http_request("GET", "/api/status").body);
  return status ? json_integer(status.get(), "framesSent") : -1;
}

class ProgramStop : public testing::TestWithParam<Case> {};

TEST_P(ProgramStop, ReturnsWithinTwoSeconds) {
  const auto [hang, action] = GetParam();
  std::unique_ptr<publish_test::FullBacklogListener> blackhole;
  std::unique_ptr<publish_test::SilentServer> silent;
  std::unique_ptr<RtmpReceiver> receiver;
  std::unique_ptr<publish_test::StallingRelay> relay;
  switch (hang) {
    case Hang::CONNECT:
      blackhole = std::make_unique<publish_test::FullBacklogListener>(1935);
      ASSERT_TRUE(blackhole->ok());
      break;
    case Hang::HANDSHAKE:
      silent = std::make_unique<publish_test::SilentServer>(1935);
      ASSERT_TRUE(silent->ok());
      break;
    case Hang::WRITE:
      receiver = std::make_unique<RtmpReceiver>(1935, "live/key");
      ASSERT_TRUE(receiver->wait_listening()) << receiver->log_text();
      relay = std::make_unique<publish_test::StallingRelay>(1936, 1935);
      ASSERT_TRUE(relay->ok());
      break;
  }
  const std::string destination =
      hang == Hang::WRITE ? "rtmp://127.0.0.1:1936/live/key" : "rtmp://127.0.0.1:1935/live/key";

  Program program;
  program.set_env("VDO_EMULATOR_PACING", "unpaced");
  program.set_env("VDO_EMULATOR_CACHE_DIR", binary_dir() + "/publish-test-clips");
  ASSERT_TRUE(program.start()) << program.log().dump() << program.stderr_text();
  ASSERT_EQ(post_form("/api/start", start_form(destination)).status, 200) << program.log().dump();

  if (hang == Hang::WRITE) {
    ASSERT_TRUE(wait_for_status([](json_t *s) { return json_integer(s, "framesSent") >= 30; }))
        << program.log().dump();
    relay->stall();
    // Wait until the counters stand still: a write is blocked.
    long long frames = frames_sent();
    auto still_since = std::chrono::steady_clock::now();
    const auto deadline = still_since + 20s;
    while (std::chrono::steady_clock::now() - still_since < 500ms) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(20ms);
      const long long now_frames = frames_sent();
      if (now_frames != frames) {
        frames = now_frames;
        still_since = std::chrono::steady_clock::now();
      }
    }
  } else {
    ASSERT_TRUE(program.log().wait_for("Opening RTMP output for H.264")) << program.log().dump();
    std::this_thread::sleep_for(500ms);
  }

  const auto begin = std::chrono::steady_clock::now();
  switch (action) {
    case Action::STOP:
      EXPECT_EQ(post_form("/api/stop", "").status, 200);
      break;
    case Action::RESTART:
      // The new stream goes to a port nobody listens on and ends at once.
      EXPECT_EQ(post_form("/api/restart", start_form("rtmp://127.0.0.1:1/live/key")).status, 200);
      break;
    case Action::SIGNAL:
      // The signal's handler stops the stream, then logs this; the web
      // server's own shutdown follows.
      kill(program.pid(), SIGTERM);
      EXPECT_TRUE(program.log().wait_for("Application was stopped by SIGTERM or SIGINT.", 5s))
          << program.log().dump();
      break;
  }
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, 2000ms) << program.log().dump();
  if (action == Action::SIGNAL) {
    EXPECT_EQ(program.wait_exit(15s), 0) << program.log().dump();
  }

  // The hung stream ended as a plain stop, never with the cut-off error.
  EXPECT_EQ(program.log().count("Unable to send"), 0u) << program.log().dump();
  EXPECT_EQ(program.log().count("Unable to connect to RTMP destination: Immediate exit"), 0u);
  if (action == Action::STOP) {
    Json status = wait_for_status([](json_t *s) { return !json_bool(s, "running"); });
    ASSERT_TRUE(status);
    EXPECT_EQ(json_string(status.get(), "lastError"), "Stream stopped.");
  }
  if (action != Action::SIGNAL) {
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.log().dump();
  }
  if (receiver) receiver->kill_now();
}

std::string case_name(const testing::TestParamInfo<Case> &info) {
  static const char *const hangs[] = {"connect", "handshake", "write"};
  static const char *const actions[] = {"stop", "restart", "sigterm"};
  return std::string(hangs[static_cast<int>(std::get<0>(info.param))]) + "_" +
         actions[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    HangsAndActions, ProgramStop,
    testing::Combine(testing::Values(Hang::CONNECT, Hang::HANDSHAKE, Hang::WRITE),
                     testing::Values(Action::STOP, Action::RESTART, Action::SIGNAL)),
    case_name);

}  // namespace
