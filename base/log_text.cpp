// Escaping of control bytes, so one request cannot forge or recolour log lines.
#include "base/log_text.h"

std::string escape_control_bytes(const char *text) {
  std::string escaped;
  if (!text) return escaped;
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char *at = text; *at; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte >= 0x20 && byte != 0x7f) {
      escaped += *at;
    } else if (byte == '\n') {
      escaped += "\\n";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (byte == '\t') {
      escaped += "\\t";
    } else {
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xf];
    }
  }
  return escaped;
}
