// Feeds arbitrary device-information answers to the reader that chooses the
// property object and takes the identity fields, and arbitrary texts to the
// serial-number normaliser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/device_info_json.h"
#include "device/serial_number.h"

namespace {

template <std::size_t... N>
void check_terminated(const char (&...fields)[N]) {
  if (((std::memchr(fields, '\0', N) == nullptr) || ...)) std::abort();
}

// Empty, or exactly twelve upper-case hexadecimal digits.
void check_serial(const char *serial) {
  std::size_t length = std::strlen(serial);
  if (length != 0 && length != 12) std::abort();
  for (std::size_t i = 0; i < length; ++i) {
    char c = serial[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  // The body as libcurl delivers it: a byte buffer of a known length.
  DeviceIdentity identity{};
  std::strcpy(identity.architecture, "aarch64");
  read_device_info_body(reinterpret_cast<const char *>(data), size, identity);
  check_terminated(identity.serial_number, identity.device_model, identity.os_version, identity.chip,
                   identity.architecture);
  check_serial(identity.serial_number);
  if (!identity.architecture[0]) std::abort();  // a key with an empty value never clears it

  // The same bytes as a serial-number text (an embedded NUL ends it early).
  std::string text(reinterpret_cast<const char *>(data), size);
  char serial[kSerialNumberSize];
  std::memset(serial, 'x', sizeof serial);
  bool ok = normalize_serial(text.c_str(), serial);
  check_serial(serial);
  if (ok != (serial[0] != '\0')) std::abort();
  return 0;
}
