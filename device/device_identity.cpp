// PLACEHOLDER until the device identity lands: nothing is known.
#include "device/device_identity.h"

bool device_identity_get(DeviceIdentity &out) {
  out = {};
  return false;
}
bool device_identity_fetch(DeviceIdentity &out) { return device_identity_get(out); }
bool read_mac_address(char *out) {
  out[0] = '\0';
  return false;
}
bool normalize_serial(const char *, char *out) {
  out[0] = '\0';
  return false;
}
const char *json_first_string(const json_t *, const char *, const char *, const char *) { return nullptr; }
