// The camera's identity (serial number, model, OS version, chip,
// architecture), cached once known, and its MAC address, read on demand.
#pragma once

#include <jansson.h>

#include <cstddef>

#include "app/app_state.h"

inline constexpr std::size_t kMacAddressSize = 18;

// Fills `out`; true when the serial number is known.
bool device_identity_get(DeviceIdentity &out);
bool device_identity_fetch(DeviceIdentity &out);

// "xx:xx:xx:xx:xx:xx" of the first up, non-loopback interface; empty on failure.
bool read_mac_address(char *out);

bool normalize_serial(const char *text, char *out);
const char *json_first_string(const json_t *object, const char *key1, const char *key2,
                              const char *key3);
