// Serial numbers, MAC selection, the device-information answer and its response buffer.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <string>
#include <vector>

#include "device/device_info_json.h"
#include "device/device_info_request.h"
#include "device/mac_address.h"
#include "device/serial_number.h"

namespace {

TEST(Device, NormalizeSerial) {
  const std::pair<const char *, const char *> cases[] = {
      {"ACCC8E012345", "ACCC8E012345"}, {"accc-8e01-2345", "ACCC8E012345"}, {"ac:cc:8e:01:23:45", "ACCC8E012345"},
      {" \tAcCc8e0A1b2C\r\n", "ACCC8E0A1B2C"}, {"ACCC8E\f012345", "ACCC8E012345"}, {"ACCC8E01234", "!"},
      {"ACCC8E0123456", "!"}, {"AC:CC:8E:01:23:45:6", "!"}, {"ACCC8E01234G", "!"}, {"accc8e01234g", "!"},
      {"ACCC8E\v012345", "!"}, {"ACCC.8E012345", "!"}, {"ACCC8E01234\xc3\xa9", "!"}, {"0xACCC8E0123", "!"},
      {"", "!"}, {" - : ", "!"}, {nullptr, "!"}};
  for (const auto &[text, expected] : cases) {
    char out[kSerialNumberSize] = "stale";
    bool ok = normalize_serial(text, out);
    EXPECT_EQ(ok ? std::string(out) : "!" + std::string(out), expected) << (text ? text : "(null)");
  }
  std::string spaced(200, ' ');
  spaced.append("accc8e012345").append(200, '-');
  char out[kSerialNumberSize];
  EXPECT_TRUE(normalize_serial(spaced.c_str(), out));
  EXPECT_FALSE(normalize_serial((spaced + "0").c_str(), out));
}

struct Interface {
  int family;
  unsigned flags;
  unsigned char halen;
  std::vector<unsigned char> address;
};

std::string select(const std::vector<Interface> &table) {
  std::vector<ifaddrs> nodes(table.size());
  std::vector<sockaddr_ll> links(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    nodes[i].ifa_next = i + 1 < table.size() ? &nodes[i + 1] : nullptr;
    nodes[i].ifa_flags = table[i].flags;
    links[i].sll_family = static_cast<unsigned short>(table[i].family);
    links[i].sll_halen = table[i].halen;
    std::copy(table[i].address.begin(), table[i].address.end(), links[i].sll_addr);
    nodes[i].ifa_addr = table[i].family ? reinterpret_cast<sockaddr *>(&links[i]) : nullptr;
  }
  char out[kMacAddressSize] = "stale";
  bool found = select_mac_address(nodes.empty() ? nullptr : nodes.data(), out);
  return found ? out : "none" + std::string(out);
}

TEST(Device, SelectMacAddress) {
  const unsigned up = IFF_UP, loop = IFF_UP | IFF_LOOPBACK;
  const std::vector<unsigned char> a = {0xac, 0xcc, 0x8e, 1, 0x23, 0x45, 0x99}, b = {2, 0, 0x5e, 0xab, 0xcd, 0xef};
  const std::pair<std::vector<Interface>, const char *> cases[] = {
      {{{AF_PACKET, up, 6, a}, {AF_PACKET, up, 6, b}}, "ac:cc:8e:01:23:45"},
      {{{AF_PACKET, loop, 6, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, 0, 6, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, up, 8, {0, 0, 0, 0, 0, 0, 1, 2}}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, up, 5, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, up, 7, a}}, "ac:cc:8e:01:23:45"},
      {{{AF_INET, up, 6, a}, {0, up, 6, a}, {AF_PACKET, up, 6, b}}, "02:00:5e:ab:cd:ef"},
      {{{AF_PACKET, loop, 6, a}, {AF_PACKET, IFF_RUNNING, 6, b}}, "none"},
      {{}, "none"}};
  for (const auto &[table, expected] : cases) EXPECT_EQ(select(table), expected);
}

// Identity fields read from an answer body, from a preset of empty fields and "aarch64".
std::string identity_from(const std::string &body) {
  DeviceIdentity identity{"", "", "", "", "aarch64"};
  read_device_info_body(body.data(), body.size(), identity);
  return std::string(identity.serial_number) + "|" + identity.device_model + "|" + identity.os_version + "|" +
         identity.chip + "|" + identity.architecture;
}

TEST(Device, InfoAnswer) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"data":{"propertyList":{"SerialNumber":"ACCC8E012345","ProdFullName":"Q1","Version":"11.9","Soc":"A8",
          "Architecture":"armv7hf","serialNumber":"B8A44F000001","ProdShortName":"S","FirmwareVersion":"1","SoC":"x"}}})",
       "ACCC8E012345|Q1|11.9|A8|armv7hf"},
      {R"({"data":{"serialNumber":"b8a44f000001","ProdShortName":"Q1","FirmwareVersion":"10.12","SoC":"CV25",
          "architecture":"aarch64le"},"propertyList":{"ProdNbr":"top"}})", "B8A44F000001|Q1|10.12|CV25|aarch64le"},
      {R"({"propertyList":{"serial_number":"00-40-8c-12-34-56","ProdNbr":"P3245","axisOsVersion":"12.0","Chip":"S5L"}})",
       "00408C123456|P3245|12.0|S5L|aarch64"},
      {R"({"data":{"propertyList":"x","ProdNbr":"in data"},"ProdNbr":"root"})", "|in data|||aarch64"},
      {R"({"data":"none","propertyList":{"ProdNbr":"top"}})", "|top|||aarch64"},
      {R"({"propertyList":["x"],"ProdNbr":"root"})", "|root|||aarch64"},
      {R"({"SerialNumber":"","serialNumber":"ACCC8E0ABCDE","ProdFullName":12,"ProdShortName":"S"})", "ACCC8E0ABCDE|S|||aarch64"},
      {R"({"SerialNumber":"ACCC8E0123456","serialNumber":"ACCC8E012345"})", "||||aarch64"},
      {R"({"Architecture":"","ProdFullName":"","Version":"","Soc":""})", "||||aarch64"},
      {R"({"ProdFullName":")" + std::string(300, 'm') + R"(","Version":")" + std::string(300, 'v') + R"(","Chip":")" +
           std::string(300, 'c') + R"(","Architecture":")" + std::string(300, 'a') + "\"}",
       "|" + std::string(127, 'm') + "|" + std::string(63, 'v') + "|" + std::string(63, 'c') + "|" + std::string(31, 'a')},
      {"<html>Unauthorized</html>", "||||aarch64"},
      {R"([{"SerialNumber":"ACCC8E012345"}])", "||||aarch64"},
      {R"({"SerialNumber":"ACCC8E012345"} x)", "||||aarch64"},
      {std::string(R"({"SerialNumber":"ACCC8E012345"})") + '\0', "||||aarch64"},
  };
  for (const auto &[body, expected] : cases) EXPECT_EQ(identity_from(body), expected) << body;
  EXPECT_EQ(json_first_string(nullptr, "a", "b", "c"), nullptr);
}

TEST(Device, ResponseBufferKeeps4096Bytes) {
  const std::pair<std::vector<std::size_t>, const char *> cases[] = {
      {{48}, "48"}, {{4096}, "4096"}, {{1000, 1000, 2000, 96}, "4096"}, {{4097}, "4096 truncated"},
      {{4096, 1}, "4096 truncated"}, {{3000, 3000, 3000}, "4096 truncated"}};
  const std::string data(9000, 'z');
  for (const auto &[chunks, expected] : cases) {
    ResponseBuffer buffer{g_string_new(nullptr), false};
    for (std::size_t length : chunks) EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), 1, length, &buffer), length);
    EXPECT_EQ(std::to_string(buffer.body->len) + (buffer.truncated ? " truncated" : ""), expected);
    g_string_free(buffer.body, TRUE);
  }
  ResponseBuffer buffer{g_string_new(nullptr), false};
  EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), 4, 1021, &buffer), 4084u);
  EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), 3, 5, &buffer), 15u);
  EXPECT_EQ(std::to_string(buffer.body->len) + (buffer.truncated ? " truncated" : ""), "4096 truncated");
  EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), 0, 10, &buffer), 0u);
  EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), SIZE_MAX / 2 + 1, 2, &buffer), 0u);
  EXPECT_EQ(response_buffer_write(const_cast<char *>(data.data()), 8, SIZE_MAX / 4, &buffer), 0u);
  g_string_free(buffer.body, TRUE);
}

}  // namespace
