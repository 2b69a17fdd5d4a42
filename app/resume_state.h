// The user's last stream choice in the application parameters, and the
// automatic resume at start-up.
#pragma once

#include <cstddef>

#include "app/app_state.h"

struct ResumeState {
  bool resume_on_start;
  char destination[1024];
  char profile_name[128];
  char profile_parameters[2048];
  bool silent_audio;
};

// Every operation takes the parameter handle, which is null when the
// platform refused it; without a handle nothing is read or written.

// Reads one application parameter into `buffer`, cut to capacity - 1; false
// (buffer empty) without a parameter handle or when the read fails.
bool app_param_get(AXParameter *parameters, const char *name, char *buffer, std::size_t capacity);
// Writes one application parameter; `sync` is the platform's sync flag.
bool app_param_set(AXParameter *parameters, const char *name, const char *value, bool sync);
// True when the handle exists and ResumeOnStart could be read, whatever its value.
bool resume_state_load(AXParameter *parameters, ResumeState &state);
// Stores the choice and arms the resume (ResumeOnStart "yes", written last).
void resume_state_save(AXParameter *parameters, const char *destination, const char *profile_name,
                       const char *profile_parameters, bool silent_audio);
// Starts the saved stream on app.stream when armed; run once at start-up.
void auto_resume(AppState &app);

// The flag rule: the value cut to 7 characters equals "yes" ignoring ASCII case.
bool reads_as_yes(const char *value);
