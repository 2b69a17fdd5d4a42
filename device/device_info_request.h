// The local device-information request, authenticated with the service account.
#pragma once

#include <glib.h>

#include <cstddef>

#include "device/device_identity_record.h"
#include "device/service_credential.h"

// Most bytes of a response body that are kept; a longer body is dropped.
inline constexpr std::size_t kResponseLimit = 4096;

struct ResponseBuffer {
  GString *body;
  bool truncated;  // the body was longer than kResponseLimit
};

// libcurl write callback: appends to the ResponseBuffer up to
// kResponseLimit bytes and marks anything beyond as truncated. Returns the
// whole chunk's size so the transfer runs to its end; 0 (abort) only for a
// size of 0 or a size that overflows.
std::size_t response_buffer_write(char *data, std::size_t size, std::size_t count, void *buffer);

// POSTs getAllProperties to the device-information API with `credential`
// and takes the identity fields of a usable answer (transfer complete,
// status 200, body within kResponseLimit) into `identity`. The credential is
// wiped and freed as soon as the request is done.
void request_device_info(SecretText credential, DeviceIdentity &identity);
