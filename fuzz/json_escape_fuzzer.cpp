// Feeds arbitrary texts and capacities to json_escape: the result must stay
// within the capacity and always be a valid JSON string whose content is
// drawn from the source in order.
#include <glib.h>
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "web/status_document.h"

namespace {

// True when `small` can be had from `large` by deleting bytes.
bool is_subsequence(const std::string &small, const std::string &large) {
  std::size_t at = 0;
  for (char byte : large)
    if (at < small.size() && small[at] == byte) ++at;
  return at == small.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size < 2) return 0;
  // Two bytes choose the capacity (every caller passes at least 36).
  std::size_t capacity = 36 + ((static_cast<std::size_t>(data[0]) << 8 | data[1]) % 4096);
  std::string source(reinterpret_cast<const char *>(data + 2), size - 2);
  source = source.c_str();  // the escaper sees a NUL-terminated text

  // Exactly `capacity` bytes, so a write past the end is caught.
  auto out = std::make_unique<char[]>(capacity);
  json_escape(source.c_str(), out.get(), capacity);
  std::size_t length = strnlen(out.get(), capacity);
  if (length >= capacity) std::abort();

  std::string document = "[\"" + std::string(out.get(), length) + "\"]";
  json_error_t error;
  json_t *root = json_loadb(document.data(), document.size(), 0, &error);
  if (!root) std::abort();  // not a valid JSON string
  json_t *item = json_array_get(root, 0);
  std::string decoded(json_string_value(item), json_string_length(item));
  json_decref(root);
  if (!is_subsequence(decoded, source)) std::abort();

  // With twice the source's size, valid UTF-8 loses only the control
  // characters that have no two-byte escape.
  if (capacity > 2 * source.size() && g_utf8_validate(source.data(), source.size(), nullptr)) {
    std::string kept;
    for (unsigned char byte : source)
      if (byte >= 0x20 || byte == '\n' || byte == '\r' || byte == '\t') kept += static_cast<char>(byte);
    if (decoded != kept) std::abort();
  }
  return 0;
}
