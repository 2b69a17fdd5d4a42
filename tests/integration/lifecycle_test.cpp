// The real program's start-up and shutdown: signals, exit status, the
// fatal server-start failure, and silence on standard output.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

using namespace corvane_test;

std::size_t lines_at_level(LogSink &log, int level) {
  std::size_t n = 0;
  for (const LogLine &line : log.lines())
    if (line.level == level) ++n;
  return n;
}

class LifecycleSignal : public ::testing::TestWithParam<int> {};

TEST_P(LifecycleSignal, StopsCleanlyWithExitStatusZero) {
  Program program;
  ASSERT_TRUE(program.start()) << program.log().dump() << program.stderr_text();
  EXPECT_EQ(http_request("GET", "/api/status").status, 200);
  EXPECT_EQ(program.stop(GetParam()), 0) << program.log().dump();
  EXPECT_TRUE(program.log().wait_for("Application was stopped by SIGTERM or SIGINT.", 2s))
      << program.log().dump();
  EXPECT_EQ(program.stdout_text(), "") << "the program writes nothing to standard output";
  EXPECT_EQ(program.stderr_text(), "");
  for (const LogLine &line : program.log().lines()) EXPECT_EQ(line.ident.rfind("corvane[", 0), 0u) << line.ident;
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, LifecycleSignal, ::testing::Values(SIGTERM, SIGINT));

TEST(Lifecycle, BusyPortEndsWithOneFatalLineAndStatusOne) {
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(30920);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  int yes = 1;
  setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  Program program;
  EXPECT_FALSE(program.start(5s));
  EXPECT_EQ(program.wait_exit(10s), 1);
  ASSERT_TRUE(program.log().wait_for("Failed to start Corvane web server", 2s)) << program.log().dump();
  EXPECT_EQ(lines_at_level(program.log(), 3), 1u) << program.log().dump();
  EXPECT_FALSE(program.log().contains("Corvane web server started"));
  EXPECT_EQ(program.stdout_text(), "");
  close(blocker);
}

TEST(Lifecycle, LogsStartAndServesBothPrefixesUntilStopped) {
  Program program;
  ASSERT_TRUE(program.start());
  EXPECT_EQ(program.log().count("Corvane web server started"), 1u);
  HttpReply root = http_request("GET", "/api/status");
  HttpReply prefixed = http_request("GET", "/local/corvane/corvane/api/status");
  EXPECT_EQ(root.status, 200);
  EXPECT_EQ(prefixed.status, 200);
  EXPECT_EQ(program.stop(SIGTERM), 0);
}

TEST(Lifecycle, ParameterStoreRefusedWithoutErrorStillServes) {
  Program program;
  program.set_env("AXPARAMETER_REFUSE", "silent");
  ASSERT_TRUE(program.start());
  EXPECT_TRUE(program.log().wait_for(
      "AXParameter is unavailable; RTMP stream resume across app updates is disabled: unknown error", 2s))
      << program.log().dump();
  EXPECT_EQ(http_request("GET", "/api/status").status, 200);
  EXPECT_EQ(program.stop(SIGTERM), 0);
}

}  // namespace
