// Many HTTP-server threads asking for the identity at once, before and
// after it is cached: every caller gets the same whole record. The serial
// number comes from the parameter store here, so no network is involved.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "device/device_identity.h"
#include "tests/support/test_support.h"

namespace {

class IdentityConcurrency : public testing::Test {
 protected:
  void SetUp() override {
    g_mutex_init(&app_state.identity_lock);
    app_state.identity_cached = false;
    app_state.identity_cache = {};
    app_state.curl_ready = 0;  // no credential, no device-information request
    std::filesystem::create_directories(dir_.file("system"));
    std::ofstream(dir_.file("system/Properties.System.SerialNumber")) << "ac:cc:8e:0a:bc:de";
    setenv("AXPARAMETER_DIR", dir_.path().c_str(), 1);
    unsetenv("AXPARAMETER_SYSTEM_SERIAL");
    GError *error = nullptr;
    app_state.parameters = ax_parameter_new("corvane", &error);
    ASSERT_NE(app_state.parameters, nullptr) << (error ? error->message : "no error object");
  }
  void TearDown() override {
    if (app_state.parameters) ax_parameter_free(app_state.parameters);
    app_state.parameters = nullptr;
    g_mutex_clear(&app_state.identity_lock);
  }
  corvane_test::TempDir dir_;
};

TEST_F(IdentityConcurrency, ConcurrentCallersSeeOneConsistentIdentity) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 25;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kCalls; ++i) {
        DeviceIdentity identity;
        std::memset(&identity, 'x', sizeof identity);
        bool known = device_identity_get(identity);
        bool whole = known && std::strcmp(identity.serial_number, "ACCC8E0ABCDE") == 0 &&
                     std::strcmp(identity.device_model, "unknown") == 0 &&
                     std::strcmp(identity.os_version, "unknown") == 0 &&
                     std::strcmp(identity.chip, "unknown") == 0 &&
                     std::strcmp(identity.architecture, "aarch64") == 0;
        if (!whole) ++failures[t];
      }
    });
  }
  for (auto &thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

  g_mutex_lock(&app_state.identity_lock);
  bool cached = app_state.identity_cached;
  std::string serial = app_state.identity_cache.serial_number;
  g_mutex_unlock(&app_state.identity_lock);
  EXPECT_TRUE(cached);
  EXPECT_EQ(serial, "ACCC8E0ABCDE");
}

}  // namespace
