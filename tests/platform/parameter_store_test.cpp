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

// One get (no value) or set through a new handle: the value or "ok", or "!" and the error code.
std::string call(const char *name, const std::string *value = nullptr, bool sync = false) {
  AXParameter *handle = ax_parameter_new("corvane", nullptr);
  gchar *read = nullptr;
  GError *error = nullptr;
  const bool ok = value ? ax_parameter_set(handle, name, value->c_str(), sync, &error)
                        : ax_parameter_get(handle, name, &read, &error);
  std::string result = !ok ? "!" + std::to_string(error->code) : value ? "ok" : read;
  g_free(read), g_clear_error(&error), ax_parameter_free(handle);
  return result;
}

TEST(ParameterStore, ValuesPersistWholeAndAWriterKilledAtAnyMomentNeverTearsOne) {
  g_autofree gchar *store = g_dir_make_tmp("store-XXXXXX", nullptr);
  g_setenv("AXPARAMETER_DIR", store, TRUE);
  g_setenv("AXPARAMETER_SYSTEM_SERIAL", "ACCC8E012345", TRUE);
  const std::string key = "rtmp://h/app/k?a=1&b=%20\n\xc3\xa9\tline2\r", big(AX_PARAMETER_VALUE_MAX, 'v'), x = "x";
  EXPECT_EQ(call("ResumeOnStart") + "|" + call("LastSilentAudio") + "|" + call("LastDestination"), "no|no|");
  EXPECT_EQ(call("LastDestination", &key) + call("LastProfileParameters", &big, true), "okok");
  const std::string too_long = big + "v";
  EXPECT_EQ(call("LastProfileParameters", &too_long), "!0");  // refused, the old value kept
  EXPECT_EQ(call("LastDestination"), key);
  EXPECT_EQ(call("LastProfileParameters"), big);
  int status = -1;
  if (fork() == 0) _exit(call("LastDestination") == key && call("LastProfileParameters") == big ? 0 : 1);
  wait(&status);
  EXPECT_EQ(status, 0) << "another process read other values";
  EXPECT_EQ(call("Undeclared") + call("Undeclared", &x), "!1!1");
  EXPECT_EQ(call("Properties.System.SerialNumber") + call("Properties.System.SerialNumber", &x), "ACCC8E012345!3");

  const std::string values[] = {std::string(40000, 'a'), std::string(30000, 'b')};
  ASSERT_EQ(call("LastDestination", &values[0], true), "ok");
  std::mt19937 random(42);
  for (int round = 0; round < 40; ++round) {
    const pid_t writer = fork();
    if (writer == 0) {
      AXParameter *handle = ax_parameter_new("corvane", nullptr);
      for (unsigned i = 0;; ++i)
        ax_parameter_set(handle, "LastDestination", values[i % 2].c_str(), i % 4 < 2 /* sync */, nullptr);
    }
    g_usleep(500 + random() % 15000);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    const std::string value = call("LastDestination");
    ASSERT_TRUE(value == values[0] || value == values[1]) << "a torn value of " << value.size() << " bytes";
  }
  // Opening a handle removed the dead writers' temporary files.
  GDir *folder = g_dir_open((std::string(store) + "/apps/corvane").c_str(), 0, nullptr);
  for (const char *name; (name = g_dir_read_name(folder));) EXPECT_FALSE(g_str_has_suffix(name, ".tmp")) << name;
  g_dir_close(folder);
  g_spawn_command_line_sync((std::string("rm -rf ") + store).c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
