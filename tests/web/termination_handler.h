// Waiting for the program's SIGTERM handler before signalling it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

// The program installs its SIGTERM handler only after the automatic resume;
// a signal that comes earlier ends it the default way. Waits until the
// handler is in place (the process's caught-signal mask shows it).
//
// Under user-mode emulation (CORVANE_EMULATOR) the emulator catches every
// signal itself from its first instruction, so the mask says nothing. There
// the sign is the main thread waiting in poll: the main loop, which starts
// only after the handler is installed.
inline bool wait_termination_handler(pid_t pid) {
  const char *emulator = std::getenv("CORVANE_EMULATOR");
  const bool emulated = emulator && *emulator;
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < (emulated ? 6000 : 1000); ++i) {
    if (emulated) {
      std::ifstream wchan(proc + "/wchan");
      std::string waiting;
      if (std::getline(wchan, waiting) && waiting.find("poll") != std::string::npos) return true;
    } else {
      std::ifstream status(proc + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
        if (caught & (1ull << (SIGTERM - 1))) return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}
