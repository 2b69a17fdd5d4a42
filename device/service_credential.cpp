// GetCredentials on the platform's HTTP configuration service over the system bus.
#include "device/service_credential.h"

#include <gio/gio.h>

#include <cstring>

#include "base/bounded_text.h"
#include "base/owners.h"

namespace {

constexpr const char *kBusName = "com.axis.HTTPConf1";
constexpr const char *kObjectPath = "/com/axis/HTTPConf1/VAPIXServiceAccounts1";
constexpr const char *kInterface = "com.axis.HTTPConf1.VAPIXServiceAccounts1";
constexpr const char *kServiceAccount = "corvane-vapix";

}  // namespace

void free_secret(char *text) {
  if (!text) return;
  explicit_bzero(text, std::strlen(text));
  g_free(text);
}

SecretText query_service_credential(IdentityWarnings &warnings) {
  ErrorOwner error;
  ObjectRef<GDBusConnection> connection(
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, out_error(error)));
  if (!connection) {
    add_identity_warning(warnings, "Unable to connect to D-Bus for VAPIX credentials: %s",
                         error_message_or_unknown(error.get()));
    return {};
  }
  // The bus connection is only borrowed for this call: a restart of the
  // system bus must not end the application.
  g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
  VariantRef reply(g_dbus_connection_call_sync(
      connection.get(), kBusName, kObjectPath, kInterface, "GetCredentials",
      g_variant_new("(s)", kServiceAccount), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      out_error(error)));
  if (!reply) {
    add_identity_warning(warnings, "Unable to retrieve VAPIX service account credentials: %s",
                         error_message_or_unknown(error.get()));
    return {};
  }
  // No reply type is imposed on the call, so a reply of any other shape
  // counts as a missing credential rather than being read blindly.
  const char *text = nullptr;
  if (g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(s)")))
    g_variant_get(reply.get(), "(&s)", &text);
  SecretText credential;
  if (text && std::strchr(text, ':')) {
    credential.reset(g_strdup(text));
  } else {
    add_identity_warning(warnings, "VAPIX service account returned an invalid credential string");
  }
  // The credential is our own copy now: the reply goes, then the connection.
  reply.reset();
  connection.reset();
  return credential;
}
