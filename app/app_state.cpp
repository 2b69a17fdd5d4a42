// The one process-wide AppState, zero at process start.
#include "app/app_state.h"

#include "app/bounded_text.h"

AppState app_state;

const char *error_message_or_unknown(const GError *error) {
  return error && error->message ? error->message : "unknown error";
}
