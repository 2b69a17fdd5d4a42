// handle_static: request paths mapped onto the html directory.
#include "web/static_files.h"

#include <civetweb.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cstring>

#include "base/bounded_text.h"
#include "base/log_text.h"
#include "web/http_server.h"

namespace {

constexpr char kUiDirectory[] = "html";
constexpr char kIndexFile[] = "index.html";
constexpr char kPathPrefix[] = "/local/corvane/corvane";

}  // namespace

bool map_static_path(const char *path, char (&file_path)[kStaticPathSize], const char *&rest) {
  rest = "/";
  if (path) {
    // A plain byte prefix: "/local/corvane/corvaneX" leaves "X".
    rest = std::strncmp(path, kPathPrefix, sizeof kPathPrefix - 1) == 0 ? path + sizeof kPathPrefix - 1
                                                                       : path;
    if (!rest[0]) rest = "/";
    if (std::strstr(rest, "..")) return false;
  }
  if (std::strcmp(rest, "/") == 0) {
    format_bounded(file_path, sizeof file_path, "%s/%s", kUiDirectory, kIndexFile);
    return true;
  }
  const char *name = rest[0] == '/' ? rest + 1 : rest;
  std::size_t length = std::strlen(name);
  if (length == 0 || name[length - 1] == '/') {
    format_bounded(file_path, sizeof file_path, "%s/%s%s", kUiDirectory, name, kIndexFile);
  } else {
    format_bounded(file_path, sizeof file_path, "%s/%s", kUiDirectory, name);
  }
  return true;
}

int handle_static(mg_connection *conn, void *) {
  // A body sent with a file request is never read, and not waited for.
  mg_disable_connection_keep_alive(conn);
  const mg_request_info *info = mg_get_request_info(conn);
  const char *path = nullptr;
  if (info) path = info->local_uri ? info->local_uri : info->request_uri;

  char file_path[kStaticPathSize];
  const char *rest;
  if (!map_static_path(path, file_path, rest)) {
    json_response(conn, 400, "{\"error\":\"Invalid path\"}");
    return 1;
  }
  struct stat file_status;
  if (stat(file_path, &file_status) == 0 && S_ISREG(file_status.st_mode)) {
    mg_send_file(conn, file_path);
    return 1;
  }
  // Directories are never listed; the server answers 404 on its own.
  syslog(LOG_WARNING, "No static file for request '%s' mapped to '%s'",
         escape_control_bytes(rest).c_str(), escape_control_bytes(file_path).c_str());
  return 0;
}
