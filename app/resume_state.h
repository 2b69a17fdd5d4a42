// The user's last stream choice in the application parameters, and the
// automatic resume at start-up.
#pragma once

#include <cstddef>

struct ResumeState {
  bool resume_on_start;
  char destination[1024];
  char profile_name[128];
  char profile_parameters[2048];
  bool silent_audio;
};

// Reads one application parameter into `buffer`, cut to capacity - 1; false
// (buffer empty) without a parameter handle or when the read fails.
bool app_param_get(const char *name, char *buffer, std::size_t capacity);
// Writes one application parameter; `sync` is the platform's sync flag.
bool app_param_set(const char *name, const char *value, bool sync);
// True when the handle exists and ResumeOnStart could be read, whatever its value.
bool resume_state_load(ResumeState &state);
// Stores the choice and arms the resume (ResumeOnStart "yes", written last).
void resume_state_save(const char *destination, const char *profile_name,
                       const char *profile_parameters, bool silent_audio);
// Starts the saved stream when armed; run once at start-up.
void auto_resume();

// The flag rule: the value cut to 7 characters equals "yes" ignoring ASCII case.
bool reads_as_yes(const char *value);
