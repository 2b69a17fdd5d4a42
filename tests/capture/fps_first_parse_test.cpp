// A stream profile's fps must parse on the first try in a busy process.
//
// g_ascii_strtod sets up its C locale on its first call behind glib's
// process-wide once-lock; while other threads take that lock (GType and GIO
// set-up on the web server's threads do), the first parse used to see EAGAIN
// left in errno and refuse a perfectly good "fps=30". Each attempt runs in a
// fresh child, so every parse is a first one; this binary holds nothing else
// because any earlier parse in the parent would initialise the locale for
// all children.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "capture/stream_profile.h"

namespace {

std::atomic<bool> stop_contending{false};

// Takes glib's once-lock over and over, as type registration does.
void contend_for_once_lock() {
  while (!stop_contending.load()) {
    auto *location = g_new0(gsize, 1);
    if (g_once_init_enter(location)) {
      g_usleep(1);
      g_once_init_leave(location, 1);
    }
    g_free(location);
  }
}

// Runs in the child: 0 when fps=30 parsed as 30.
int first_parse_in_busy_process() {
  std::vector<std::thread> contenders;
  for (int i = 0; i < 3; ++i) contenders.emplace_back(contend_for_once_lock);
  g_usleep(200);
  StreamProfileConfig config{};
  char error_text[kMessageSize] = "";
  const bool parsed = parse_stream_profile("fps=30", config, error_text);
  stop_contending = true;
  for (auto &thread : contenders) thread.join();
  return parsed && config.has_fps && config.fps == 30.0 ? 0 : 1;
}

TEST(FpsFirstParse, SucceedsWhileOtherThreadsTakeGlibsOnceLock) {
  constexpr int kAttempts = 300;
  int refused = 0;
  for (int i = 0; i < kAttempts; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(first_parse_in_busy_process());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) != 0) ++refused;
  }
  EXPECT_EQ(refused, 0) << refused << " of " << kAttempts << " first parses refused fps=30";
}

}  // namespace
