// Normalisation of serial numbers and MAC texts to twelve hexadecimal digits.
#include "device/serial_number.h"

namespace {

constexpr int kSerialDigits = 12;

bool is_separator(char c) {
  return c == ':' || c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// The upper-case digit for a hexadecimal character, or 0 when it is none.
char upper_hex_digit(char c) {
  if (c >= '0' && c <= '9') return c;
  if (c >= 'A' && c <= 'F') return c;
  if (c >= 'a' && c <= 'f') return static_cast<char>(c - 'a' + 'A');
  return 0;
}

}  // namespace

bool normalize_serial(const char *text, char *out) {
  out[0] = '\0';
  if (!text || !text[0]) return false;
  char digits[kSerialDigits];
  int count = 0;
  for (const char *p = text; *p; ++p) {
    if (is_separator(*p)) continue;
    char digit = upper_hex_digit(*p);
    if (!digit || count == kSerialDigits) return false;
    digits[count++] = digit;
  }
  if (count != kSerialDigits) return false;
  for (int i = 0; i < kSerialDigits; ++i) out[i] = digits[i];
  out[kSerialDigits] = '\0';
  return true;
}
