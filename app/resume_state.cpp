// The user's last stream choice in the application parameters, and the
// automatic resume of an armed choice at start-up.
#include "app/resume_state.h"

#include <glib.h>
#include <syslog.h>

#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "base/owners.h"
#include "app/stream_control.h"

namespace {

// Flags are read through a buffer this size, so longer values are cut to 7
// characters before the comparison.
constexpr std::size_t kFlagSize = 8;

}  // namespace

bool reads_as_yes(const char *value) {
  char flag[kFlagSize];
  copy_bounded(flag, value);
  return g_ascii_strcasecmp(flag, "yes") == 0;
}

bool app_param_get(AXParameter *parameters, const char *name, char *buffer, std::size_t capacity) {
  if (capacity) buffer[0] = '\0';
  if (!parameters) return false;
  gchar *raw_value = nullptr;
  ErrorOwner error;
  const bool read = ax_parameter_get(parameters, name, &raw_value, out_error(error));
  const TextOwner value(raw_value);  // ours whatever the result
  if (!read) {
    syslog(LOG_WARNING, "Failed to read app parameter '%s': %s", name,
           error_message_or_unknown(error.get()));
    return false;
  }
  copy_bounded(buffer, capacity, value ? value.get() : "");
  return true;
}

bool app_param_set(AXParameter *parameters, const char *name, const char *value, bool sync) {
  if (!parameters) return false;
  ErrorOwner error;
  if (!ax_parameter_set(parameters, name, value, sync ? TRUE : FALSE, out_error(error))) {
    syslog(LOG_WARNING, "Failed to set app parameter '%s': %s", name,
           error_message_or_unknown(error.get()));
    return false;
  }
  return true;
}

bool resume_state_load(AXParameter *parameters, ResumeState &state) {
  state = {};
  if (!parameters) return false;
  char flag[kFlagSize];
  if (!app_param_get(parameters, "ResumeOnStart", flag, sizeof flag)) return false;
  state.resume_on_start = reads_as_yes(flag);
  // A saved value that cannot be read stays empty; the state still loads.
  app_param_get(parameters, "LastDestination", state.destination, sizeof state.destination);
  app_param_get(parameters, "LastProfileName", state.profile_name, sizeof state.profile_name);
  app_param_get(parameters, "LastProfileParameters", state.profile_parameters,
                sizeof state.profile_parameters);
  if (app_param_get(parameters, "LastSilentAudio", flag, sizeof flag))
    state.silent_audio = reads_as_yes(flag);
  return true;
}

void resume_state_save(AXParameter *parameters, const char *destination, const char *profile_name,
                       const char *profile_parameters, bool silent_audio) {
  if (!parameters) {
    syslog(LOG_WARNING, "RTMP stream resume state was not saved because AXParameter is unavailable");
    return;
  }
  // Every write is tried whatever became of the ones before, and the arming
  // flag goes last so that it is durable together with the values.
  bool saved = app_param_set(parameters, "LastDestination", destination, false);
  saved = app_param_set(parameters, "LastProfileName", profile_name, false) && saved;
  saved = app_param_set(parameters, "LastProfileParameters", profile_parameters, false) && saved;
  saved = app_param_set(parameters, "LastSilentAudio", silent_audio ? "yes" : "no", false) && saved;
  saved = app_param_set(parameters, "ResumeOnStart", "yes", true) && saved;
  if (saved) {
    syslog(LOG_INFO, "Saved RTMP stream resume state");
  } else {
    syslog(LOG_WARNING, "RTMP stream resume state may be incomplete");
  }
}

void auto_resume(AppState &app) {
  char message[kMessageSize] = "";
  ResumeState state;
  if (!resume_state_load(app.parameters, state) || !state.resume_on_start) return;
  if (stream_start(app.stream, state.destination, state.profile_name, state.profile_parameters,
                   state.silent_audio, "RTMP stream auto-resume requested", message)) {
    return;
  }
  {
    MutexLock lock(app.stream.lock);
    copy_bounded(app.stream.last_error, message);
  }
  syslog(LOG_ERR, "Unable to auto-resume RTMP stream: %s", message);
}
