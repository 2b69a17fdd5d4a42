// The MAC address of the camera's first usable network interface.
#pragma once

#include <ifaddrs.h>

#include <cstddef>

inline constexpr std::size_t kMacAddressSize = 18;  // "xx:xx:xx:xx:xx:xx" and the NUL

// Enumerates the interfaces anew and writes the address of the first
// usable one into `out` (kMacAddressSize bytes); empty and false when none.
bool read_mac_address(char *out);

// The selection itself, over an interface list as getifaddrs returns it:
// the first link-layer entry that is up, not loopback, and carries at least
// six hardware-address bytes that are not all zero.
bool select_mac_address(const ifaddrs *interfaces, char *out);
