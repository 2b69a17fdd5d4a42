// The camera's identity (serial number, model, OS version, chip,
// architecture), fetched on demand and cached once a serial number is known.
#pragma once

#include "app/app_state.h"
#include "device/mac_address.h"
#include "device/serial_number.h"

// Both work on the identity cache of `app` and fetch with its libcurl state
// and parameter handle.

// Fills `out` from the cache or, while nothing is cached, from a fresh
// fetch; true when the serial number is known.
bool device_identity_get(AppState &app, DeviceIdentity &out);

// Gathers a fresh identity (device-information API, then the serial-number
// fallbacks, then the defaults), caches it when it has a serial number and
// fills `out`; true when the serial number is non-empty.
bool device_identity_fetch(AppState &app, DeviceIdentity &out);
