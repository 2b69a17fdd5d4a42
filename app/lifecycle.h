// Process start-up, the main loop and the orderly shutdown.
#pragma once

#include "app/app_state.h"

// Runs the application on `app` until SIGTERM or SIGINT; returns the exit status.
int run_application(AppState &app);

// Logs the message at error level and ends the process with status 1, no clean-up.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fatal_exit(const char *format, ...);
