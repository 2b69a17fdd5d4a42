// The start, restart and stop endpoints.
#include "web/control_endpoints.h"

#include <civetweb.h>
#include <glib.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/bounded_text.h"
#include "app/resume_state.h"
#include "app/stream_control.h"
#include "web/http_server.h"
#include "web/request_body.h"
#include "web/request_origin.h"
#include "web/status_document.h"

namespace {

bool is_post(mg_connection *conn) {
  const mg_request_info *info = mg_get_request_info(conn);
  return info && info->request_method && std::strcmp(info->request_method, "POST") == 0;
}

// One URL-decoded field; a missing field or one too long for its buffer is empty.
template <std::size_t N>
void form_field(const char *body, std::size_t length, const char *name, char (&value)[N]) {
  if (mg_get_var(body, length, name, value, N) < 0) value[0] = '\0';
}

// Another site's page may make a visitor's browser send these requests;
// such a request is refused with 403 before anything is read or changed.
bool refused_as_cross_site(mg_connection *conn) {
  if (!request_is_cross_site(conn)) return false;
  error_response(conn, 403, kCrossSiteRefusal);
  return true;
}

bool has_rtmp_prefix(const char *destination) {
  return std::strlen(destination) > 6 && std::strncmp(destination, "rtmp://", 7) == 0;
}

}  // namespace

const char *check_content_length(const char *header, std::size_t &length) {
  length = 0;
  if (!header) return "Missing request body.";
  // Leading blanks and a sign are accepted, anything after the digits is ignored.
  long long announced = std::strtoll(header, nullptr, 10);
  if (announced < 1 || announced > static_cast<long long>(kMaxRequestBody))
    return "Request body is empty or too large.";
  length = static_cast<std::size_t>(announced);
  return nullptr;
}

bool silent_audio_is_true(const char *value) {
  return g_ascii_strcasecmp(value, "yes") == 0 || g_ascii_strcasecmp(value, "true") == 0 ||
         g_ascii_strcasecmp(value, "on") == 0 || std::strcmp(value, "1") == 0;
}

const char *parse_stream_form(const char *body, std::size_t length, StreamForm &form) {
  form.destination[0] = '\0';
  form.profile_name[0] = '\0';
  form.profile_parameters[0] = '\0';
  form.silent_audio = false;

  form_field(body, length, "destination", form.destination);
  if (!form.destination[0]) return "Missing RTMP destination.";
  if (!has_rtmp_prefix(form.destination)) return "Destination must begin with rtmp://.";

  form_field(body, length, "profileName", form.profile_name);
  form_field(body, length, "profileParameters", form.profile_parameters);
  if (form.profile_name[0] && !form.profile_parameters[0])
    return "Selected stream profile is missing parameters.";

  char silent_audio[kSilentAudioSize];
  if (mg_get_var(body, length, "silentAudio", silent_audio, sizeof silent_audio) >= 0)
    form.silent_audio = silent_audio_is_true(silent_audio);
  return nullptr;
}

bool read_stream_request(mg_connection *conn, char (&destination)[kDestinationSize],
                         char (&profile_name)[kProfileNameSize],
                         char (&profile_parameters)[kProfileParametersSize], bool &silent_audio) {
  destination[0] = '\0';
  profile_name[0] = '\0';
  profile_parameters[0] = '\0';
  silent_audio = false;

  std::size_t length;
  if (const char *refusal = check_content_length(mg_get_header(conn, "Content-Length"), length)) {
    error_response(conn, 400, refusal);
    return false;
  }

  // Only the bytes that actually arrive count; a short body is not refused by itself.
  char body[kMaxRequestBody + 1];
  const std::size_t received = read_request_body(conn, body, length);
  body[received] = '\0';

  StreamForm form;
  if (const char *refusal = parse_stream_form(body, received, form)) {
    error_response(conn, 400, refusal);
    return false;
  }
  copy_bounded(destination, form.destination);
  copy_bounded(profile_name, form.profile_name);
  copy_bounded(profile_parameters, form.profile_parameters);
  silent_audio = form.silent_audio;
  return true;
}

// Starts the accepted request and answers with the status document, or
// with the start's refusal.
static int start_and_reply(mg_connection *conn, const StreamForm &form, const char *log_message) {
  char message[kMessageSize] = "";
  if (stream_start(form.destination, form.profile_name, form.profile_parameters,
                   form.silent_audio ? 1u : 0u, log_message, message)) {
    status_response(conn, 200);
  } else {
    error_response(conn, 409, message);
  }
  return 1;
}

int handle_start(mg_connection *conn, void *) {
  stream_reap();
  if (!is_post(conn)) {
    error_response(conn, 400, "Start requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn)) return 1;
  bool running;
  {
    StreamLock lock;
    running = app_state.stream.running != 0;
  }
  if (running) {
    // The resume state is left alone: the running stream's choice stays saved.
    status_response(conn, 409);
    return 1;
  }
  StreamForm form;
  if (!read_stream_request(conn, form.destination, form.profile_name, form.profile_parameters,
                           form.silent_audio))
    return 1;
  // Saved and armed before the start, so the choice is kept even when the start is refused.
  resume_state_save(form.destination, form.profile_name, form.profile_parameters, form.silent_audio);
  return start_and_reply(conn, form, "RTMP stream start requested");
}

int handle_restart(mg_connection *conn, void *) {
  stream_reap();
  if (!is_post(conn)) {
    error_response(conn, 400, "Restart requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn)) return 1;
  // A refused body leaves a running stream untouched.
  StreamForm form;
  if (!read_stream_request(conn, form.destination, form.profile_name, form.profile_parameters,
                           form.silent_audio))
    return 1;
  resume_state_save(form.destination, form.profile_name, form.profile_parameters, form.silent_audio);
  stream_stop();
  return start_and_reply(conn, form, "RTMP stream restart requested");
}

int handle_stop(mg_connection *conn, void *) {
  if (!is_post(conn)) {
    error_response(conn, 400, "Stop requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn)) return 1;
  stream_stop();
  // Only an explicit stop disarms the resume; signals leave it armed.
  if (app_state.parameters && app_param_set("ResumeOnStart", "no", true))
    syslog(LOG_INFO, "Disabled RTMP stream auto-resume");
  status_response(conn, 200);
  return 1;
}
