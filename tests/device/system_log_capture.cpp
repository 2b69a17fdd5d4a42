// Binds a LogSink over /dev/log inside the test's private mount namespace.
#include "tests/device/system_log_capture.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string namespace_of(const char *process, const char *kind) {
  std::error_code error;
  auto target = std::filesystem::read_symlink(std::string("/proc/") + process + "/ns/" + kind, error);
  return error ? "" : target.string();
}

// The namespace differs from the one of whoever started the test (ctest or
// a shell, outside tools/in-netns.sh), or else from that of process 1.
bool private_namespace(const char *kind) {
  std::string mine = namespace_of("self", kind);
  std::string outside = namespace_of(std::to_string(getppid()).c_str(), kind);
  if (outside.empty()) outside = namespace_of("1", kind);
  return !mine.empty() && !outside.empty() && mine != outside;
}

}  // namespace

bool in_private_namespaces() { return private_namespace("net") && private_namespace("mnt"); }

SystemLogCapture::SystemLogCapture() {
  sink_ = std::make_unique<corvane_test::LogSink>(dir_.file("log.sock"));
  if (!private_namespace("mnt")) {
    why_ = "no mount namespace of the test's own, so /dev/log is left alone";
    return;
  }
  // Same as tools/with-log.sh: the bind needs something at /dev/log.
  if (access("/dev/log", F_OK) != 0) {
    int fd = open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
  }
  if (mount(sink_->socket_path().c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    why_ = std::string("cannot bind the log socket over /dev/log: ") + std::strerror(errno);
    return;
  }
  closelog();  // the next syslog() connects to the sink
  active_ = true;
}

SystemLogCapture::~SystemLogCapture() {
  if (active_) {
    closelog();
    umount2("/dev/log", MNT_DETACH);
  }
}

bool SystemLogCapture::flush() {
  std::string marker = "test log marker " + std::to_string(++markers_);
  syslog(LOG_DEBUG, "%s", marker.c_str());
  return sink_->wait_for(marker, std::chrono::seconds(5));
}
