// Harness for tests that run the real program and its peers: a syslog
// receiver, the program in a working directory of its own, HTTP requests,
// an RTMP receiver and ffprobe.
#pragma once

#include <jansson.h>
#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane_test {

using namespace std::chrono_literals;

std::string binary_dir();                       // the CMake build tree
std::string source_dir();                       // the repository
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

struct LogLine {
  int level;  // syslog level: 3 error, 4 warning, 6 info
  std::string ident;
  std::string message;
};

// Receives syslog datagrams on a Unix socket (the program's /dev/log is
// bound to it by tools/with-log.sh).
class LogSink {
 public:
  explicit LogSink(std::string socket_path);
  ~LogSink();
  LogSink(const LogSink &) = delete;
  LogSink &operator=(const LogSink &) = delete;

  const std::string &socket_path() const { return socket_path_; }
  std::vector<LogLine> lines() const;
  // Lines whose message contains `text`.
  std::size_t count(const std::string &text) const;
  bool contains(const std::string &text) const { return count(text) > 0; }
  // Waits until `times` lines contain `text`.
  bool wait_for(const std::string &text, std::chrono::milliseconds timeout = 10s,
                std::size_t times = 1) const;
  std::string dump() const;  // every line, for failure messages
  void clear();

 private:
  void receive_loop();
  std::string socket_path_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
  std::thread thread_;
};

// The program in a working directory of its own (html/ linked in), with
// its system log captured. Port 30920 must be free: tests that run it are
// labelled integration and get a network namespace of their own.
class Program {
 public:
  Program();
  ~Program();  // SIGKILLs a program still running

  // Extra environment for the next start (e.g. emulator settings).
  void set_env(const std::string &name, const std::string &value) { env_[name] = value; }
  void unset_env(const std::string &name) { env_.erase(name); }

  // Starts the program and waits until it serves HTTP (or has exited).
  bool start(std::chrono::milliseconds timeout = 10s);
  // Sends `signal` and waits for the exit; returns the exit status, or
  // 128 + signal number when it died from a signal, or -1 on timeout.
  int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = 15s);
  int wait_exit(std::chrono::milliseconds timeout);
  bool running();
  pid_t pid() const { return pid_; }

  const std::string &workdir() const { return dir_.path(); }
  LogSink &log() { return *log_; }
  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<LogSink> log_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

struct HttpReply {
  int status = 0;  // 0 when no reply came
  std::string head;  // status line and headers as received
  std::string body;
  std::string header(const std::string &name) const;  // value, case-insensitive name
};

// One request to 127.0.0.1:`port` over a fresh connection.
HttpReply http_request(const std::string &method, const std::string &path,
                       const std::string &body = "",
                       const std::vector<std::string> &headers = {}, int port = 30920,
                       std::chrono::milliseconds timeout = 20s);
// Sends raw bytes and returns everything the server answered until it closed.
std::string raw_http(const std::string &request, int port = 30920,
                     std::chrono::milliseconds timeout = 20s);
// POST of a form-encoded body (application/x-www-form-urlencoded).
HttpReply post_form(const std::string &path, const std::string &body, int port = 30920);
std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields);

// A parsed JSON document.
struct JsonDeleter {
  void operator()(json_t *json) const { json_decref(json); }
};
using Json = std::unique_ptr<json_t, JsonDeleter>;
Json parse_json(const std::string &text);  // null when invalid
std::string json_string(const json_t *object, const char *key);
long long json_integer(const json_t *object, const char *key);
bool json_bool(const json_t *object, const char *key);

// Polls /api/status until `predicate` holds for the document.
template <typename Predicate>
Json wait_for_status(Predicate predicate, std::chrono::milliseconds timeout = 20s);

// A finished child process.
struct ProcessResult {
  int status = -1;  // exit status, 128+signal, or -1 on timeout
  std::string out;
  std::string err;
};
// Runs argv to completion (stdin from /dev/null).
ProcessResult run_process(const std::vector<std::string> &argv,
                          std::chrono::milliseconds timeout = 60s);

// A child process in the background with its output in files.
class Child {
 public:
  explicit Child(const std::vector<std::string> &argv, const std::string &log_path = "");
  ~Child();  // SIGKILL if still running
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  pid_t pid() const { return pid_; }
  bool running();
  int wait(std::chrono::milliseconds timeout);  // exit status, 128+signal, -1 on timeout
  int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = 10s);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// FFmpeg's own RTMP listener, recording what it receives into an FLV file.
class RtmpReceiver {
 public:
  // `loglevel` is FFmpeg's; "debug" shows the protocol's messages in log_text().
  explicit RtmpReceiver(int port = 1935, const std::string &app_and_key = "live/test",
                        const std::string &loglevel = "warning");
  ~RtmpReceiver();
  const std::string &url() const { return url_; }           // what the program publishes to
  const std::string &output_path() const { return output_; }  // the recorded FLV
  bool wait_listening(std::chrono::milliseconds timeout = 10s);
  // Waits for the receiver to finish after the publisher has gone.
  int wait_finished(std::chrono::milliseconds timeout = 20s);
  void kill_now();
  std::string log_text() const;

 private:
  TempDir dir_;
  int port_;
  std::string url_;
  std::string output_;
  std::unique_ptr<Child> child_;
};

// ffprobe -show_streams -show_packets of a media file.
Json ffprobe(const std::string &path, bool packets = true);

// Waits until something listens on 127.0.0.1:port.
bool wait_port(int port, std::chrono::milliseconds timeout);

template <typename Predicate>
Json wait_for_status(Predicate predicate, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  Json last;
  while (std::chrono::steady_clock::now() < deadline) {
    HttpReply reply = http_request("GET", "/api/status");
    last = parse_json(reply.body);
    if (last && predicate(last.get())) return last;
    std::this_thread::sleep_for(50ms);
  }
  return last;
}

}  // namespace corvane_test
