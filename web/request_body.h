// Reading a request body within one deadline in total.
#pragma once

#include <cstddef>
#include <cstdint>

struct mg_connection;

// The whole time a client gets to deliver a request body, however it trickles.
inline constexpr int64_t kBodyDeadline = 10000000;  // µs, the server's request time-out

// Reads up to `length` bytes of the body into `body` and returns how many
// arrived: all of them, or what came before the client closed, stalled or
// ran out of time. At the deadline the connection's receiving side is shut,
// so a read that is still waiting returns at once.
std::size_t read_request_body(mg_connection *conn, char *body, std::size_t length,
                              int64_t deadline = kBodyDeadline);
