// Start-up and shutdown in their fixed orders, and the termination signals.
#include "app/lifecycle.h"

#include <civetweb.h>
#include <curl/curl.h>
#include <glib-unix.h>
#include <syslog.h>

#include <malloc.h>
#include <pthread.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>

#include "app/app_state.h"
#include "base/bounded_text.h"
#include "app/resume_state.h"
#include "app/stream_control.h"
#include "web/http_server.h"

void fatal_exit(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(LOG_ERR, format, args);
  va_end(args);
  std::exit(1);
}

namespace {

// What a termination signal acts on: the stream to stop, the loop to quit.
struct SignalTarget {
  StreamControl &stream;
  GMainLoop *loop;
};

gboolean handle_termination_signal(gpointer data) {
  const auto &target = *static_cast<SignalTarget *>(data);
  stream_stop(target.stream);
  g_main_loop_quit(target.loop);
  syslog(LOG_INFO, "Application was stopped by SIGTERM or SIGINT.");
  return G_SOURCE_REMOVE;
}

}  // namespace

int run_application(AppState &app) {
  // Each short-lived thread (a stream's worker, the camera library's) would
  // otherwise get an allocator arena of its own, up to eight per core, each
  // keeping the memory it once held. Two arenas, and a trim after every
  // worker (stream_control.cpp), keep the resident size flat across cycles.
  mallopt(M_ARENA_MAX, 2);

  // SIGTERM and SIGINT wait until their sources are installed, so a stop
  // during start-up still shuts down in order. Threads started meanwhile
  // (the server's, an auto-resumed worker) keep them blocked for good, and
  // the signals are delivered to the main loop's thread.
  sigset_t termination;
  sigemptyset(&termination);
  sigaddset(&termination, SIGTERM);
  sigaddset(&termination, SIGINT);
  pthread_sigmask(SIG_BLOCK, &termination, nullptr);

  openlog("corvane", LOG_PID, LOG_USER);
  g_mutex_init(&app.stream.lock);
  g_mutex_init(&app.identity.lock);
  mg_init_library(0);

  CURLcode curl_result = curl_global_init(CURL_GLOBAL_ALL);
  if (curl_result == CURLE_OK) {
    app.curl_ready = 1;
  } else {
    syslog(LOG_ERR, "Failed to initialize libcurl: %s", curl_easy_strerror(curl_result));
  }

  GError *error = nullptr;
  app.parameters = ax_parameter_new("corvane", &error);
  if (!app.parameters) {
    syslog(LOG_WARNING,
           "AXParameter is unavailable; RTMP stream resume across app updates is disabled: %s",
           error_message_or_unknown(error));
  }
  g_clear_error(&error);

  mg_context *server = start_web_server();
  if (!server) fatal_exit("Failed to start Corvane web server");
  register_routes(server, app);
  syslog(LOG_INFO, "Corvane web server started");

  auto_resume(app);

  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  SignalTarget signal_target{app.stream, loop};
  g_unix_signal_add(SIGTERM, handle_termination_signal, &signal_target);
  g_unix_signal_add(SIGINT, handle_termination_signal, &signal_target);
  pthread_sigmask(SIG_UNBLOCK, &termination, nullptr);
  g_main_loop_run(loop);

  mg_stop(server);
  // A start request that slipped in between the signal and mg_stop would
  // otherwise outlive the locks it uses.
  stream_stop(app.stream);
  mg_exit_library();
  if (app.curl_ready) curl_global_cleanup();
  g_main_loop_unref(loop);
  if (app.parameters) {
    ax_parameter_free(app.parameters);
    app.parameters = nullptr;
  }
  g_mutex_clear(&app.identity.lock);
  g_mutex_clear(&app.stream.lock);
  closelog();
  return 0;
}
