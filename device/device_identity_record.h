// The DeviceIdentity record: what the status shows of the camera.
#pragma once

struct DeviceIdentity {
  char serial_number[32];
  char device_model[128];
  char os_version[64];
  char chip[64];
  char architecture[32];
};
