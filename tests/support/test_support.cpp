// Harness for tests that run the real program, its peers and receivers.
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <elf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvane_test {

namespace {

std::string env_or(const char *name, const std::string &fallback) {
  const char *value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Decodes a waitpid status the way a shell reports it.
int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Polls for the child's exit; -1 on timeout.
int wait_child(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return exit_code(status);
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(5ms);
  }
}

// A build for another architecture runs its own programs under the emulator
// that CORVANE_EMULATOR names (a command and its options, split on blanks);
// empty when they run directly.
std::vector<std::string> emulator_command() {
  std::vector<std::string> words;
  std::istringstream text(env_or("CORVANE_EMULATOR", ""));
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

#if defined(__aarch64__)
constexpr std::uint16_t OWN_MACHINE = EM_AARCH64;
#elif defined(__x86_64__)
constexpr std::uint16_t OWN_MACHINE = EM_X86_64;
#else
constexpr std::uint16_t OWN_MACHINE = EM_NONE;
#endif

// True for an ELF executable of the architecture these tests were built
// for: one of the build's own programs, which needs the emulator as well.
// Host tools (ffmpeg, dbus-daemon, scripts) run directly.
bool is_own_program(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr header{};
  if (!in.read(reinterpret_cast<char *>(&header), sizeof header)) return false;
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_machine == OWN_MACHINE;
}

// Forks and execs argv with stdin from /dev/null and stdout/stderr to files.
pid_t spawn(const std::vector<std::string> &argv_in, const std::string &out_path,
            const std::string &err_path, const std::string &workdir,
            const std::map<std::string, std::string> &env) {
  std::vector<std::string> argv = emulator_command();
  if (argv.empty() || argv_in.empty() || !is_own_program(argv_in[0])) argv.clear();
  argv.insert(argv.end(), argv_in.begin(), argv_in.end());
  std::vector<char *> args;
  for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
  for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(err_path.empty() ? "/dev/null" : err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  execv(args[0], args.data());
  _exit(127);
}

int connect_local(int port, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string binary_dir() { return env_or("CORVANE_BINARY_DIR", CORVANE_DEFAULT_BINARY_DIR); }
std::string source_dir() { return env_or("CORVANE_SOURCE_DIR", CORVANE_DEFAULT_SOURCE_DIR); }
std::string ffmpeg_tool(const std::string &name) {
  return env_or("FFMPEG_BIN", source_dir() + "/.deps/ffmpeg-native/bin") + "/" + name;
}

// ---- TempDir ----

TempDir::TempDir() {
  char pattern[] = "/tmp/corvane-test-XXXXXX";
  const char *made = mkdtemp(pattern);
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

// ---- LogSink ----

LogSink::LogSink(std::string socket_path) : socket_path_(std::move(socket_path)) {
  unlink(socket_path_.c_str());
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  chmod(socket_path_.c_str(), 0666);
  int buffer = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  if (pipe2(wake_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { receive_loop(); });
}

LogSink::~LogSink() {
  if (thread_.joinable()) {
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int fd : {fd_, wake_[0], wake_[1]})
    if (fd >= 0) close(fd);
  unlink(socket_path_.c_str());
}

void LogSink::receive_loop() {
  std::vector<char> buffer(65536);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) continue;
    std::string datagram(buffer.data(), static_cast<std::size_t>(n));
    // "<PRI>Mmm dd hh:mm:ss ident[pid]: message"
    LogLine line{-1, "", datagram};
    if (datagram.size() > 3 && datagram[0] == '<') {
      std::size_t close_angle = datagram.find('>');
      line.level = std::atoi(datagram.c_str() + 1) & 7;
      std::string rest = datagram.substr(close_angle + 1);
      if (rest.size() > 16) rest = rest.substr(16);
      std::size_t colon = rest.find(": ");
      if (colon != std::string::npos) {
        line.ident = rest.substr(0, colon);
        line.message = rest.substr(colon + 2);
      } else {
        line.message = rest;
      }
    }
    while (!line.message.empty() && line.message.back() == '\n') line.message.pop_back();
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
}

std::vector<LogLine> LogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t LogSink::count(const std::string &text) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto &line : lines_)
    if (line.message.find(text) != std::string::npos) ++n;
  return n;
}

bool LogSink::wait_for(const std::string &text, std::chrono::milliseconds timeout,
                       std::size_t times) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count(text) >= times) return true;
    std::unique_lock lock(mutex_);
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      lock.unlock();
      return count(text) >= times;
    }
  }
}

std::string LogSink::dump() const {
  // A long run polls status hundreds of times; the start and the end of the
  // log are what explain a failure, so the middle of a long one is cut.
  constexpr std::size_t kHead = 40, kTail = 80;
  std::lock_guard lock(mutex_);
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_.size() > kHead + kTail && i == kHead) {
      text += "  [... " + std::to_string(lines_.size() - kHead - kTail) + " lines ...]\n";
      i = lines_.size() - kTail;
    }
    text += "  [" + std::to_string(lines_[i].level) + "] " + lines_[i].message + "\n";
  }
  return text;
}

void LogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

// ---- Program ----

Program::Program() {
  std::filesystem::create_symlink(source_dir() + "/html", dir_.file("html"));
  // Keep emulated cameras quick to start in tests: clips are encoded once per machine.
  env_["VDO_EMULATOR_CACHE_DIR"] = "/tmp/corvane-test-clip-cache";
}

Program::~Program() {
  if (pid_ > 0 && exit_status_ < 0) {
    kill(pid_, SIGKILL);
    wait_child(pid_, 5s);
  }
}

bool Program::start(std::chrono::milliseconds timeout) {
  log_.reset();  // the old sink unlinks its socket path when it goes
  log_ = std::make_unique<LogSink>(dir_.file("log.sock"));
  exit_status_ = -1;
  std::vector<std::string> argv{source_dir() + "/tools/with-log.sh", log_->socket_path()};
  for (auto &word : emulator_command()) argv.push_back(word);
  argv.push_back(binary_dir() + "/corvane");
  pid_ = spawn(argv, dir_.file("stdout.txt"), dir_.file("stderr.txt"), dir_.path(), env_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!running()) return false;
    if (wait_port(30920, 20ms)) return log_->wait_for("Corvane web server started", 5s);
  }
  return false;
}

bool Program::running() {
  if (pid_ <= 0 || exit_status_ >= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    exit_status_ = exit_code(status);
    return false;
  }
  return true;
}

int Program::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (exit_status_ >= 0) return exit_status_;
  exit_status_ = wait_child(pid_, timeout);
  return exit_status_;
}

int Program::stop(int signal, std::chrono::milliseconds timeout) {
  if (!running()) return exit_status_;
  kill(pid_, signal);
  return wait_exit(timeout);
}

std::string Program::stdout_text() const { return read_file(dir_.file("stdout.txt")); }
std::string Program::stderr_text() const { return read_file(dir_.file("stderr.txt")); }

// ---- HTTP ----

std::string HttpReply::header(const std::string &name) const {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon != name.size()) continue;
    if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
    std::size_t start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return "";
}

std::string raw_http(const std::string &request, int port, std::chrono::milliseconds timeout) {
  int fd = connect_local(port, timeout);
  if (fd < 0) return "";
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

HttpReply http_request(const std::string &method, const std::string &path, const std::string &body,
                       const std::vector<std::string> &headers, int port,
                       std::chrono::milliseconds timeout) {
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  bool has_length = false;
  for (const auto &header : headers) {
    request += header + "\r\n";
    if (strncasecmp(header.c_str(), "Content-Length:", 15) == 0) has_length = true;
  }
  if (!has_length && (!body.empty() || method == "POST" || method == "PUT"))
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;
  std::string answer = raw_http(request, port, timeout);
  HttpReply reply;
  std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/", 0) != 0 || end == std::string::npos) return reply;
  reply.head = answer.substr(0, end + 2);
  reply.body = answer.substr(end + 4);
  reply.status = std::atoi(answer.c_str() + answer.find(' ') + 1);
  return reply;
}

HttpReply post_form(const std::string &path, const std::string &body, int port) {
  return http_request("POST", path, body, {"Content-Type: application/x-www-form-urlencoded"}, port);
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields) {
  auto encode = [](const std::string &text) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        out += static_cast<char>(c);
      } else if (c == ' ') {
        out += '+';
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    return out;
  };
  std::string body;
  for (const auto &[name, value] : fields) {
    if (!body.empty()) body += '&';
    body += encode(name) + "=" + encode(value);
  }
  return body;
}

// ---- JSON ----

Json parse_json(const std::string &text) {
  json_error_t error;
  return Json(json_loadb(text.data(), text.size(), 0, &error));
}

std::string json_string(const json_t *object, const char *key) {
  const char *value = json_string_value(json_object_get(object, key));
  return value ? value : "";
}

long long json_integer(const json_t *object, const char *key) {
  return json_integer_value(json_object_get(object, key));
}

bool json_bool(const json_t *object, const char *key) { return json_is_true(json_object_get(object, key)); }

// ---- processes ----

ProcessResult run_process(const std::vector<std::string> &argv, std::chrono::milliseconds timeout) {
  TempDir dir;
  ProcessResult result;
  pid_t pid = spawn(argv, dir.file("out"), dir.file("err"), "", {});
  result.status = wait_child(pid, timeout);
  if (result.status < 0) {
    kill(pid, SIGKILL);
    wait_child(pid, 5s);
  }
  result.out = read_file(dir.file("out"));
  result.err = read_file(dir.file("err"));
  return result;
}

Child::Child(const std::vector<std::string> &argv, const std::string &log_path) {
  pid_ = spawn(argv, log_path, log_path.empty() ? "" : log_path + ".err", "", {});
}

Child::~Child() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait_child(pid_, 5s);
  }
}

bool Child::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = exit_code(status);
    return false;
  }
  return true;
}

int Child::wait(std::chrono::milliseconds timeout) {
  if (status_ >= 0 || pid_ <= 0) return status_;
  status_ = wait_child(pid_, timeout);
  return status_;
}

int Child::stop(int signal, std::chrono::milliseconds timeout) {
  if (!running()) return status_;
  kill(pid_, signal);
  return wait(timeout);
}

bool wait_port(int port, std::chrono::milliseconds timeout) {
  // Reads the listening sockets instead of connecting, so a one-shot
  // listener (FFmpeg's RTMP receiver) is not consumed by the probe.
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream in(table);
      std::string line;
      while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0)
          return true;
      }
    }
    std::this_thread::sleep_for(10ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// ---- RTMP receiver ----

RtmpReceiver::RtmpReceiver(int port, const std::string &app_and_key, const std::string &loglevel)
    : port_(port) {
  url_ = "rtmp://127.0.0.1:" + std::to_string(port) + "/" + app_and_key;
  output_ = dir_.file("received.flv");
  child_ = std::make_unique<Child>(
      std::vector<std::string>{ffmpeg_tool("ffmpeg"), "-nostdin", "-hide_banner", "-loglevel", loglevel,
                               "-listen", "1", "-f", "flv", "-i", url_, "-map", "0", "-c", "copy",
                               "-f", "flv", "-flvflags", "no_duration_filesize", output_},
      dir_.file("receiver.log"));
}

RtmpReceiver::~RtmpReceiver() = default;

bool RtmpReceiver::wait_listening(std::chrono::milliseconds timeout) { return wait_port(port_, timeout); }

int RtmpReceiver::wait_finished(std::chrono::milliseconds timeout) { return child_->wait(timeout); }

void RtmpReceiver::kill_now() { child_->stop(SIGKILL); }

std::string RtmpReceiver::log_text() const {
  return read_file(dir_.file("receiver.log")) + read_file(dir_.file("receiver.log.err"));
}

Json ffprobe(const std::string &path, bool packets) {
  std::vector<std::string> argv{ffmpeg_tool("ffprobe"), "-v", "error", "-show_streams", "-of", "json"};
  if (packets) argv.push_back("-show_packets");
  argv.push_back(path);
  ProcessResult result = run_process(argv);
  return parse_json(result.out);
}

}  // namespace corvane_test
