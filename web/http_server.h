// The embedded HTTP server: options, route table, and the one JSON writer.
#pragma once

struct AppState;
struct mg_context;
struct mg_connection;

// Starts the server on 127.0.0.1:30920; null when it cannot start.
mg_context *start_web_server();

// Registers the ten routes in their fixed order; every handler gets `app`
// as its data.
void register_routes(mg_context *server, AppState &app);

// Writes one complete response: status line, fixed headers, `body`.
void json_response(mg_connection *conn, int status, const char *body);

// Route handlers; `data` is the AppState.
int handle_status(mg_connection *conn, void *data);
int handle_start(mg_connection *conn, void *data);
int handle_restart(mg_connection *conn, void *data);
int handle_stop(mg_connection *conn, void *data);
int handle_static(mg_connection *conn, void *data);
