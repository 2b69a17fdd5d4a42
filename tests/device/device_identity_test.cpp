// Device identity end to end against real peers: a private system bus with
// the credential service, the device-information API on 127.0.0.12:80, the
// parameter store, and the interfaces of the test's own network namespace.
// The code under test logs through the real syslog(), captured here.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "device/device_identity.h"
#include "tests/device/system_log_capture.h"
#include "tests/peers/device_info_server.h"
#include "tests/peers/system_bus.h"
#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using corvane_peers::CredentialMode;
using corvane_peers::CredentialService;
using corvane_peers::DeviceInfoReply;

// The test's own application state: identity cache, libcurl flag, parameter handle.
AppState app{};

// The password holds a colon: only the first colon separates the user name.
constexpr const char *kPassword = "Pw-7f3e:x9Qz!s";
const std::string kCredential = std::string("corvane-vapix:") + kPassword;
constexpr const char *kSerialParameter = "Properties.System.SerialNumber";

// Peers shared by every test of the binary.
struct Peers {
  std::string skip_reason;
  std::unique_ptr<SystemLogCapture> log;
  corvane_peers::SystemBus bus;
  corvane_peers::DeviceInfoServer server{kCredential};
};
Peers *peers = nullptr;

class PeersEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    peers = new Peers;
    g_mutex_init(&app.identity_lock);
    ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
    if (!in_private_namespaces()) {
      peers->skip_reason =
          "needs network and mount namespaces of its own (run it through ctest or tools/in-netns.sh)";
      return;
    }
    peers->log = std::make_unique<SystemLogCapture>();
    if (!peers->log->active()) {
      peers->skip_reason = "cannot capture the system log: " + peers->log->why_inactive();
      return;
    }
    if (!peers->server.start()) {
      peers->skip_reason = "device-information stand-in: " + peers->server.error();
      return;
    }
    ASSERT_TRUE(peers->bus.start()) << peers->bus.error();
  }
  void TearDown() override {
    delete peers;
    peers = nullptr;
    curl_global_cleanup();
    g_mutex_clear(&app.identity_lock);
  }
};

[[maybe_unused]] testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new PeersEnvironment);

// ---- answers of the device-information API ----

const std::string kFullFields =
    R"("SerialNumber":"ACCC8E012345","ProdFullName":"Box Camera Q1","ProdShortName":"Q1",)"
    R"("Version":"11.9.60","Soc":"SoC-8","Architecture":"arm64","Brand":"Corvane test")";

std::string object(const std::string &members) { return "{" + members + "}"; }
std::string in_property_list(const std::string &members) {
  return R"({"apiVersion":"1.3","data":{"propertyList":)" + object(members) + "}}";
}
// Pads a JSON text with trailing white space to exactly `size` bytes.
std::string padded(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return text;
}

struct Expected {
  bool known;
  const char *serial;
  const char *model;
  const char *os_version;
  const char *chip;
  const char *architecture;
};
const Expected kFull{true, "ACCC8E012345", "Box Camera Q1", "11.9.60", "SoC-8", "arm64"};
const Expected kNothing{false, "", "unknown", "unknown", "unknown", "aarch64"};

void expect_identity(bool known, const DeviceIdentity &identity, const Expected &expected) {
  EXPECT_EQ(known, expected.known);
  EXPECT_STREQ(identity.serial_number, expected.serial);
  EXPECT_STREQ(identity.device_model, expected.model);
  EXPECT_STREQ(identity.os_version, expected.os_version);
  EXPECT_STREQ(identity.chip, expected.chip);
  EXPECT_STREQ(identity.architecture, expected.architecture);
}

// ---- the common fixture ----

class DeviceIdentityTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(peers, nullptr);
    if (!peers->skip_reason.empty()) GTEST_SKIP() << peers->skip_reason;
    g_mutex_lock(&app.identity_lock);
    app.identity_cached = false;
    app.identity_cache = {};
    g_mutex_unlock(&app.identity_lock);
    app.curl_ready = 1;
    app.parameters = nullptr;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", peers->bus.address().c_str(), 1);
    peers->server.reset();
    peers->log->sink().clear();
  }

  void TearDown() override {
    if (!peers || !peers->skip_reason.empty()) return;
    // Whatever happened, the credential never reaches the log.
    for (const corvane_test::LogLine &line : log_lines()) {
      EXPECT_EQ(line.message.find(kPassword), std::string::npos) << line.message;
      EXPECT_EQ(line.message.find("corvane-vapix-no-separator"), std::string::npos) << line.message;
    }
    service_.reset();
    if (app.parameters) ax_parameter_free(app.parameters);
    app.parameters = nullptr;
    parameter_dir_.reset();
  }

  void start_service(CredentialMode mode, const std::string &credential = kCredential) {
    service_ = std::make_unique<CredentialService>(peers->bus, mode, credential);
    ASSERT_TRUE(service_->wait_ready()) << service_->error_output();
  }
  int service_calls() const { return service_ ? service_->calls() : 0; }

  // Opens the parameter store on a fresh folder; `system_serial` configures
  // the system parameter (nullopt: not configured).
  void open_parameters(const std::optional<std::string> &system_serial) {
    parameter_dir_ = std::make_unique<corvane_test::TempDir>();
    std::filesystem::create_directories(parameter_dir_->file("system"));
    if (system_serial) std::ofstream(parameter_dir_->file("system/") + kSerialParameter) << *system_serial;
    setenv("AXPARAMETER_DIR", parameter_dir_->path().c_str(), 1);
    unsetenv("AXPARAMETER_SYSTEM_SERIAL");
    GError *error = nullptr;
    app.parameters = ax_parameter_new("corvane", &error);
    ASSERT_NE(app.parameters, nullptr) << (error ? error->message : "no error object");
  }
  // Makes the system parameter unreadable: a folder where its file belongs.
  void break_system_parameter() {
    std::filesystem::create_directories(parameter_dir_->file("system/") + kSerialParameter + "/x");
  }

  // Every line logged so far (apart from the capture's own markers).
  std::vector<corvane_test::LogLine> log_lines() {
    EXPECT_TRUE(peers->log->flush()) << "the log capture lost its marker";
    std::vector<corvane_test::LogLine> lines;
    for (auto &line : peers->log->sink().lines())
      if (line.message.rfind("test log marker ", 0) != 0) lines.push_back(line);
    return lines;
  }
  std::string log_dump() {
    std::string dump;
    for (auto &line : log_lines()) dump += std::to_string(line.level) + " " + line.message + "\n";
    return dump;
  }
  // Asserts that the log holds exactly the given warnings, in order; each
  // entry is the whole message or, ending in "...", its beginning.
  void expect_warnings(const std::vector<std::string> &expected) {
    std::vector<corvane_test::LogLine> lines = log_lines();
    ASSERT_EQ(lines.size(), expected.size()) << log_dump();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].level, LOG_WARNING) << lines[i].message;
      const std::string &want = expected[i];
      if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
        std::string prefix = want.substr(0, want.size() - 3);
        EXPECT_EQ(lines[i].message.rfind(prefix, 0), 0u) << lines[i].message;
        EXPECT_GT(lines[i].message.size(), prefix.size()) << "no error text: " << lines[i].message;
      } else {
        EXPECT_EQ(lines[i].message, want);
      }
    }
  }

  std::unique_ptr<CredentialService> service_;
  std::unique_ptr<corvane_test::TempDir> parameter_dir_;
};

// ---- each shape and failure of the device-information answer ----

struct AnswerCase {
  const char *name;
  int status;
  std::string body;
  std::chrono::milliseconds delay;
  Expected expected;
  const char *warning;  // the one expected log line, or null for none
};
void PrintTo(const AnswerCase &c, std::ostream *os) { *os << c.name; }

class DeviceInfoAnswer : public DeviceIdentityTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(DeviceInfoAnswer, GivesTheIdentityOrFallsBack) {
  const AnswerCase &c = GetParam();
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({c.status, c.body, c.delay});

  DeviceIdentity identity;
  std::memset(&identity, 'x', sizeof identity);
  bool known = device_identity_get(app, identity);

  expect_identity(known, identity, c.expected);
  EXPECT_EQ(service_calls(), 1);
  EXPECT_EQ(peers->server.requests(), 1);
  EXPECT_EQ(peers->server.last_request().rejection, "");
  if (c.warning) expect_warnings({c.warning});
  else expect_warnings({});
}

const AnswerCase kAnswerCases[] = {
    {"property_list_in_data", 200, in_property_list(kFullFields), 0ms, kFull, nullptr},
    {"fields_in_data", 200, R"({"apiVersion":"1.3","data":)" + object(kFullFields) + "}", 0ms, kFull, nullptr},
    {"property_list_at_top_level", 200, R"({"propertyList":)" + object(kFullFields) + "}", 0ms, kFull, nullptr},
    {"fields_at_top_level", 200, object(kFullFields), 0ms, kFull, nullptr},
    {"top_level_property_list_not_an_object", 200, object(R"("propertyList":"none",)" + kFullFields), 0ms, kFull,
     nullptr},
    {"property_list_in_data_not_an_object", 200,
     R"({"data":{"propertyList":["SerialNumber"],)" + kFullFields + "}}", 0ms, kFull, nullptr},
    {"second_keys_and_separators", 200,
     in_property_list(R"("SerialNumber":"","serialNumber":"accc-8e0a-bcde","ProdShortName":"Q1",)"
                      R"("FirmwareVersion":"10.12.1","SoC":"SoC-7")"),
     0ms, {true, "ACCC8E0ABCDE", "Q1", "10.12.1", "SoC-7", "aarch64"}, nullptr},
    {"invalid_serial_keeps_other_fields", 200,
     in_property_list(R"("SerialNumber":"ACCC8E0123456","ProdFullName":"Box Camera Q1","Chip":"SoC-6")"), 0ms,
     {false, "", "Box Camera Q1", "unknown", "SoC-6", "aarch64"}, nullptr},
    {"no_fields", 200, in_property_list(""), 0ms, kNothing, nullptr},
    {"body_of_exactly_4096_bytes", 200, padded(in_property_list(kFullFields), 4096), 0ms, kFull, nullptr},
    {"body_of_4097_bytes", 200, padded(in_property_list(kFullFields), 4097), 0ms, kNothing, nullptr},
    {"unauthorized", 401, in_property_list(kFullFields), 0ms, kNothing, nullptr},
    {"server_error", 500, in_property_list(kFullFields), 0ms, kNothing, nullptr},
    {"not_json", 200, "<html><body>Not JSON</body></html>", 0ms, kNothing,
     "Basic device info returned invalid JSON: ..."},
    {"cut_json", 200, in_property_list(kFullFields).substr(0, 60), 0ms, kNothing,
     "Basic device info returned invalid JSON: ..."},
    {"empty_body", 200, "", 0ms, kNothing, "Basic device info returned invalid JSON: ..."},
    {"root_not_an_object", 200, "[" + in_property_list(kFullFields) + "]", 0ms, kNothing,
     "Basic device info returned invalid JSON: "},
    {"slower_than_the_total_timeout", 200, in_property_list(kFullFields), 3500ms, kNothing, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, DeviceInfoAnswer, testing::ValuesIn(kAnswerCases),
                         [](const testing::TestParamInfo<AnswerCase> &info) { return std::string(info.param.name); });

// The request itself: what the API receives, also with a proxy configured
// in the environment (the local API is never reached through a proxy).
TEST_F(DeviceIdentityTest, RequestCarriesCredentialBodyAndHeaders) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});
  setenv("http_proxy", "http://127.0.0.1:9", 1);
  setenv("ALL_PROXY", "http://127.0.0.1:9", 1);
  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);
  unsetenv("http_proxy");
  unsetenv("ALL_PROXY");

  EXPECT_TRUE(known);
  ASSERT_EQ(peers->server.requests(), 1);
  corvane_peers::ReceivedRequest request = peers->server.last_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/axis-cgi/basicdeviceinfo.cgi");
  gchar *encoded = g_base64_encode(reinterpret_cast<const guchar *>(kCredential.data()), kCredential.size());
  EXPECT_EQ(request.headers["authorization"], std::string("Basic ") + encoded);
  g_free(encoded);
  EXPECT_EQ(request.headers["content-type"], "application/json");
  EXPECT_EQ(request.headers["user-agent"], "Corvane/0.2.34");
  EXPECT_EQ(request.headers["content-length"], "48");
  EXPECT_EQ(request.body, R"({"apiVersion":"1.3","method":"getAllProperties"})");
  EXPECT_EQ(request.rejection, "");
  EXPECT_EQ(service_->call_log(), "corvane-vapix\n");
}

// ---- the credential over D-Bus ----

enum class BusSetup { NO_COLON, ERROR_REPLY, WRONG_TYPE, NO_SERVICE, NO_BUS };

struct CredentialCase {
  const char *name;
  BusSetup setup;
  const char *warning;
};
void PrintTo(const CredentialCase &c, std::ostream *os) { *os << c.name; }

class CredentialFailure : public DeviceIdentityTest, public testing::WithParamInterface<CredentialCase> {};

TEST_P(CredentialFailure, SkipsTheRequestAndFallsBack) {
  const CredentialCase &c = GetParam();
  corvane_test::TempDir empty;
  switch (c.setup) {
    case BusSetup::NO_COLON: start_service(CredentialMode::NO_COLON); break;
    case BusSetup::ERROR_REPLY: start_service(CredentialMode::ERROR); break;
    case BusSetup::WRONG_TYPE: start_service(CredentialMode::WRONG_TYPE); break;
    case BusSetup::NO_SERVICE: break;
    case BusSetup::NO_BUS:
      setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + empty.file("system_bus_socket")).c_str(), 1);
      break;
  }
  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});

  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);

  expect_identity(known, identity, kNothing);
  EXPECT_EQ(peers->server.requests(), 0);
  if (service_) {
    EXPECT_EQ(service_calls(), 1);
  }
  expect_warnings({c.warning});
}

const CredentialCase kCredentialCases[] = {
    {"string_without_colon", BusSetup::NO_COLON, "VAPIX service account returned an invalid credential string"},
    {"reply_not_one_string", BusSetup::WRONG_TYPE, "VAPIX service account returned an invalid credential string"},
    {"error_reply", BusSetup::ERROR_REPLY, "Unable to retrieve VAPIX service account credentials: ..."},
    {"service_not_running", BusSetup::NO_SERVICE, "Unable to retrieve VAPIX service account credentials: ..."},
    {"no_system_bus", BusSetup::NO_BUS, "Unable to connect to D-Bus for VAPIX credentials: ..."},
};

INSTANTIATE_TEST_SUITE_P(Cases, CredentialFailure, testing::ValuesIn(kCredentialCases),
                         [](const testing::TestParamInfo<CredentialCase> &info) { return std::string(info.param.name); });

TEST_F(DeviceIdentityTest, ErrorReplyTextIsLogged) {
  start_service(CredentialMode::ERROR);
  DeviceIdentity identity;
  device_identity_get(app, identity);
  std::vector<corvane_test::LogLine> lines = log_lines();
  ASSERT_EQ(lines.size(), 1u) << log_dump();
  EXPECT_NE(lines[0].message.find("service account is disabled"), std::string::npos) << lines[0].message;
}

// Without libcurl neither the credential nor the API is asked.
TEST_F(DeviceIdentityTest, CurlNotReadySkipsBothRequests) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});
  app.curl_ready = 0;
  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);
  expect_identity(known, identity, kNothing);
  EXPECT_EQ(service_calls(), 0);
  EXPECT_EQ(peers->server.requests(), 0);
  expect_warnings({});
}

// ---- the cache ----

TEST_F(DeviceIdentityTest, FirstSuccessIsCachedAndNothingIsAskedAgain) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});
  DeviceIdentity first;
  ASSERT_TRUE(device_identity_get(app, first));
  EXPECT_EQ(service_calls(), 1);
  EXPECT_EQ(peers->server.requests(), 1);

  // The device now answers differently; the cached identity stands.
  peers->server.set_reply({200, in_property_list(R"("SerialNumber":"B8A44F000001","ProdFullName":"Other")"), 0ms});
  for (int i = 0; i < 3; ++i) {
    DeviceIdentity again;
    std::memset(&again, 'x', sizeof again);
    bool known = device_identity_get(app, again);
    expect_identity(known, again, kFull);
  }
  EXPECT_EQ(service_calls(), 1);
  EXPECT_EQ(peers->server.requests(), 1);
}

TEST_F(DeviceIdentityTest, EveryRequestFetchesUntilASerialIsKnown) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(R"("ProdFullName":"Box Camera Q1")"), 0ms});
  DeviceIdentity identity;
  EXPECT_FALSE(device_identity_get(app, identity));
  EXPECT_FALSE(device_identity_get(app, identity));
  EXPECT_EQ(service_calls(), 2);
  EXPECT_EQ(peers->server.requests(), 2);

  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});
  EXPECT_TRUE(device_identity_get(app, identity));
  EXPECT_TRUE(device_identity_get(app, identity));
  EXPECT_EQ(service_calls(), 3);
  EXPECT_EQ(peers->server.requests(), 3);
  expect_identity(true, identity, kFull);
}

// ---- the system serial-number parameter ----

struct ParameterCase {
  const char *name;
  std::optional<std::string> value;  // nullopt: not configured
  bool broken;                        // unreadable
  const char *serial;
  const char *warning;
};
void PrintTo(const ParameterCase &c, std::ostream *os) { *os << c.name; }

class SystemSerialParameter : public DeviceIdentityTest, public testing::WithParamInterface<ParameterCase> {};

// The answer has a model but no serial number, so the parameter decides.
TEST_P(SystemSerialParameter, IsTheSecondSource) {
  const ParameterCase &c = GetParam();
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(R"("ProdFullName":"Box Camera Q1")"), 0ms});
  open_parameters(c.value);
  if (c.broken) break_system_parameter();

  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);

  bool expect_known = c.serial[0] != '\0';
  expect_identity(known, identity, {expect_known, c.serial, "Box Camera Q1", "unknown", "unknown", "aarch64"});
  if (c.warning) expect_warnings({c.warning});
  else expect_warnings({});
}

const ParameterCase kParameterCases[] = {
    {"plain", "ACCC8E0ABCDE", false, "ACCC8E0ABCDE", nullptr},
    {"lower_case_with_colons_and_newline", "ac:cc:8e:0a:bc:de\n", false, "ACCC8E0ABCDE", nullptr},
    {"empty", "", false, "", nullptr},
    {"letter_beyond_f", "ACCC8E0ABCDG", false, "", nullptr},
    {"eleven_digits", "ACCC8E0ABCD", false, "", nullptr},
    {"long_white_space_tail", "accc8e0abcde" + std::string(40, ' '), false, "ACCC8E0ABCDE", nullptr},
    // Cut at 31 bytes this would look valid; the whole value is not.
    {"invalid_beyond_31_bytes", "ACCC8E0ABCDE" + std::string(20, ' ') + "ZZ", false, "", nullptr},
    {"not_configured", std::nullopt, false, "", "Failed to read system parameter 'Properties.System.SerialNumber': ..."},
    {"unreadable", std::nullopt, true, "", "Failed to read system parameter 'Properties.System.SerialNumber': ..."},
};

INSTANTIATE_TEST_SUITE_P(Cases, SystemSerialParameter, testing::ValuesIn(kParameterCases),
                         [](const testing::TestParamInfo<ParameterCase> &info) { return std::string(info.param.name); });

// A serial number from the answer leaves the parameter unread.
TEST_F(DeviceIdentityTest, AnsweredSerialLeavesTheParameterUnread) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(kFullFields), 0ms});
  open_parameters(std::nullopt);  // reading it would log a warning
  DeviceIdentity identity;
  expect_identity(device_identity_get(app, identity), identity, kFull);
  expect_warnings({});
}

TEST_F(DeviceIdentityTest, ParameterServesWithoutLibcurl) {
  start_service(CredentialMode::GOOD);
  open_parameters("ACCC8E0ABCDE");
  app.curl_ready = 0;
  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);
  expect_identity(known, identity, {true, "ACCC8E0ABCDE", "unknown", "unknown", "unknown", "aarch64"});
  EXPECT_EQ(service_calls(), 0);
  EXPECT_EQ(peers->server.requests(), 0);
}

// ---- the MAC address as the last source ----

// A veth pair in the test's network namespace: "cvup" up (without carrier,
// its peer stays down), "cvdown" down.
class MacAddressSource : public DeviceIdentityTest {
 protected:
  static constexpr const char *kUpAddress = "02:00:5e:10:00:fe";

  void SetUp() override {
    DeviceIdentityTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!ip({"link", "add", "cvdown", "address", "02:00:5e:00:00:01", "type", "veth", "peer", "name", "cvup",
             "address", kUpAddress}))
      GTEST_SKIP() << "cannot create a veth pair in the test's namespace: " << ip_error_;
    created_ = true;
    ASSERT_TRUE(ip({"link", "set", "cvup", "up"})) << ip_error_;
  }
  void TearDown() override {
    if (created_) ip({"link", "del", "cvup"});
    DeviceIdentityTest::TearDown();
  }
  bool ip(std::vector<std::string> args) {
    args.insert(args.begin(), std::filesystem::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip");
    corvane_test::ProcessResult result = corvane_test::run_process(args, 10s);
    ip_error_ = result.err;
    return result.status == 0;
  }
  bool created_ = false;
  std::string ip_error_;
};

TEST_F(MacAddressSource, UpNonLoopbackInterfaceIsRead) {
  char mac[kMacAddressSize];
  EXPECT_TRUE(read_mac_address(mac));
  EXPECT_STREQ(mac, kUpAddress);
}

TEST_F(MacAddressSource, NoAnswerAndNoParameterGiveTheMacSerial) {
  start_service(CredentialMode::ERROR);
  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);
  expect_identity(known, identity, {true, "02005E1000FE", "unknown", "unknown", "unknown", "aarch64"});
  expect_warnings({"Unable to retrieve VAPIX service account credentials: ..."});
  // Cached: nothing is asked again.
  EXPECT_TRUE(device_identity_get(app, identity));
  EXPECT_EQ(service_calls(), 1);
}

TEST_F(MacAddressSource, UnreadableParameterFallsToTheMac) {
  start_service(CredentialMode::GOOD);
  peers->server.set_reply({200, in_property_list(R"("ProdFullName":"Box Camera Q1")"), 0ms});
  open_parameters(std::nullopt);
  DeviceIdentity identity;
  bool known = device_identity_get(app, identity);
  expect_identity(known, identity, {true, "02005E1000FE", "Box Camera Q1", "unknown", "unknown", "aarch64"});
  expect_warnings({"Failed to read system parameter 'Properties.System.SerialNumber': ..."});
}

TEST_F(MacAddressSource, InvalidParameterFallsToTheMac) {
  open_parameters("not a serial");
  app.curl_ready = 0;
  DeviceIdentity identity;
  EXPECT_TRUE(device_identity_get(app, identity));
  EXPECT_STREQ(identity.serial_number, "02005E1000FE");
}

TEST_F(MacAddressSource, InterfaceDownLeavesNoSource) {
  ASSERT_TRUE(ip({"link", "set", "cvup", "down"})) << ip_error_;
  char mac[kMacAddressSize];
  EXPECT_FALSE(read_mac_address(mac));
  EXPECT_STREQ(mac, "");
  app.curl_ready = 0;
  DeviceIdentity identity;
  expect_identity(device_identity_get(app, identity), identity, kNothing);
}

}  // namespace
