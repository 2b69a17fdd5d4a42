// The rule that keeps other web sites from steering the stream through a
// visitor's browser: browsers say where a request comes from, scripts on
// the camera and curl say nothing.
#include "web/request_origin.h"

#include <civetweb.h>
#include <glib.h>

#include <cstring>
#include <string_view>

namespace {

// "scheme://host[:port]" -> "host[:port]"; "null" and anything else without
// a scheme give an empty view, which matches nothing.
std::string_view origin_authority(const char *origin) {
  const char *start = std::strstr(origin, "://");
  if (!start) return {};
  start += 3;
  std::string_view authority(start);
  return authority.substr(0, authority.find('/'));
}

// The first host of a proxy's list "a, b": the one the browser addressed.
std::string_view first_forwarded_host(const char *forwarded_host) {
  std::string_view hosts(forwarded_host);
  hosts = hosts.substr(0, hosts.find(','));
  while (!hosts.empty() && hosts.back() == ' ') hosts.remove_suffix(1);
  while (!hosts.empty() && hosts.front() == ' ') hosts.remove_prefix(1);
  return hosts;
}

bool same_host(std::string_view authority, std::string_view host) {
  return !authority.empty() && authority.size() == host.size() &&
         g_ascii_strncasecmp(authority.data(), host.data(), host.size()) == 0;
}

}  // namespace

bool is_cross_site(const char *sec_fetch_site, const char *origin, const char *host,
                   const char *forwarded_host) {
  if (sec_fetch_site) {
    return g_ascii_strcasecmp(sec_fetch_site, "cross-site") == 0 ||
           g_ascii_strcasecmp(sec_fetch_site, "same-site") == 0;
  }
  if (!origin) return false;
  const std::string_view authority = origin_authority(origin);
  if (host && same_host(authority, host)) return false;
  if (forwarded_host && same_host(authority, first_forwarded_host(forwarded_host))) return false;
  return true;
}

bool request_is_cross_site(const mg_connection *conn) {
  return is_cross_site(mg_get_header(conn, "Sec-Fetch-Site"), mg_get_header(conn, "Origin"),
                       mg_get_header(conn, "Host"), mg_get_header(conn, "X-Forwarded-Host"));
}
