// The status document, the error document, and the JSON string escaper
// through which every text value of both passes.
#pragma once

#include <cstddef>

struct AppState;
struct mg_connection;

inline constexpr std::size_t kStatusDocumentSize = 11000;
inline constexpr std::size_t kErrorDocumentSize = 2500;

// Writes the escaped form of `source` into `destination` (at most capacity - 1
// bytes, always NUL-terminated). Quote, backslash, LF, CR and tab become
// two-byte escapes when both bytes fit; other control bytes and bytes that
// are not part of a well-formed UTF-8 sequence are dropped; a UTF-8 sequence
// that does not fit whole is skipped, never cut.
void json_escape(const char *source, char *destination, std::size_t capacity);

// Builds the status document from a snapshot of the stream, the saved
// choice and the device identity of `app`.
void format_status_document(AppState &app, char *out, std::size_t capacity);
// Builds the error document around `message`, with the identity of `app`.
void format_error_document(AppState &app, const char *message, char *out, std::size_t capacity);

// Send the documents through json_response with `http_status`.
void status_response(mg_connection *conn, AppState &app, int http_status);
void error_response(mg_connection *conn, AppState &app, int http_status, const char *message);
