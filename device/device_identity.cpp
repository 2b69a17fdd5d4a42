// The device identity: cache, fetch from the device-information API, fallbacks, defaults.
#include "device/device_identity.h"

#include <syslog.h>

#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "base/owners.h"
#include "device/device_info_request.h"

namespace {

constexpr const char *kSerialParameter = "Properties.System.SerialNumber";

// The platform's own record of the serial number, when a handle is open.
bool serial_from_system_parameter(AXParameter *parameters, char *serial) {
  ErrorOwner error;
  gchar *value = nullptr;
  const bool read =
      ax_parameter_get(parameters, kSerialParameter, &value, out_error(error));
  const TextOwner text(value);  // ours whatever the result
  if (!read) {
    syslog(LOG_WARNING, "Failed to read system parameter '%s': %s", kSerialParameter,
           error_message_or_unknown(error.get()));
    return false;
  }
  // The whole value is checked: a cut copy could turn an over-long,
  // invalid text into a valid-looking serial number.
  return text && text.get()[0] && normalize_serial(text.get(), serial);
}

bool serial_from_mac_address(char *serial) {
  char mac[kMacAddressSize];
  return read_mac_address(mac) && normalize_serial(mac, serial);
}

void apply_defaults(DeviceIdentity &identity) {
  if (!identity.device_model[0]) copy_bounded(identity.device_model, "unknown");
  if (!identity.os_version[0]) copy_bounded(identity.os_version, "unknown");
  if (!identity.chip[0]) copy_bounded(identity.chip, "unknown");
  if (!identity.architecture[0]) copy_bounded(identity.architecture, "aarch64");
}

}  // namespace

bool device_identity_get(IdentityCache &cache, AXParameter *parameters, bool curl_ready,
                         DeviceIdentity &out) {
  {
    MutexLock lock(cache.lock);
    if (cache.cached) {
      out = cache.identity;
      return out.serial_number[0] != '\0';
    }
  }
  // No lock during the fetch: concurrent first requests may each fetch.
  return device_identity_fetch(cache, parameters, curl_ready, out);
}

bool device_identity_fetch(IdentityCache &cache, AXParameter *parameters, bool curl_ready,
                           DeviceIdentity &out) {
  DeviceIdentity identity{};
  copy_bounded(identity.architecture, "aarch64");

  // Without libcurl there is no device-information request, so the
  // credential is not asked for either.
  if (curl_ready) {
    SecretText credential = query_service_credential();
    if (credential) request_device_info(std::move(credential), identity);
  }

  if (!identity.serial_number[0]) {
    const bool found =
        parameters && serial_from_system_parameter(parameters, identity.serial_number);
    if (!found) serial_from_mac_address(identity.serial_number);
  }

  apply_defaults(identity);

  if (!identity.serial_number[0]) {
    out = identity;
    return false;
  }
  MutexLock lock(cache.lock);
  cache.identity = identity;
  cache.cached = true;
  out = cache.identity;
  return true;
}
