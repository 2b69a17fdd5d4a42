// Reads the MAC address of the first up, non-loopback interface.
#include "device/mac_address.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <glib.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>

namespace {

bool usable_link_address(const ifaddrs *entry) {
  if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET) return false;
  // Only the administrative state counts: a cable-less interface still
  // identifies the camera.
  if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) return false;
  const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
  if (link->sll_halen < 6) return false;
  for (int i = 0; i < 6; ++i)
    if (link->sll_addr[i]) return true;
  return false;
}

}  // namespace

bool select_mac_address(const ifaddrs *interfaces, char *out) {
  out[0] = '\0';
  for (const ifaddrs *entry = interfaces; entry; entry = entry->ifa_next) {
    if (!usable_link_address(entry)) continue;
    const unsigned char *bytes = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr)->sll_addr;
    std::snprintf(out, kMacAddressSize, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5]);
    return true;
  }
  return false;
}

bool read_mac_address(char *out) {
  out[0] = '\0';
  ifaddrs *interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    syslog(LOG_ERR, "Unable to read camera network interfaces: %s", g_strerror(errno));
    return false;
  }
  bool found = select_mac_address(interfaces, out);
  freeifaddrs(interfaces);
  return found;
}
