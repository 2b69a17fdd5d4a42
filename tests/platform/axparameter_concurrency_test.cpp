// Parameter store under threads: several threads read and write through one
// handle, one more through a second handle, while others open and close
// handles of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "axparameter.h"
#include "axparameter_writer.h"
#include "tests/support/test_support.h"

namespace {

using axparameter_test::generation_value;
using axparameter_test::parameter_name;
using corvane_test::TempDir;

constexpr int PARAMETERS = 4;
constexpr int WRITER_THREADS = 5;  // the last one writes through a handle of its own
constexpr int ITERATIONS = 100;
constexpr const char *SERIAL = "ACCC8E5A5A5A";

TEST(ParameterStoreThreads, OneHandleSharedByThreadsKeepsEveryValueWhole) {
  TempDir store, package;
  {
    std::ofstream declarations(package.file("threadtest.params"));
    for (int p = 0; p < PARAMETERS; ++p) declarations << parameter_name(p) << "=\n";
  }
  // The environment is settled before any thread starts.
  setenv("AXPARAMETER_DIR", store.path().c_str(), 1);
  setenv("AXPARAMETER_PACKAGE_DIR", package.path().c_str(), 1);
  setenv("AXPARAMETER_SYSTEM_SERIAL", SERIAL, 1);
  unsetenv("AXPARAMETER_REFUSE");

  GError *error = nullptr;
  AXParameter *handle = ax_parameter_new("threadtest", &error);
  ASSERT_NE(handle, nullptr) << (error ? error->message : "");
  AXParameter *second_handle = ax_parameter_new("threadtest", &error);
  ASSERT_NE(second_handle, nullptr) << (error ? error->message : "");

  // Every whole value a parameter may hold: its initial one or any writer's.
  std::vector<std::set<std::string>> whole(PARAMETERS);
  for (int p = 0; p < PARAMETERS; ++p) {
    whole[p].insert("");
    for (int family = 0; family < WRITER_THREADS; ++family) {
      for (int generation = 0; generation < 2; ++generation) {
        whole[p].insert(generation_value(p, generation, family));
      }
    }
  }

  std::atomic<int> failed_calls{0}, torn_values{0}, wrong_serials{0}, failed_opens{0};
  std::atomic<bool> writers_done{false};
  std::vector<std::thread> threads;
  for (int family = 0; family < WRITER_THREADS; ++family) {
    threads.emplace_back([&, family] {
      AXParameter *own = family == WRITER_THREADS - 1 ? second_handle : handle;
      for (int i = 0; i < ITERATIONS; ++i) {
        int p = (i + family) % PARAMETERS;
        std::string value = generation_value(p, (i / PARAMETERS) % 2, family);
        GError *call_error = nullptr;
        if (!ax_parameter_set(own, parameter_name(p).c_str(), value.c_str(), i % 8 == 0,
                              &call_error)) {
          ++failed_calls;
        }
        g_clear_error(&call_error);
        int q = (i * 3 + family) % PARAMETERS;
        gchar *read = nullptr;
        if (!ax_parameter_get(own, parameter_name(q).c_str(), &read, &call_error)) {
          ++failed_calls;
        } else if (!whole[q].count(read)) {
          ++torn_values;
        }
        g_free(read);
        g_clear_error(&call_error);
      }
    });
  }
  // The status page reads the serial number while the resume state is saved.
  threads.emplace_back([&] {
    while (!writers_done) {
      gchar *serial = nullptr;
      GError *call_error = nullptr;
      if (!ax_parameter_get(handle, "Properties.System.SerialNumber", &serial, &call_error) ||
          std::string(serial) != SERIAL) {
        ++wrong_serials;
      }
      g_free(serial);
      g_clear_error(&call_error);
    }
  });
  // Other handles come and go on the same store meanwhile.
  threads.emplace_back([&] {
    while (!writers_done) {
      GError *call_error = nullptr;
      AXParameter *other = ax_parameter_new("threadtest", &call_error);
      if (!other) ++failed_opens;
      g_clear_error(&call_error);
      ax_parameter_free(other);
    }
  });
  for (int t = 0; t < WRITER_THREADS; ++t) threads[t].join();
  writers_done = true;
  for (std::size_t t = WRITER_THREADS; t < threads.size(); ++t) threads[t].join();

  EXPECT_EQ(failed_calls, 0);
  EXPECT_EQ(torn_values, 0);
  EXPECT_EQ(wrong_serials, 0);
  EXPECT_EQ(failed_opens, 0);
  for (int p = 0; p < PARAMETERS; ++p) {
    gchar *value = nullptr;
    ASSERT_TRUE(ax_parameter_get(handle, parameter_name(p).c_str(), &value, &error));
    EXPECT_TRUE(whole[p].count(value)) << parameter_name(p);
    EXPECT_NE(std::string(value), "") << "every parameter was written";
    g_free(value);
  }
  ax_parameter_free(second_handle);
  ax_parameter_free(handle);
  unsetenv("AXPARAMETER_DIR");
  unsetenv("AXPARAMETER_PACKAGE_DIR");
  unsetenv("AXPARAMETER_SYSTEM_SERIAL");
}

}  // namespace
