// The web UI's static files from the html directory of the working directory.
#pragma once

#include <cstddef>

inline constexpr std::size_t kStaticPathSize = 2048;

// Maps a request path onto the UI directory. Returns false when the path
// is refused (it contains ".."); otherwise `file_path` holds the file to
// send and `rest` points at the part of `path` the mapping used ("/" for
// the index).
bool map_static_path(const char *path, char (&file_path)[kStaticPathSize], const char *&rest);
