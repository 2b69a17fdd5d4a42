// Server options, route table and json_response.
#include "web/http_server.h"

#include <civetweb.h>

#include <cstring>

namespace {

const char *status_text(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 409: return "Conflict";
    default: return "Error";
  }
}

struct Route {
  const char *uri;
  mg_request_handler handler;
};

constexpr Route kRoutes[] = {
    {"/local/corvane/corvane/api/status", handle_status},
    {"/local/corvane/corvane/api/start", handle_start},
    {"/local/corvane/corvane/api/restart", handle_restart},
    {"/local/corvane/corvane/api/stop", handle_stop},
    {"/api/status", handle_status},
    {"/api/start", handle_start},
    {"/api/restart", handle_restart},
    {"/api/stop", handle_stop},
    {"/local/corvane/corvane", handle_static},
    {"/", handle_static},
};

}  // namespace

mg_context *start_web_server() {
  const char *options[] = {
      // Loopback only: on a camera the page is reached through the camera's
      // web server, which authenticates the user first.
      "listening_ports", "127.0.0.1:30920",
      "request_timeout_ms", "10000",
      "error_log_file", "error.log",
      // The server would answer CORS preflights itself, granting any origin
      // and echoing the headers asked for (X-Forwarded-Host among them):
      // without an allowed origin, a page elsewhere gets no permission.
      "access_control_allow_origin", "",
      // A client that sends its request slowly holds a thread until the
      // request time-out. With twice CivetWeb's 50 threads, 60 such clients
      // leave the status and the page their threads.
      "num_threads", "100",
      nullptr,
  };
  mg_callbacks callbacks;
  std::memset(&callbacks, 0, sizeof callbacks);
  return mg_start(&callbacks, nullptr, options);
}

void register_routes(mg_context *server, AppState &app) {
  for (const Route &route : kRoutes) mg_set_request_handler(server, route.uri, route.handler, &app);
}

void json_response(mg_connection *conn, int status, const char *body) {
  // As the reply says, the connection closes: the server does not read the
  // rest of an unread or refused body first.
  mg_disable_connection_keep_alive(conn);
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
            "Content-Length: %lu\r\nConnection: close\r\n\r\n%s",
            status, status_text(status), static_cast<unsigned long>(std::strlen(body)), body);
}
