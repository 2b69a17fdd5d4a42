// Test peer: the platform's HTTP configuration service on a private system
// bus, answering GetCredentials the way its command line says.
//
//   credential_service ADDRESS MODE [CREDENTIAL]
//
// MODE: good (reply CREDENTIAL), no-colon (a string without a colon),
// error (a D-Bus error reply), wrong-type (a reply that is not one string).
// Prints "ready" once it owns the name and "GetCredentials <account>" for
// every call, each line flushed before the reply goes out.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *kBusName = "com.axis.HTTPConf1";
constexpr const char *kObjectPath = "/com/axis/HTTPConf1/VAPIXServiceAccounts1";
constexpr const char *kIntrospection =
    "<node>"
    "  <interface name='com.axis.HTTPConf1.VAPIXServiceAccounts1'>"
    "    <method name='GetCredentials'>"
    "      <arg type='s' name='account' direction='in'/>"
    "      <arg type='s' name='credential' direction='out'/>"
    "    </method>"
    "  </interface>"
    "</node>";

struct Service {
  std::string mode;
  std::string credential;
  GMainLoop *loop = nullptr;
  int exit_status = 0;
};

// Sends a reply whose body does not match the declared signature, which
// the checked return functions would refuse.
void reply_with_wrong_type(GDBusMethodInvocation *invocation) {
  GDBusMessage *reply = g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
  g_dbus_message_set_body(reply, g_variant_new("(u)", 42u));
  g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), reply,
                                 G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
  g_object_unref(reply);
  g_object_unref(invocation);
}

void handle_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *method, GVariant *parameters,
                        GDBusMethodInvocation *invocation, gpointer data) {
  auto *service = static_cast<Service *>(data);
  if (std::strcmp(method, "GetCredentials") != 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               "no such method");
    return;
  }
  const gchar *account = nullptr;
  g_variant_get(parameters, "(&s)", &account);
  std::printf("GetCredentials %s\n", account);
  std::fflush(stdout);
  if (std::strcmp(account, "corvane-vapix") != 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.InvalidArgs",
                                               "unknown service account");
  } else if (service->mode == "good") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", service->credential.c_str()));
  } else if (service->mode == "no-colon") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "corvane-vapix-no-separator"));
  } else if (service->mode == "wrong-type") {
    reply_with_wrong_type(invocation);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "com.axis.HTTPConf1.Error.AccountDisabled",
                                               "service account is disabled");
  }
}

void on_name_acquired(GDBusConnection *, const gchar *, gpointer) {
  std::printf("ready\n");
  std::fflush(stdout);
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer data) {
  auto *service = static_cast<Service *>(data);
  std::fprintf(stderr, "could not own %s\n", name);
  service->exit_status = 1;
  g_main_loop_quit(service->loop);
}

gboolean on_terminate(gpointer data) {
  g_main_loop_quit(static_cast<Service *>(data)->loop);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ADDRESS good|no-colon|error|wrong-type [CREDENTIAL]\n", argv[0]);
    return 2;
  }
  Service service;
  service.mode = argv[2];
  service.credential = argc > 3 ? argv[3] : "corvane-vapix:secret";

  GError *error = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      argv[1],
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!connection) {
    std::fprintf(stderr, "cannot connect: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  GDBusInterfaceVTable vtable{handle_method_call, nullptr, nullptr, {}};
  if (!g_dbus_connection_register_object(connection, kObjectPath, node->interfaces[0], &vtable,
                                         &service, nullptr, &error)) {
    std::fprintf(stderr, "cannot register: %s\n", error->message);
    return 1;
  }
  service.loop = g_main_loop_new(nullptr, FALSE);
  guint owner = g_bus_own_name_on_connection(connection, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                             on_name_acquired, on_name_lost, &service, nullptr);
  g_unix_signal_add(SIGTERM, on_terminate, &service);
  g_unix_signal_add(SIGINT, on_terminate, &service);
  g_main_loop_run(service.loop);
  g_bus_unown_name(owner);
  g_main_loop_unref(service.loop);
  g_dbus_node_info_unref(node);
  g_object_unref(connection);
  return service.exit_status;
}
