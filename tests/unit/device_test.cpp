// Serial numbers, MAC selection, the device-information answer and its response buffer,
// the identity warnings that reach the log.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <string>
#include <vector>

#include "device/device_info_json.h"
#include "device/device_info_request.h"
#include "device/identity_warnings.h"
#include "device/mac_address.h"
#include "device/serial_number.h"

namespace {

TEST(Device, NormalizeSerial) {
  const std::pair<const char *, const char *> cases[] = {
      {"ACCC8E012345", "ACCC8E012345"}, {"accc-8e01-2345", "ACCC8E012345"}, {"ac:cc:8e:01:23:45", "ACCC8E012345"},
      {" \tAcCc8e0A1b2C\r\n", "ACCC8E0A1B2C"}, {"ACCC8E\f012345", "ACCC8E012345"},
      {"                    accc8e012345--------------------", "ACCC8E012345"}, {"ACCC8E01234", "!"},
      {"ACCC8E0123456", "!"}, {"AC:CC:8E:01:23:45:6", "!"}, {"ACCC8E01234G", "!"}, {"accc8e01234g", "!"},
      {"ACCC8E\v012345", "!"}, {"ACCC.8E012345", "!"}, {"ACCC8E01234\xc3\xa9", "!"}, {"0xACCC8E0123", "!"},
      {"", "!"}, {" - : ", "!"}, {nullptr, "!"}};
  for (const auto &[text, expected] : cases) {
    char out[kSerialNumberSize] = "stale";
    const bool ok = normalize_serial(text, out);
    EXPECT_EQ(ok ? std::string(out) : "!" + std::string(out), expected) << (text ? text : "(null)");
  }
}

// A loopback interface and one that is down are skipped through the real interfaces (identity_test).
TEST(Device, SelectMacAddress) {
  struct Interface {
    int family;
    unsigned flags;
    unsigned char length;
    std::vector<unsigned char> address;
  };
  const unsigned up = IFF_UP, loop = IFF_UP | IFF_LOOPBACK;
  const std::vector<unsigned char> a = {0xac, 0xcc, 0x8e, 1, 0x23, 0x45, 0x99};
  const std::vector<unsigned char> b = {2, 0, 0x5e, 0xab, 0xcd, 0xef};
  const std::pair<std::vector<Interface>, const char *> cases[] = {
      {{{AF_PACKET, up, 6, a}, {AF_PACKET, up, 6, b}}, "ac:cc:8e:01:23:45"},
      {{{AF_PACKET, up, 8, {0, 0, 0, 0, 0, 0, 1, 2}}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, up, 5, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, up, 7, a}}, "ac:cc:8e:01:23:45"},
      {{{AF_INET, up, 6, a}, {0, up, 6, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, loop, 6, a}, {AF_PACKET, IFF_RUNNING, 6, b}}, ""}, {{}, ""}};
  for (const auto &[table, expected] : cases) {
    std::vector<ifaddrs> nodes(table.size());  // linked as getifaddrs links them
    std::vector<sockaddr_ll> links(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
      nodes[i].ifa_next = i + 1 < table.size() ? &nodes[i + 1] : nullptr;
      nodes[i].ifa_flags = table[i].flags;
      links[i].sll_family = static_cast<unsigned short>(table[i].family);
      links[i].sll_halen = table[i].length;
      std::copy(table[i].address.begin(), table[i].address.end(), links[i].sll_addr);
      nodes[i].ifa_addr = table[i].family ? reinterpret_cast<sockaddr *>(&links[i]) : nullptr;
    }
    char out[kMacAddressSize] = "stale";
    EXPECT_EQ(select_mac_address(nodes.empty() ? nullptr : nodes.data(), out), expected[0] != '\0');
    EXPECT_STREQ(out, expected);
  }
}

// The answer's shapes, keys and cuts are exercised through a real peer (identity_test); these are the rest.
TEST(Device, InfoAnswerAndResponseBuffer) {
  const std::pair<std::string, std::string> cases[] = {  // serial|model|OS version|chip|architecture
      {R"({"ProdFullName":12,"ProdShortName":"S","Version":"","FirmwareVersion":"1.0","Architecture":""})",
       "|S|1.0||aarch64"},
      {R"({"SerialNumber":"ACCC8E012345"} x)", "||||aarch64"},
      {std::string(R"({"SerialNumber":"ACCC8E012345"})") + '\0', "||||aarch64"},
  };
  for (const auto &[body, expected] : cases) {
    DeviceIdentity identity{"", "", "", "", "aarch64"};
    IdentityWarnings warnings;
    read_device_info_body(body.data(), body.size(), identity, warnings);
    EXPECT_EQ(std::string(identity.serial_number) + "|" + identity.device_model + "|" + identity.os_version + "|" +
              identity.chip + "|" + identity.architecture, expected) << body;
  }
  std::string data(9000, 'z');
  const std::pair<std::vector<std::size_t>, const char *> writes[] = {{{48}, "48"}, {{4096}, "4096"},
      {{1000, 1000, 2000, 96}, "4096"}, {{4097}, "4096 cut"}, {{4096, 1}, "4096 cut"},
      {{3000, 3000, 3000}, "4096 cut"}};
  for (const auto &[chunks, expected] : writes) {
    ResponseBuffer buffer{g_string_new(nullptr), false};
    for (std::size_t length : chunks) EXPECT_EQ(response_buffer_write(data.data(), 1, length, &buffer), length);
    EXPECT_EQ(std::to_string(buffer.body->len) + (buffer.truncated ? " cut" : ""), expected);
    g_string_free(buffer.body, TRUE);
  }
}

// One fetch after another, each row at its time: which fetches' warnings are logged.
TEST(Device, RepeatedIdentityWarnings) {
  const int64_t hour = kWarningRepeatInterval;
  const IdentityWarnings bus = {"no bus", "no serial"}, changed = {"no bus", "other"};
  const struct {
    const char *name;
    int64_t now;
    IdentityWarnings warnings;
    bool logged;
  } fetches[] = {
      {"the first failure", 10, bus, true},
      {"the same again", 20, bus, false},
      {"the same just under an hour on", 10 + hour - 1, bus, false},
      {"the same an hour on", 10 + hour, bus, true},
      {"another failure", 10 + hour + 1, changed, true},
      {"the first one back", 10 + hour + 2, bus, true},
      {"a fetch without warnings", 10 + hour + 3, {}, false},
      {"the same failure after it", 10 + hour + 4, bus, true},
      {"the same in another order", 10 + hour + 5, {"no serial", "no bus"}, true},
  };
  RepeatedWarnings gate{};
  for (const auto &fetch : fetches)
    EXPECT_EQ(identity_warnings_due(gate, fetch.warnings, fetch.now), fetch.logged) << fetch.name;
}

}  // namespace
