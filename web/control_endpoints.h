// The start, restart and stop endpoints, and the reading of their
// form-encoded request body.
#pragma once

#include <cstddef>

struct AppState;
struct mg_connection;

inline constexpr std::size_t kMaxRequestBody = 4096;
inline constexpr std::size_t kDestinationSize = 1024;
inline constexpr std::size_t kProfileNameSize = 128;
inline constexpr std::size_t kProfileParametersSize = 2048;
inline constexpr std::size_t kSilentAudioSize = 16;

// The four fields of one start or restart request.
struct StreamForm {
  char destination[kDestinationSize];
  char profile_name[kProfileNameSize];
  char profile_parameters[kProfileParametersSize];
  bool silent_audio;
};

// Checks a Content-Length header value (null when the header is missing).
// Returns null and sets `length` when it announces 1 to 4096 bytes, else
// the refusal message.
const char *check_content_length(const char *header, std::size_t &length);

// Takes the four fields out of a form-encoded body of `length` bytes and
// validates them. Returns null when accepted, else the refusal message;
// `form` is emptied first in any case.
const char *parse_stream_form(const char *body, std::size_t length, StreamForm &form);

// "yes", "true", "on" in any letter case, or exactly "1".
bool silent_audio_is_true(const char *value);

// Empties `form`, then reads and validates the body into it. On false the
// 400 error document (with the identity of `app`) has been sent.
bool read_stream_request(mg_connection *conn, AppState &app, StreamForm &form);
