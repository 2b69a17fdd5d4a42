// Stand-in for the camera's local services behind its identity: the
// service-account credential on the system D-Bus and the device-information
// API on 127.0.0.12:80. `make run` starts it beside the program.
//
//   device-services SERIAL [READY_FILE]
//
// It serves the bus that DBUS_SYSTEM_BUS_ADDRESS names, creates READY_FILE
// once both services answer, runs until SIGTERM or SIGINT, and reports on
// standard error only when it cannot start.
#include <civetweb.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <jansson.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr const char *kBusName = "com.axis.HTTPConf1";
constexpr const char *kObjectPath = "/com/axis/HTTPConf1/VAPIXServiceAccounts1";
constexpr const char *kInterfaceXml =
    "<node><interface name='com.axis.HTTPConf1.VAPIXServiceAccounts1'>"
    "<method name='GetCredentials'><arg type='s' direction='in'/>"
    "<arg type='s' direction='out'/></method></interface></node>";
constexpr const char *kListen = "127.0.0.12:80";
constexpr const char *kInfoPath = "/axis-cgi/basicdeviceinfo.cgi";
constexpr long long kBodyLimit = 4096;

struct Services {
  std::string serial;
  std::string password;        // one per run, for every service account
  std::string authorization;   // "Basic " and base64 of "corvane-vapix:<password>"
};

// GetCredentials(account) answers "account:password".
void on_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                    const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation,
                    gpointer data) {
  const auto *services = static_cast<const Services *>(data);
  if (std::strcmp(method, "GetCredentials") != 0) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
    return;
  }
  const gchar *account = nullptr;
  g_variant_get(parameters, "(&s)", &account);
  const std::string credential = std::string(account) + ":" + services->password;
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", credential.c_str()));
}

// The processor's name as the kernel reports it, or empty.
std::string cpu_name() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0 || line.rfind("Hardware", 0) == 0)
      return line.substr(line.find(':') == std::string::npos ? line.size() : line.find(':') + 2);
  }
  return "";
}

void reply(mg_connection *conn, int status, const char *reason, const char *extra_headers,
           const std::string &body) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
            "%sConnection: close\r\n\r\n%s",
            status, reason, body.size(), extra_headers, body.c_str());
}

std::string error_body(int code, const char *message) {
  json_t *root = json_pack("{s:s,s:{s:i,s:s}}", "apiVersion", "1.3", "error", "code", code,
                           "message", message);
  char *text = json_dumps(root, JSON_COMPACT);
  std::string body = text;
  free(text);
  json_decref(root);
  return body;
}

// The answer of getAllProperties: the emulator's identity on this host.
std::string properties_body(const Services &services) {
  utsname host{};
  uname(&host);
  json_t *list = json_pack("{s:s,s:s,s:s,s:s,s:s,s:s}", "SerialNumber", services.serial.c_str(),
                           "ProdFullName", "Corvane camera emulator", "ProdShortName",
                           "Camera emulator", "ProdNbr", "EMULATOR", "Version", host.release,
                           "Architecture", host.machine);
  const std::string cpu = cpu_name();
  if (!cpu.empty()) json_object_set_new(list, "Soc", json_string(cpu.c_str()));
  json_t *root = json_pack("{s:s,s:{s:o}}", "apiVersion", "1.3", "data", "propertyList", list);
  char *text = json_dumps(root, JSON_COMPACT);
  std::string body = text;
  free(text);
  json_decref(root);
  return body;
}

// POST with the service account's credential and {"method":"getAllProperties"}.
int handle_device_info(mg_connection *conn, void *data) {
  const auto *services = static_cast<const Services *>(data);
  const mg_request_info *request = mg_get_request_info(conn);
  if (std::strcmp(request->request_method, "POST") != 0) {
    reply(conn, 405, "Method Not Allowed", "Allow: POST\r\n", error_body(405, "POST only"));
    return 405;
  }
  const char *authorization = mg_get_header(conn, "Authorization");
  if (!authorization || services->authorization != authorization) {
    reply(conn, 401, "Unauthorized", "WWW-Authenticate: Basic realm=\"device\"\r\n",
          error_body(401, "Unauthorized"));
    return 401;
  }
  char body[kBodyLimit + 1];
  const long long length = request->content_length;
  int received = 0;
  while (length <= kBodyLimit && received < length) {
    const int part = mg_read(conn, body + received, static_cast<size_t>(length - received));
    if (part <= 0) break;
    received += part;
  }
  json_error_t error;
  json_t *call = json_loadb(body, received > 0 ? static_cast<size_t>(received) : 0, 0, &error);
  const char *method = json_string_value(json_object_get(call, "method"));
  const bool known = method && std::strcmp(method, "getAllProperties") == 0;
  json_decref(call);
  if (!known) {
    reply(conn, 400, "Bad Request", "", error_body(4002, "Unknown or missing method"));
    return 400;
  }
  reply(conn, 200, "OK", "", properties_body(*services));
  return 200;
}

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_REMOVE;
}

// Takes the service's name on the bus; false with a message when it cannot.
bool own_bus_name(GDBusConnection *bus) {
  GError *error = nullptr;
  GVariant *result = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", kBusName, 4u /* DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (!result) {
    std::fprintf(stderr, "device-services: cannot own %s: %s\n", kBusName, error->message);
    g_error_free(error);
    return false;
  }
  guint answer = 0;
  g_variant_get(result, "(u)", &answer);
  g_variant_unref(result);
  if (answer != 1 /* PRIMARY_OWNER */) {
    std::fprintf(stderr, "device-services: %s has another owner on this bus\n", kBusName);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: device-services SERIAL [READY_FILE]\n");
    return 2;
  }
  Services services;
  services.serial = argv[1];
  char word[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(word, sizeof word, "%08x", g_random_int());
    services.password += word;
  }
  const std::string credential = "corvane-vapix:" + services.password;
  gchar *encoded =
      g_base64_encode(reinterpret_cast<const guchar *>(credential.data()), credential.size());
  services.authorization = std::string("Basic ") + encoded;
  g_free(encoded);

  GError *error = nullptr;
  GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    std::fprintf(stderr, "device-services: no system bus: %s\n", error->message);
    g_error_free(error);
    return 1;
  }
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kInterfaceXml, nullptr);
  const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};
  const guint object = g_dbus_connection_register_object(bus, kObjectPath, node->interfaces[0],
                                                         &vtable, &services, nullptr, nullptr);

  mg_init_library(0);
  const char *options[] = {"listening_ports", kListen, "num_threads", "2", nullptr};
  mg_callbacks callbacks{};
  mg_context *server = mg_start(&callbacks, nullptr, options);
  if (server) {
    mg_set_request_handler(server, kInfoPath, handle_device_info, &services);
  } else {
    std::fprintf(stderr, "device-services: cannot listen on %s (in use, or not root)\n", kListen);
  }
  // The name last: whoever finds it owned finds both services answering.
  const bool serving = server && own_bus_name(bus);
  if (serving) {
    if (argc == 3) g_file_set_contents(argv[2], "", 0, nullptr);
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, quit_loop, loop);
    g_unix_signal_add(SIGINT, quit_loop, loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
  }
  if (server) mg_stop(server);
  mg_exit_library();
  g_dbus_connection_unregister_object(bus, object);
  g_dbus_node_info_unref(node);
  g_object_unref(bus);
  return serving ? 0 : 1;
}
