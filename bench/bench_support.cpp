// Folders, FFmpeg's tools and child processes for the benchmarks.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace corvane_test {

namespace {

std::string env_or(const char *name, const std::string &fallback) {
  const char *value = std::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

std::string binary_dir() { return env_or("CORVANE_BINARY_DIR", CORVANE_DEFAULT_BINARY_DIR); }

std::string ffmpeg_tool(const std::string &name) {
  return env_or("FFMPEG_BIN", std::string(CORVANE_DEFAULT_SOURCE_DIR) + "/.deps/ffmpeg-native/bin") + "/" + name;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/corvane-bench-XXXXXX";
  const char *made = mkdtemp(pattern);
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

Child::Child(const std::vector<std::string> &argv, const std::string &log_path) {
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ != 0) return;
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((log_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0), dup2(out, 1), dup2(err, 2);
  execv(args[0], args.data());
  _exit(127);
}

Child::~Child() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int Child::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0 && status_ < 0 && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

bool wait_port(int port, std::chrono::milliseconds timeout) {
  // Reads the listening sockets instead of connecting, so a one-shot
  // listener (FFmpeg's RTMP receiver) is not consumed by the probe.
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream in(table);
      for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace corvane_test
