// The warnings of one identity fetch, and the rule that keeps a failure
// repeated on every status request from flooding the system log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The warning lines of one fetch, in the order they arose.
using IdentityWarnings = std::vector<std::string>;

// The last set of warnings that reached the log; part of AppState, under the identity lock.
struct RepeatedWarnings {
  std::string last;      // its lines joined by "\n"; empty when the last fetch had none
  int64_t last_logged;   // g_get_monotonic_time() when it was logged, µs
};

// An identical set of warnings is logged again only after this long.
inline constexpr int64_t kWarningRepeatInterval = 3600LL * 1000000;  // µs

__attribute__((format(printf, 2, 3))) void add_identity_warning(IdentityWarnings &warnings,
                                                                 const char *format, ...);

// Whether the warnings of a fetch at `now` go to the log: when they differ
// from the set logged last, or that set was logged kWarningRepeatInterval
// ago or longer. Remembers what it lets through; a fetch without warnings
// is remembered too, so the next failure is logged at once.
bool identity_warnings_due(RepeatedWarnings &gate, const IdentityWarnings &warnings, int64_t now);
