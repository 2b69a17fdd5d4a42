// Bounded copies and formatting into fixed-size, NUL-terminated text fields.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Refusal and worker messages are written into buffers of this size.
inline constexpr std::size_t kMessageSize = 512;

// Copies `source` into `destination`, cutting it at capacity - 1 bytes.
inline void copy_bounded(char *destination, std::size_t capacity, const char *source) {
  if (capacity == 0) return;
  std::size_t length = source ? std::strlen(source) : 0;
  if (length >= capacity) length = capacity - 1;
  if (length) std::memcpy(destination, source, length);
  destination[length] = '\0';
}

template <std::size_t N>
inline void copy_bounded(char (&destination)[N], const char *source) {
  copy_bounded(destination, N, source);
}

// printf-style formatting that cuts at the buffer's size less one.
__attribute__((format(printf, 3, 4))) inline void format_bounded(char *destination,
                                                                  std::size_t capacity,
                                                                  const char *format, ...) {
  if (capacity == 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(destination, capacity, format, args);
  va_end(args);
}

// The platform's message for a failed call, or "unknown error" when none came back.
struct _GError;
const char *error_message_or_unknown(const struct _GError *error);
