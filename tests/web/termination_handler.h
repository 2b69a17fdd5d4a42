// Waiting for the program's SIGTERM handler before signalling it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

// The program installs its SIGTERM handler only after the automatic resume;
// a signal that comes earlier ends it the default way. Waits until the
// handler is in place (the process's caught-signal mask shows it).
inline bool wait_termination_handler(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) != 0) continue;
      unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
      if (caught & (1ull << (SIGTERM - 1))) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}
