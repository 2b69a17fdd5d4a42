// The status and error documents built from a hand-set StreamControl, saved
// state and identity: exact text, member order, the choice of destination,
// sizes at their limits, and what runs outside the stream lock.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/bounded_text.h"
#include "device/device_identity.h"
#include "tests/support/test_support.h"
#include "tests/web/parameter_store.h"
#include "web/status_document.h"

// The slow parts of a document (interface enumeration, identity fetch,
// parameter reads) must never run while the stream lock is held. This
// binary is linked with --wrap for them; each wrapper checks the lock.
namespace {
int calls_under_lock = 0;
void check_stream_lock_free() {
  if (g_mutex_trylock(&app_state.stream.lock)) {
    g_mutex_unlock(&app_state.stream.lock);
  } else {
    ++calls_under_lock;
  }
}
}  // namespace

extern "C" {
bool __real__Z16read_mac_addressPc(char *out);
bool __wrap__Z16read_mac_addressPc(char *out) {
  check_stream_lock_free();
  return __real__Z16read_mac_addressPc(out);
}
bool __real__Z19device_identity_getR14DeviceIdentity(DeviceIdentity &out);
bool __wrap__Z19device_identity_getR14DeviceIdentity(DeviceIdentity &out) {
  check_stream_lock_free();
  return __real__Z19device_identity_getR14DeviceIdentity(out);
}
gboolean __real_ax_parameter_get(AXParameter *handle, const gchar *name, gchar **value, GError **error);
gboolean __wrap_ax_parameter_get(AXParameter *handle, const gchar *name, gchar **value, GError **error) {
  check_stream_lock_free();
  return __real_ax_parameter_get(handle, name, value, error);
}
}

namespace {

using corvane_test::Json;
using corvane_test::parse_json;

std::string status_document() {
  char document[kStatusDocumentSize];
  format_status_document(document, sizeof document);
  return document;
}

std::string error_document(const char *message) {
  char document[kErrorDocumentSize];
  format_error_document(message, document, sizeof document);
  return document;
}

// The identity members as both documents end; the MAC address is whatever
// this machine's first interface has.
struct IdentityText {
  std::string mac, serial, model, os, chip, arch;
};

class DocumentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_mutex_init(&app_state.stream.lock);
    g_mutex_init(&app_state.identity_lock);
  }
  void SetUp() override {
    calls_under_lock = 0;
    auto *fields = reinterpret_cast<char *>(&app_state.stream) + offsetof(StreamControl, worker_thread);
    std::memset(fields, 0, sizeof(StreamControl) - offsetof(StreamControl, worker_thread));
    // A known identity, so the fetch never runs here.
    DeviceIdentity identity = {"ACCC8E0A1B2C", "Camera \"Q\\1\"", "12.1.64", "artpec-8", "aarch64"};
    app_state.identity_cache = identity;
    app_state.identity_cached = true;
    char mac[kMacAddressSize];
    read_mac_address(mac);
    identity_ = {mac, "ACCC8E0A1B2C", "Camera \\\"Q\\\\1\\\"", "12.1.64", "artpec-8", "aarch64"};
  }
  void TearDown() override { EXPECT_EQ(calls_under_lock, 0); }

  std::string identity_members() const {
    return "\"macAddress\":\"" + identity_.mac + "\",\"serialNumber\":\"" + identity_.serial +
           "\",\"deviceModel\":\"" + identity_.model + "\",\"axisOsVersion\":\"" + identity_.os +
           "\",\"chip\":\"" + identity_.chip + "\",\"architecture\":\"" + identity_.arch + "\"";
  }

  IdentityText identity_;
};

TEST_F(DocumentTest, IdleWithoutParameterStore) {
  EXPECT_EQ(status_document(),
            "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0,"
            "\"currentBitrate\":0,\"profileName\":\"\",\"savedProfileName\":\"\",\"destination\":\"\","
            "\"silentAudio\":false,\"streamDetails\":\"\",\"profileDetails\":\"\",\"lastError\":\"\"," +
                identity_members() + "}");
}

TEST_F(DocumentTest, RunningShowsTheLiveStreamAndTheSavedChoice) {
  ParameterStore store;
  store.set("ResumeOnStart", "yes");
  store.set("LastDestination", "rtmp://saved/app/key");
  store.set("LastProfileName", "Saved \"one\"");
  store.set("LastProfileParameters", "videocodec=h264");
  store.set("LastSilentAudio", "YES");
  {
    StreamLock lock;
    StreamControl &c = app_state.stream;
    c.running = 1;
    c.frames_sent = 123;
    c.bytes_sent = 5000000000ull;  // beyond 32 bits
    c.last_packet_bytes = 4096;
    c.current_bitrate = 2500000;
    copy_bounded(c.profile_name, "Main \"HD\"");
    copy_bounded(c.destination, "rtmp://live/app/key?x=\\1");
    copy_bounded(c.stream_details, "H.264 1920x1080\n30 fps\tVBR");
    copy_bounded(c.profile_details, "Profile: Main\r\n");
  }
  EXPECT_EQ(status_document(),
            "{\"running\":true,\"framesSent\":123,\"bytesSent\":5000000000,\"lastPacketBytes\":4096,"
            "\"currentBitrate\":2500000,\"profileName\":\"Main \\\"HD\\\"\","
            "\"savedProfileName\":\"Saved \\\"one\\\"\",\"destination\":\"rtmp://live/app/key?x=\\\\1\","
            "\"silentAudio\":true,\"streamDetails\":\"H.264 1920x1080\\n30 fps\\tVBR\","
            "\"profileDetails\":\"Profile: Main\\r\\n\",\"lastError\":\"\"," +
                identity_members() + "}");
}

TEST_F(DocumentTest, EndedShowsTheSavedDestinationAndNoBitrate) {
  ParameterStore store;
  store.set("ResumeOnStart", "no");  // disarmed still shows the saved choice
  store.set("LastDestination", "rtmp://saved/app/key");
  store.set("LastProfileName", "Saved");
  store.set("LastSilentAudio", "no");
  {
    StreamLock lock;
    StreamControl &c = app_state.stream;
    c.frames_sent = 9;
    c.bytes_sent = 900;
    c.last_packet_bytes = 100;
    c.current_bitrate = 777;  // left over: not shown while not running
    copy_bounded(c.profile_name, "Live");
    copy_bounded(c.last_error, "Stream stopped.");
  }
  EXPECT_EQ(status_document(),
            "{\"running\":false,\"framesSent\":9,\"bytesSent\":900,\"lastPacketBytes\":100,"
            "\"currentBitrate\":0,\"profileName\":\"Live\",\"savedProfileName\":\"Saved\","
            "\"destination\":\"rtmp://saved/app/key\",\"silentAudio\":false,\"streamDetails\":\"\","
            "\"profileDetails\":\"\",\"lastError\":\"Stream stopped.\"," +
                identity_members() + "}");
}

// Without a loaded state only the live destination counts; with one, an
// empty saved destination leaves it empty too.
struct DestinationCase {
  const char *name;
  bool store;
  bool resume_readable;
  const char *live, *saved, *shown, *saved_profile;
  bool silent;
};

class DestinationChoice : public DocumentTest, public ::testing::WithParamInterface<DestinationCase> {};

TEST_P(DestinationChoice, FollowsTheLoadedState) {
  const DestinationCase &c = GetParam();
  std::unique_ptr<ParameterStore> store;
  if (c.store) {
    store = std::make_unique<ParameterStore>();
    store->set("LastDestination", c.saved);
    store->set("LastProfileName", "Saved");
    store->set("LastSilentAudio", "yes");
    if (!c.resume_readable) store->break_parameter("ResumeOnStart");
  }
  {
    StreamLock lock;
    copy_bounded(app_state.stream.destination, c.live);
  }
  Json doc = parse_json(status_document());
  ASSERT_TRUE(doc);
  EXPECT_EQ(corvane_test::json_string(doc.get(), "destination"), c.shown);
  EXPECT_EQ(corvane_test::json_string(doc.get(), "savedProfileName"), c.saved_profile);
  EXPECT_EQ(corvane_test::json_bool(doc.get(), "silentAudio"), c.silent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DestinationChoice,
    ::testing::Values(
        DestinationCase{"NoStoreLive", false, true, "rtmp://live/a", "", "rtmp://live/a", "", false},
        DestinationCase{"NoStoreIdle", false, true, "", "", "", "", false},
        DestinationCase{"LiveWins", true, true, "rtmp://live/a", "rtmp://saved/b", "rtmp://live/a", "Saved", true},
        DestinationCase{"SavedWhenIdle", true, true, "", "rtmp://saved/b", "rtmp://saved/b", "Saved", true},
        DestinationCase{"BothEmpty", true, true, "", "", "", "Saved", true},
        DestinationCase{"ResumeOnStartUnreadable", true, false, "", "rtmp://saved/b", "", "", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DocumentTest, ErrorDocumentNeverReportsTheStream) {
  {
    StreamLock lock;
    StreamControl &c = app_state.stream;
    c.running = 1;
    c.frames_sent = 5;
    c.bytes_sent = 50;
    c.current_bitrate = 1000;
    copy_bounded(c.profile_name, "Live");
    copy_bounded(c.stream_details, "details");
  }
  EXPECT_EQ(error_document("Stream is already running."),
            "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0,"
            "\"currentBitrate\":0,\"profileName\":\"\",\"streamDetails\":\"\",\"profileDetails\":\"\","
            "\"lastError\":\"Stream is already running.\",\"macAddress\":\"" +
                identity_.mac + "\",\"serialNumber\":\"ACCC8E0A1B2C\"}");
  EXPECT_EQ(error_document("say \"no\"\n"),
            "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0,"
            "\"currentBitrate\":0,\"profileName\":\"\",\"streamDetails\":\"\",\"profileDetails\":\"\","
            "\"lastError\":\"say \\\"no\\\"\\n\",\"macAddress\":\"" +
                identity_.mac + "\",\"serialNumber\":\"ACCC8E0A1B2C\"}");
}

// Every text field full of bytes that double when escaped: nothing is cut
// and the documents stay within their buffers.
TEST_F(DocumentTest, FieldsAtTheirLimitsAreShownWhole) {
  ParameterStore store;
  store.set("ResumeOnStart", "yes");
  store.set("LastProfileName", std::string(127, '"'));
  std::string details(1023, '\\');
  {
    StreamLock lock;
    StreamControl &c = app_state.stream;
    c.running = 1;
    std::memset(c.profile_name, '"', sizeof c.profile_name - 1);
    std::memset(c.destination, '"', sizeof c.destination - 1);
    std::memset(c.stream_details, '\\', sizeof c.stream_details - 1);
    std::memset(c.profile_details, '\n', sizeof c.profile_details - 1);
    std::memset(c.last_error, '\t', sizeof c.last_error - 1);
  }
  DeviceIdentity identity;
  std::memset(&identity, 0, sizeof identity);
  std::memset(identity.serial_number, '"', sizeof identity.serial_number - 1);
  std::memset(identity.device_model, '"', sizeof identity.device_model - 1);
  std::memset(identity.os_version, '"', sizeof identity.os_version - 1);
  std::memset(identity.chip, '"', sizeof identity.chip - 1);
  std::memset(identity.architecture, '"', sizeof identity.architecture - 1);
  app_state.identity_cache = identity;

  std::string text = status_document();
  EXPECT_LT(text.size(), kStatusDocumentSize - 1);
  Json doc = parse_json(text);
  ASSERT_TRUE(doc) << text.substr(0, 200);
  using corvane_test::json_string;
  EXPECT_EQ(json_string(doc.get(), "profileName"), std::string(127, '"'));
  EXPECT_EQ(json_string(doc.get(), "savedProfileName"), std::string(127, '"'));
  EXPECT_EQ(json_string(doc.get(), "destination"), std::string(1023, '"'));
  EXPECT_EQ(json_string(doc.get(), "streamDetails"), details);
  EXPECT_EQ(json_string(doc.get(), "profileDetails"), std::string(1023, '\n'));
  EXPECT_EQ(json_string(doc.get(), "lastError"), std::string(511, '\t'));
  EXPECT_EQ(json_string(doc.get(), "serialNumber"), std::string(31, '"'));
  EXPECT_EQ(json_string(doc.get(), "deviceModel"), std::string(127, '"'));
  EXPECT_EQ(json_string(doc.get(), "axisOsVersion"), std::string(63, '"'));
  EXPECT_EQ(json_string(doc.get(), "chip"), std::string(63, '"'));
  EXPECT_EQ(json_string(doc.get(), "architecture"), std::string(31, '"'));

  std::string error = error_document(std::string(511, '"').c_str());
  EXPECT_LT(error.size(), kErrorDocumentSize - 1);
  Json error_doc = parse_json(error);
  ASSERT_TRUE(error_doc);
  EXPECT_EQ(json_string(error_doc.get(), "lastError"), std::string(511, '"'));
  EXPECT_EQ(json_string(error_doc.get(), "serialNumber"), std::string(31, '"'));
}

// Counters are plain unsigned decimals over their whole range.
TEST_F(DocumentTest, CountersUseTheirFullUnsignedRange) {
  {
    StreamLock lock;
    StreamControl &c = app_state.stream;
    c.running = 1;
    c.frames_sent = UINT64_MAX;
    c.bytes_sent = UINT64_MAX - 1;
    c.last_packet_bytes = 1ull << 63;
    c.current_bitrate = UINT32_MAX;
  }
  EXPECT_EQ(status_document().substr(0, 163),
            "{\"running\":true,\"framesSent\":18446744073709551615,\"bytesSent\":18446744073709551614,"
            "\"lastPacketBytes\":9223372036854775808,\"currentBitrate\":4294967295,\"profileName\":");
}

// Bytes that are not UTF-8 (a %FF in a form body ends up saved) must not
// spoil the document for every later status request.
TEST_F(DocumentTest, InvalidUtf8IsDroppedSoTheDocumentStaysJson) {
  ParameterStore store;
  store.set("ResumeOnStart", "yes");
  store.set("LastDestination", "rtmp://h/\xff\xfe/k\xc3\xa9");
  store.set("LastProfileName", "Pro\xc0\xaf" "file");
  {
    StreamLock lock;
    copy_bounded(app_state.stream.last_error, "bad \x80 byte");
  }
  std::string text = status_document();
  Json doc = parse_json(text);
  ASSERT_TRUE(doc) << text;
  EXPECT_EQ(corvane_test::json_string(doc.get(), "destination"), "rtmp://h//k\xc3\xa9");
  EXPECT_EQ(corvane_test::json_string(doc.get(), "savedProfileName"), "Profile");
  EXPECT_EQ(corvane_test::json_string(doc.get(), "lastError"), "bad  byte");
}

}  // namespace
