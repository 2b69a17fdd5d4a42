// Whether a browser marks a request as coming from another site.
#pragma once

struct mg_connection;

// The message of the 403 error document that refuses such a request.
inline constexpr char kCrossSiteRefusal[] =
    "Refused a request from another site: start, restart and stop are accepted only from "
    "Corvane's own page.";

// True when `sec_fetch_site` is "cross-site" or "same-site"; without that
// header, when `origin` is given and its host[:port] matches neither `host`
// nor `forwarded_host` (the camera's web server forwards requests and may
// rewrite Host). Requests with neither header (curl, scripts) are not
// cross-site. Any argument may be null.
bool is_cross_site(const char *sec_fetch_site, const char *origin, const char *host,
                   const char *forwarded_host);

// is_cross_site for the request's own headers.
bool request_is_cross_site(const mg_connection *conn);
