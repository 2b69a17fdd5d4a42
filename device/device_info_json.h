// Reading the device-information answer: choosing its property object and
// taking the identity fields from it.
#pragma once

#include <jansson.h>

#include <cstddef>

#include "device/device_identity_record.h"

// The string value of the first of the keys (`key3` may be null) whose value
// in `object` is a non-empty string; null when `object` is not a JSON object
// or no key qualifies. The text belongs to `object`.
const char *json_first_string(const json_t *object, const char *key1, const char *key2,
                              const char *key3);

// Where the properties sit in an answer whose root is an object:
// data.propertyList, else data, else a top-level propertyList, else the root.
const json_t *device_properties(const json_t *root);

// Copies the identity fields found in `properties` into `identity`; a field
// with no usable key keeps its value, a serial number that does not
// normalise leaves `serial_number` as it was.
void take_device_fields(const json_t *properties, DeviceIdentity &identity);

// Parses a response body and takes its fields; logs and takes nothing when
// the body is not JSON or its root is not an object.
void read_device_info_body(const char *body, std::size_t length, DeviceIdentity &identity);
