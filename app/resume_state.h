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

bool app_param_get(const char *name, char *buffer, std::size_t capacity);
bool app_param_set(const char *name, const char *value, bool sync);
bool resume_state_load(ResumeState &state);
void resume_state_save(const char *destination, const char *profile_name,
                       const char *profile_parameters, bool silent_audio);
void auto_resume();
