// PLACEHOLDER until the control-plane work lands: minimal handlers so the
// process core can be exercised. Replaced by the status, control and static
// handlers.
#include <civetweb.h>

#include "web/http_server.h"

int handle_status(mg_connection *conn, void *) {
  json_response(conn, 200, "{\"running\":false}");
  return 1;
}
int handle_start(mg_connection *conn, void *) {
  json_response(conn, 400, "{\"lastError\":\"Start requires POST.\"}");
  return 1;
}
int handle_restart(mg_connection *conn, void *) {
  json_response(conn, 400, "{\"lastError\":\"Restart requires POST.\"}");
  return 1;
}
int handle_stop(mg_connection *conn, void *) {
  json_response(conn, 200, "{\"running\":false}");
  return 1;
}
int handle_static(mg_connection *, void *) { return 0; }
