// In-process capture of the program's syslog lines for publisher tests. The
// test binaries link with -Wl,--wrap=syslog, so every syslog call of the
// code under test lands here instead of the system log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace publish_test {

struct CapturedLine {
  int level;
  std::string message;
};

std::vector<CapturedLine> captured_lines();
// Lines whose message contains `text` (at `level`, or any level when -1).
std::size_t captured_count(const std::string &text, int level = -1);
void clear_captured_lines();
std::string captured_dump();

}  // namespace publish_test
