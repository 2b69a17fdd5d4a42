// MAC address selection: the rules over an interface list, and one read of
// the machine's real interfaces checked against the `ip` tool's view.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <regex>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "device/mac_address.h"
#include "tests/support/test_support.h"

namespace {

enum class Family { PACKET, INET, NONE };

struct Entry {
  const char *name;
  Family family;
  unsigned flags;
  unsigned char halen;
  std::array<unsigned char, 8> address;
};

// An ifaddrs list built from a table, the way getifaddrs links it.
class InterfaceList {
 public:
  explicit InterfaceList(const std::vector<Entry> &entries)
      : nodes_(entries.size()), links_(entries.size()), inets_(entries.size()) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry &e = entries[i];
      ifaddrs &node = nodes_[i];
      node.ifa_next = i + 1 < entries.size() ? &nodes_[i + 1] : nullptr;
      node.ifa_name = const_cast<char *>(e.name);
      node.ifa_flags = e.flags;
      if (e.family == Family::PACKET) {
        links_[i].sll_family = AF_PACKET;
        links_[i].sll_halen = e.halen;
        std::copy(e.address.begin(), e.address.end(), links_[i].sll_addr);
        node.ifa_addr = reinterpret_cast<sockaddr *>(&links_[i]);
      } else if (e.family == Family::INET) {
        inets_[i].sin_family = AF_INET;
        node.ifa_addr = reinterpret_cast<sockaddr *>(&inets_[i]);
      }
    }
  }
  const ifaddrs *head() const { return nodes_.empty() ? nullptr : &nodes_[0]; }

 private:
  std::vector<ifaddrs> nodes_;
  std::vector<sockaddr_ll> links_;
  std::vector<sockaddr_in> inets_;
};

constexpr unsigned kUp = IFF_UP | IFF_BROADCAST;
constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
constexpr unsigned kDown = IFF_BROADCAST;
constexpr unsigned kLoopback = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
constexpr std::array<unsigned char, 8> kZero{};
constexpr std::array<unsigned char, 8> kEth0{0xac, 0xcc, 0x8e, 0x01, 0x23, 0x45};
constexpr std::array<unsigned char, 8> kEth1{0x02, 0x00, 0x5e, 0xab, 0xcd, 0xef};

struct SelectionCase {
  const char *name;
  std::vector<Entry> entries;
  const char *expected;  // empty when nothing qualifies
};
void PrintTo(const SelectionCase &c, std::ostream *os) { *os << c.name; }

class SelectMacAddress : public testing::TestWithParam<SelectionCase> {};

TEST_P(SelectMacAddress, PicksTheFirstUsableLinkAddress) {
  const SelectionCase &c = GetParam();
  InterfaceList list(c.entries);
  char out[kMacAddressSize];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(select_mac_address(list.head(), out), c.expected[0] != '\0');
  EXPECT_STREQ(out, c.expected);
}

const SelectionCase kSelectionCases[] = {
    {"first_usable_wins",
     {{"eth0", Family::PACKET, kUpRunning, 6, kEth0}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "ac:cc:8e:01:23:45"},
    {"loopback_skipped",
     {{"lo", Family::PACKET, kLoopback, 6, kEth1}, {"eth0", Family::PACKET, kUpRunning, 6, kEth0}},
     "ac:cc:8e:01:23:45"},
    {"down_skipped",
     {{"eth0", Family::PACKET, kDown, 6, kEth0}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"up_without_carrier_counts",
     {{"eth0", Family::PACKET, kUp, 6, kEth0}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "ac:cc:8e:01:23:45"},
    {"all_zero_skipped",
     {{"tun0", Family::PACKET, kUpRunning, 6, kZero}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"zero_first_six_with_later_bytes_skipped",
     {{"odd0", Family::PACKET, kUpRunning, 8, {0, 0, 0, 0, 0, 0, 0x12, 0x34}},
      {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"short_address_skipped",
     {{"short0", Family::PACKET, kUpRunning, 5, kEth0}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"no_address_skipped",
     {{"tun0", Family::PACKET, kUpRunning, 0, kZero}, {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"longer_address_uses_first_six",
     {{"ib0", Family::PACKET, kUpRunning, 8, {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0x99, 0x98}}},
     "de:ad:be:ef:00:01"},
    {"inet_entries_ignored",
     {{"eth0", Family::INET, kUpRunning, 0, kZero}, {"eth0", Family::NONE, kUpRunning, 0, kZero},
      {"eth1", Family::PACKET, kUpRunning, 6, kEth1}},
     "02:00:5e:ab:cd:ef"},
    {"only_loopback_and_down", {{"lo", Family::PACKET, kLoopback, 6, kZero}, {"eth0", Family::PACKET, kDown, 6, kEth0}}, ""},
    {"no_interfaces", {}, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, SelectMacAddress, testing::ValuesIn(kSelectionCases),
                         [](const testing::TestParamInfo<SelectionCase> &info) { return std::string(info.param.name); });

// What `ip -o link` shows as the first up, non-loopback interface with a
// non-zero six-byte link address, in interface-index order.
std::string first_usable_by_ip_tool(bool &ip_ran) {
  corvane_test::ProcessResult result = corvane_test::run_process({"/usr/sbin/ip", "-o", "link", "show"});
  if (result.status != 0) result = corvane_test::run_process({"/sbin/ip", "-o", "link", "show"});
  ip_ran = result.status == 0;
  std::regex line_pattern(R"(^\d+: [^:]+: <([^>]*)>.*link/\S+ ([0-9a-f:]+))");
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, line_pattern)) continue;
    std::string flags = "," + match[1].str() + ",";
    std::string address = match[2].str();
    if (flags.find(",UP,") == std::string::npos || flags.find(",LOOPBACK,") != std::string::npos) continue;
    if (address.size() != 17 || address == "00:00:00:00:00:00") continue;
    return address;
  }
  return "";
}

TEST(ReadMacAddress, AgreesWithTheIpTool) {
  bool ip_ran = false;
  std::string expected = first_usable_by_ip_tool(ip_ran);
  if (!ip_ran) GTEST_SKIP() << "the ip tool is not available to cross-check the interfaces";
  char out[kMacAddressSize];
  EXPECT_EQ(read_mac_address(out), !expected.empty());
  EXPECT_EQ(std::string(out), expected);
}

}  // namespace
