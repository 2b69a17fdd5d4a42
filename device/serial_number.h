// Serial numbers as exactly twelve upper-case hexadecimal digits.
#pragma once

#include <cstddef>

inline constexpr std::size_t kSerialNumberSize = 32;

// Turns a serial-number or MAC text into twelve upper-case hexadecimal digits
// in `out` (kSerialNumberSize bytes), dropping colons, hyphens and ASCII
// white space; false, with `out` empty, when that is not possible.
bool normalize_serial(const char *text, char *out);
