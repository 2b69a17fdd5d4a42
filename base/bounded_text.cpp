// The platform's message for a failed call.
#include "base/bounded_text.h"

#include <glib.h>

const char *error_message_or_unknown(const GError *error) {
  return error && error->message ? error->message : "unknown error";
}
