// The start, restart and stop endpoints.
#include "web/control_endpoints.h"

#include <civetweb.h>
#include <glib.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "base/mutex_lock.h"
#include "app/resume_state.h"
#include "app/stream_control.h"
#include "web/http_server.h"
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
bool refused_as_cross_site(mg_connection *conn, AppState &app) {
  if (!request_is_cross_site(conn)) return false;
  error_response(conn, app, 403, kCrossSiteRefusal);
  return true;
}

// Whether every Content-Length header announces the length the first one
// does. With two that differ, where the body ends would be a guess.
bool content_lengths_agree(mg_connection *conn, const char *first) {
  const mg_request_info *info = mg_get_request_info(conn);
  const long long announced = std::strtoll(first, nullptr, 10);
  for (int i = 0; info && i < info->num_headers; ++i) {
    const mg_header &header = info->http_headers[i];
    if (g_ascii_strcasecmp(header.name, "Content-Length") == 0 &&
        std::strtoll(header.value, nullptr, 10) != announced)
      return false;
  }
  return true;
}

// Reads the announced `length` bytes of the body into `body`, NUL-terminated,
// and returns how many arrived. The server's read waits the request time-out
// in total, however the bytes trickle in, so a short read means the client
// stopped or ran out of time.
std::size_t read_body(mg_connection *conn, std::size_t length, char (&body)[kMaxRequestBody + 1]) {
  std::size_t received = 0;
  while (received < length) {
    const std::size_t missing = length - received;
    const int n = mg_read(conn, body + received, missing);
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < missing) break;
  }
  body[received] = '\0';
  return received;
}

// The body read and checked, then saved as the resume state and armed, so
// the choice is kept even when the start is then refused. False when the
// body was refused; the 400 error document has been sent.
bool read_and_save_request(mg_connection *conn, AppState &app, StreamForm &form) {
  if (!read_stream_request(conn, app, form)) return false;
  resume_state_save(app.parameters, form.destination, form.profile_name, form.profile_parameters,
                    form.silent_audio);
  return true;
}

// Starts the accepted request and answers with the status document, or
// with the start's refusal.
int start_and_reply(mg_connection *conn, AppState &app, const StreamForm &form,
                    const char *log_message) {
  char message[kMessageSize] = "";
  if (stream_start(app.stream, form.destination, form.profile_name, form.profile_parameters,
                   form.silent_audio, log_message, message)) {
    status_response(conn, app, 200);
  } else {
    error_response(conn, app, 409, message);
  }
  return 1;
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
  form_field(body, length, "profileName", form.profile_name);
  form_field(body, length, "profileParameters", form.profile_parameters);
  // The rules stream_start applies, checked here so a bad body gets its 400.
  if (const char *refusal =
          stream_choice_refusal(form.destination, form.profile_name, form.profile_parameters))
    return refusal;

  char silent_audio[kSilentAudioSize];
  if (mg_get_var(body, length, "silentAudio", silent_audio, sizeof silent_audio) >= 0)
    form.silent_audio = silent_audio_is_true(silent_audio);
  return nullptr;
}

bool read_stream_request(mg_connection *conn, AppState &app, StreamForm &form) {
  form.destination[0] = '\0';
  form.profile_name[0] = '\0';
  form.profile_parameters[0] = '\0';
  form.silent_audio = false;

  std::size_t length;
  const char *header = mg_get_header(conn, "Content-Length");
  if (const char *refusal = check_content_length(header, length)) {
    error_response(conn, app, 400, refusal);
    return false;
  }
  if (!content_lengths_agree(conn, header)) {
    error_response(conn, app, 400, "Request body is empty or too large.");
    return false;
  }
  // A request acts only when it arrived whole: the fields of a cut body may
  // be cut too (a destination without its stream key).
  char body[kMaxRequestBody + 1];
  if (read_body(conn, length, body) < length) {
    error_response(conn, app, 400, "Missing request body.");
    return false;
  }
  if (const char *refusal = parse_stream_form(body, length, form)) {
    error_response(conn, app, 400, refusal);
    return false;
  }
  return true;
}

int handle_start(mg_connection *conn, void *data) {
  AppState &app = *static_cast<AppState *>(data);
  stream_reap(app.stream);
  if (!is_post(conn)) {
    error_response(conn, app, 400, "Start requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn, app)) return 1;
  bool running;
  {
    MutexLock lock(app.stream.lock);
    running = app.stream.running != 0;
  }
  if (running) {
    // The resume state is left alone: the running stream's choice stays saved.
    status_response(conn, app, 409);
    return 1;
  }
  StreamForm form;
  if (!read_and_save_request(conn, app, form)) return 1;
  return start_and_reply(conn, app, form, "RTMP stream start requested");
}

int handle_restart(mg_connection *conn, void *data) {
  AppState &app = *static_cast<AppState *>(data);
  stream_reap(app.stream);
  if (!is_post(conn)) {
    error_response(conn, app, 400, "Restart requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn, app)) return 1;
  // A refused body leaves a running stream untouched.
  StreamForm form;
  if (!read_and_save_request(conn, app, form)) return 1;
  stream_stop(app.stream);
  return start_and_reply(conn, app, form, "RTMP stream restart requested");
}

int handle_stop(mg_connection *conn, void *data) {
  AppState &app = *static_cast<AppState *>(data);
  if (!is_post(conn)) {
    error_response(conn, app, 400, "Stop requires POST.");
    return 1;
  }
  if (refused_as_cross_site(conn, app)) return 1;
  stream_stop(app.stream);
  // Only an explicit stop disarms the resume; signals leave it armed.
  if (app.parameters && app_param_set(app.parameters, "ResumeOnStart", "no", true))
    syslog(LOG_INFO, "Disabled RTMP stream auto-resume");
  status_response(conn, app, 200);
  return 1;
}
