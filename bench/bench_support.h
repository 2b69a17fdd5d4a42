// What the benchmarks need around them: folders, FFmpeg's tools, child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace corvane_test {

std::string binary_dir();                          // the CMake build tree
std::string ffmpeg_tool(const std::string &name);  // ffmpeg or ffprobe from the deps build

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process with its output in `log_path` (and `log_path`.err); SIGKILLed when dropped.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::string &log_path);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  int wait(std::chrono::milliseconds timeout);  // exit status, 128+signal, -1 on timeout

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Waits until something listens on TCP `port`, without connecting to it.
bool wait_port(int port, std::chrono::milliseconds timeout);

}  // namespace corvane_test
