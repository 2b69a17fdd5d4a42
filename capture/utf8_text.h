// Bounded copies of UTF-8 text that never leave half a character behind.
#pragma once

#include <cstddef>
#include <cstring>

// Copies `source` into `destination` (capacity bytes with the NUL). A text
// that does not fit is cut at capacity - 1 bytes, moved back to the start of
// a character, so a cut value stays valid UTF-8 on its way into JSON.
inline void copy_bounded_utf8(char *destination, std::size_t capacity, const char *source) {
  if (capacity == 0) return;
  std::size_t length = source ? std::strlen(source) : 0;
  if (length >= capacity) {
    length = capacity - 1;
    // Continuation bytes look like 10xxxxxx; step back over them to the lead
    // byte, at most three, so text that is not UTF-8 is still cut by bytes.
    std::size_t cut = length;
    while (cut > 0 && length - cut < 3 && (static_cast<unsigned char>(source[cut]) & 0xC0) == 0x80) --cut;
    if ((static_cast<unsigned char>(source[cut]) & 0xC0) != 0x80) length = cut;
  }
  if (length) std::memcpy(destination, source, length);
  destination[length] = '\0';
}

template <std::size_t N>
inline void copy_bounded_utf8(char (&destination)[N], const char *source) {
  copy_bounded_utf8(destination, N, source);
}
