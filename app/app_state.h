// Process-wide state: the stream control block, the parameter handle, the
// identity cache. The process entry holds the program's one instance, with
// static storage, and hands it to what works on it.
#pragma once

#include <cstdint>

#include "axparameter.h"
#include "base/stream_records.h"
#include "device/device_identity.h"

struct AppState {
  StreamControl stream;
  AXParameter *parameters;  // none when the platform refused the handle
  uint32_t curl_ready;
  IdentityCache identity;
};
