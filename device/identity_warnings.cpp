// Warning lines of an identity fetch, collected and let through to the log now and then.
#include "device/identity_warnings.h"

#include <glib.h>

#include <cstdarg>

void add_identity_warning(IdentityWarnings &warnings, const char *format, ...) {
  va_list args;
  va_start(args, format);
  gchar *line = g_strdup_vprintf(format, args);
  va_end(args);
  warnings.emplace_back(line);
  g_free(line);
}

bool identity_warnings_due(RepeatedWarnings &gate, const IdentityWarnings &warnings, int64_t now) {
  std::string joined;
  for (const std::string &line : warnings) joined += (joined.empty() ? "" : "\n") + line;
  if (joined.empty()) {
    gate.last.clear();
    return false;
  }
  if (joined == gate.last && now - gate.last_logged < kWarningRepeatInterval) return false;
  gate.last = joined;
  gate.last_logged = now;
  return true;
}
