// The platform service account's credential, fetched over the system D-Bus.
#pragma once

#include <memory>

#include "device/identity_warnings.h"

// Clears a secret text before freeing it (g_free).
void free_secret(char *text);

struct SecretRelease {
  void operator()(char *text) const { free_secret(text); }
};
// "user:password", held only for the one request that needs it.
using SecretText = std::unique_ptr<char, SecretRelease>;

// Asks the platform's HTTP configuration service for the credential of the
// program's service account; null, with a warning added, when the bus, the
// call or the answer fails. The credential itself is never in a warning.
SecretText query_service_credential(IdentityWarnings &warnings);
