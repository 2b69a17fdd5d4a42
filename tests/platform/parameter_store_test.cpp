// The parameter store's contract: values persist whole, across handles,
// processes and a writer killed at any moment.
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include "axparameter.h"

namespace {

class ParameterStore : public testing::Test {
 protected:
  void SetUp() override {
    g_autofree gchar *folder = g_dir_make_tmp("store-XXXXXX", nullptr);
    store = folder;
    g_setenv("AXPARAMETER_DIR", store.c_str(), TRUE);
    g_setenv("AXPARAMETER_SYSTEM_SERIAL", "ACCC8E012345", TRUE);
  }
  void TearDown() override { g_spawn_command_line_sync(("rm -rf " + store).c_str(), nullptr, nullptr, nullptr, nullptr); }
  std::string store;
};

// What a new handle reads: the value, or "!code" on failure.
std::string get(const char *name) {
  AXParameter *handle = ax_parameter_new("corvane", nullptr);
  gchar *value = nullptr;
  GError *error = nullptr;
  std::string got = ax_parameter_get(handle, name, &value, &error) ? value : "!" + std::to_string(error->code);
  g_free(value), g_clear_error(&error), ax_parameter_free(handle);
  return got;
}

std::string set(const char *name, const std::string &value, bool sync) {
  AXParameter *handle = ax_parameter_new("corvane", nullptr);
  GError *error = nullptr;
  std::string got = ax_parameter_set(handle, name, value.c_str(), sync, &error) ? "ok" : "!" + std::to_string(error->code);
  g_clear_error(&error), ax_parameter_free(handle);
  return got;
}

TEST_F(ParameterStore, ValuesReadBackWholeInAnyHandleAndProcess) {
  const std::string key = "rtmp://h/app/k?a=1&b=%20\n\xc3\xa9\tline2\r", big(AX_PARAMETER_VALUE_MAX, 'v');
  EXPECT_EQ(get("ResumeOnStart") + "|" + get("LastSilentAudio") + "|" + get("LastDestination"), "no|no|");
  EXPECT_EQ(set("LastDestination", key, false) + set("LastProfileParameters", big, true), "okok");
  EXPECT_EQ(set("LastProfileParameters", big + "v", true), "!0");  // too long: refused, old value kept
  EXPECT_EQ(get("LastDestination"), key);
  EXPECT_EQ(get("LastProfileParameters"), big);
  pid_t child = fork();
  if (child == 0) _exit(get("LastDestination") == key && get("LastProfileParameters") == big ? 0 : 1);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "another process read other values";
  EXPECT_EQ(get("Undeclared") + set("Undeclared", "x", false), "!1!1");
  EXPECT_EQ(get("Properties.System.SerialNumber") + set("Properties.System.SerialNumber", "x", false), "ACCC8E012345!3");
}

TEST_F(ParameterStore, AWriterKilledAtAnyMomentLeavesAWholeValue) {
  const std::string values[] = {std::string(40000, 'a'), std::string(30000, 'b')};
  ASSERT_EQ(set("LastDestination", values[0], true), "ok");
  std::mt19937 random(42);
  for (int round = 0; round < 40; ++round) {
    pid_t writer = fork();
    if (writer == 0) {
      AXParameter *handle = ax_parameter_new("corvane", nullptr);
      for (unsigned i = 0;; ++i) ax_parameter_set(handle, "LastDestination", values[i % 2].c_str(), i % 4 < 2, nullptr);
    }
    g_usleep(500 + random() % 15000);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    const std::string value = get("LastDestination");
    ASSERT_TRUE(value == values[0] || value == values[1]) << "torn value of " << value.size() << " bytes";
  }
  // Opening a handle cleared the dead writers' temporary files.
  GDir *folder = g_dir_open((store + "/apps/corvane").c_str(), 0, nullptr);
  for (const char *name; (name = g_dir_read_name(folder));) EXPECT_FALSE(g_str_has_suffix(name, ".tmp")) << name;
  g_dir_close(folder);
}

}  // namespace
