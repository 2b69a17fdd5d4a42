// The property-object choice and field extraction for the device-information answer.
#include "device/device_info_json.h"

#include <initializer_list>

#include "base/bounded_text.h"
#include "base/owners.h"
#include "device/serial_number.h"

const char *json_first_string(const json_t *object, const char *key1, const char *key2,
                              const char *key3) {
  if (!json_is_object(object)) return nullptr;
  for (const char *key : {key1, key2, key3}) {
    if (!key) continue;
    const char *value = json_string_value(json_object_get(object, key));
    if (value && value[0]) return value;
  }
  return nullptr;
}

const json_t *device_properties(const json_t *root) {
  const json_t *data = json_object_get(root, "data");
  if (json_is_object(data)) {
    const json_t *list = json_object_get(data, "propertyList");
    return json_is_object(list) ? list : data;
  }
  const json_t *list = json_object_get(root, "propertyList");
  return json_is_object(list) ? list : root;
}

void take_device_fields(const json_t *properties, DeviceIdentity &identity) {
  const char *serial = json_first_string(properties, "SerialNumber", "serialNumber", "serial_number");
  char normalized[sizeof identity.serial_number];
  if (serial && normalize_serial(serial, normalized)) copy_bounded(identity.serial_number, normalized);

  if (const char *model = json_first_string(properties, "ProdFullName", "ProdShortName", "ProdNbr"))
    copy_bounded(identity.device_model, model);
  if (const char *version = json_first_string(properties, "Version", "FirmwareVersion", "axisOsVersion"))
    copy_bounded(identity.os_version, version);
  if (const char *chip = json_first_string(properties, "Soc", "SoC", "Chip"))
    copy_bounded(identity.chip, chip);
  if (const char *architecture = json_first_string(properties, "Architecture", "architecture", nullptr))
    copy_bounded(identity.architecture, architecture);
}

void read_device_info_body(const char *body, std::size_t length, DeviceIdentity &identity,
                           IdentityWarnings &warnings) {
  json_error_t error;
  const JsonRef root(json_loadb(body, length, 0, &error));
  if (!json_is_object(root.get())) {
    // On a parsed non-object root the error text is empty.
    add_identity_warning(warnings, "Basic device info returned invalid JSON: %s", error.text);
    return;
  }
  take_device_fields(device_properties(root.get()), identity);
}
