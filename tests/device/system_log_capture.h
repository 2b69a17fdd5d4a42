// This process's own system-log lines, captured for the test: the real
// syslog() calls reach a LogSink whose socket is bound over /dev/log. That
// bind is only done inside a mount namespace of the test's own, so it never
// touches the machine's log.
#pragma once

#include <memory>
#include <string>

#include "tests/support/test_support.h"

class SystemLogCapture {
 public:
  SystemLogCapture();
  ~SystemLogCapture();
  SystemLogCapture(const SystemLogCapture &) = delete;
  SystemLogCapture &operator=(const SystemLogCapture &) = delete;

  bool active() const { return active_; }
  const std::string &why_inactive() const { return why_; }
  corvane_test::LogSink &sink() { return *sink_; }

  // Logs a marker and waits for it, so every line logged before it has
  // been received; true when it arrived.
  bool flush();

 private:
  corvane_test::TempDir dir_;
  std::unique_ptr<corvane_test::LogSink> sink_;
  bool active_ = false;
  std::string why_;
  int markers_ = 0;
};

// True when this process runs in a network and a mount namespace that are
// not those of the process that started it (tools/in-netns.sh).
bool in_private_namespaces();
