// Replacement for syslog in publisher test binaries (linked with --wrap=syslog).
#include "tests/publish/syslog_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace publish_test {
namespace {

std::mutex lines_mutex;
std::vector<CapturedLine> lines;

void record(int priority, const char *format, va_list args) {
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(lines_mutex);
  lines.push_back({priority & 7, text});
}

}  // namespace

std::vector<CapturedLine> captured_lines() {
  std::lock_guard<std::mutex> lock(lines_mutex);
  return lines;
}

std::size_t captured_count(const std::string &text, int level) {
  std::size_t count = 0;
  for (const CapturedLine &line : captured_lines()) {
    if ((level < 0 || line.level == level) && line.message.find(text) != std::string::npos) ++count;
  }
  return count;
}

void clear_captured_lines() {
  std::lock_guard<std::mutex> lock(lines_mutex);
  lines.clear();
}

std::string captured_dump() {
  std::string dump;
  for (const CapturedLine &line : captured_lines()) {
    dump += std::to_string(line.level) + " " + line.message + "\n";
  }
  return dump;
}

}  // namespace publish_test

extern "C" __attribute__((format(printf, 2, 3))) void __wrap_syslog(int priority,
                                                                    const char *format, ...) {
  va_list args;
  va_start(args, format);
  publish_test::record(priority, format, args);
  va_end(args);
}
