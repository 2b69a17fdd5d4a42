// The camera's identity (serial number, model, OS version, chip,
// architecture), fetched on demand and cached once a serial number is known.
#pragma once

#include <glib.h>

#include "axparameter.h"
#include "device/device_identity_record.h"
#include "device/mac_address.h"
#include "device/serial_number.h"

// The process's copy of the identity; `identity` and `cached` are touched
// only while `lock` is held.
struct IdentityCache {
  GMutex lock;
  DeviceIdentity identity;
  bool cached;
};

// Both fetch with the parameter handle (null when the platform refused it)
// and, when `curl_ready`, from the device-information API.

// Fills `out` from the cache or, while nothing is cached, from a fresh
// fetch; true when the serial number is known.
bool device_identity_get(IdentityCache &cache, AXParameter *parameters, bool curl_ready,
                         DeviceIdentity &out);

// Gathers a fresh identity (device-information API, then the serial-number
// fallbacks, then the defaults), caches it when it has a serial number and
// fills `out`; true when the serial number is non-empty.
bool device_identity_fetch(IdentityCache &cache, AXParameter *parameters, bool curl_ready,
                           DeviceIdentity &out);
