// PLACEHOLDER until the control-plane work lands: no resume state yet.
#include "app/resume_state.h"

bool app_param_get(const char *, char *buffer, std::size_t capacity) {
  if (capacity) buffer[0] = '\0';
  return false;
}
bool app_param_set(const char *, const char *, bool) { return false; }
bool resume_state_load(ResumeState &state) {
  state = {};
  return false;
}
void resume_state_save(const char *, const char *, const char *, bool) {}
void auto_resume() {}
