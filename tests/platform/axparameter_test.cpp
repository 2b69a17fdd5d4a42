// Parameter store stand-in: values, declarations, names, system parameters,
// persistence across handles and processes, and refused handles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "axparameter.h"
#include "tests/support/test_support.h"

namespace {

using corvane_test::TempDir;

const char *const TEST_APPLICATION = "testapp";
const char *const TEST_DECLARATIONS =
    "# Parameters of the test group.\n"
    "Flag=no\n"
    "Greeting=hello, world = & %41 \n"
    "Empty=\n"
    "\n"
    "Text=\r\n";

struct HandleDeleter {
  void operator()(AXParameter *handle) const { ax_parameter_free(handle); }
};
using Handle = std::unique_ptr<AXParameter, HandleDeleter>;

struct GetResult {
  bool ok = false;
  std::string value;
  int code = -1;  // error code when !ok
  std::string message;
};

GetResult get(AXParameter *handle, const char *name) {
  GetResult result;
  gchar *value = nullptr;
  GError *error = nullptr;
  result.ok = ax_parameter_get(handle, name, &value, &error);
  if (result.ok) {
    EXPECT_EQ(error, nullptr);
    result.value = value ? value : "";
  } else {
    EXPECT_EQ(value, nullptr);
    EXPECT_NE(error, nullptr) << "a failed read must come with an error";
    if (error) {
      EXPECT_EQ(error->domain, AX_PARAMETER_ERROR);
      result.code = error->code;
      result.message = error->message;
    }
  }
  g_free(value);
  g_clear_error(&error);
  return result;
}

GetResult set(AXParameter *handle, const char *name, const char *value, bool sync = false) {
  GetResult result;
  GError *error = nullptr;
  result.ok = ax_parameter_set(handle, name, value, sync, &error);
  if (!result.ok) {
    EXPECT_NE(error, nullptr) << "a failed write must come with an error";
    if (error) {
      EXPECT_EQ(error->domain, AX_PARAMETER_ERROR);
      result.code = error->code;
      result.message = error->message;
    }
  } else {
    EXPECT_EQ(error, nullptr);
  }
  g_clear_error(&error);
  return result;
}

void write_file(const std::string &path, const std::string &contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  ASSERT_TRUE(out.good()) << path;
}

// Runs the helper tool as a separate process; returns its exit status and output.
int run_tool(const std::vector<std::string> &arguments, std::string *output = nullptr) {
  std::vector<const char *> argv{AXPARAMETER_TOOL};
  for (const std::string &argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  gchar *out = nullptr;
  gint wait_status = 0;
  GError *error = nullptr;
  bool spawned = g_spawn_sync(nullptr, const_cast<gchar **>(argv.data()), nullptr,
                              G_SPAWN_DEFAULT, nullptr, nullptr, &out, nullptr, &wait_status, &error);
  EXPECT_TRUE(spawned) << (error ? error->message : "");
  g_clear_error(&error);
  if (output) *output = out ? out : "";
  g_free(out);
  return spawned && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

class ParameterStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(store_.path().empty());
    ASSERT_FALSE(package_.path().empty());
    write_file(package_.file(std::string(TEST_APPLICATION) + ".params"), TEST_DECLARATIONS);
    setenv("AXPARAMETER_DIR", store_.path().c_str(), 1);
    setenv("AXPARAMETER_PACKAGE_DIR", package_.path().c_str(), 1);
    unsetenv("AXPARAMETER_REFUSE");
    unsetenv("AXPARAMETER_SYSTEM_SERIAL");
  }
  void TearDown() override {
    unsetenv("AXPARAMETER_DIR");
    unsetenv("AXPARAMETER_PACKAGE_DIR");
    unsetenv("AXPARAMETER_REFUSE");
    unsetenv("AXPARAMETER_SYSTEM_SERIAL");
  }

  Handle open(const char *application = TEST_APPLICATION) {
    GError *error = nullptr;
    Handle handle(ax_parameter_new(application, &error));
    EXPECT_TRUE(handle) << (error ? error->message : "refused without an error");
    g_clear_error(&error);
    return handle;
  }

  std::string group_file(const std::string &name) const {
    return store_.path() + "/apps/" + TEST_APPLICATION + "/" + name;
  }

  TempDir store_;
  TempDir package_;
};

TEST_F(ParameterStore, UnwrittenParametersHoldTheirDeclaredInitialValues) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  struct Case {
    const char *name;
    const char *initial;
  } cases[] = {
      {"Flag", "no"},
      {"Greeting", "hello, world = & %41 "},  // kept to the end of the line
      {"Empty", ""},
      {"Text", ""},  // a CRLF line ending is not part of the value
  };
  for (const Case &c : cases) {
    GetResult result = get(handle.get(), c.name);
    EXPECT_TRUE(result.ok) << c.name << ": " << result.message;
    EXPECT_EQ(result.value, c.initial) << c.name;
  }
}

// ---- values read back unchanged ----

std::string all_bytes_but_nul() {
  std::string value;
  for (int byte = 1; byte < 256; ++byte) value.push_back(static_cast<char>(byte));
  return value;
}

const std::string TRICKY_VALUES[] = {
    "",
    "no",
    "line one\nline two\n",
    "\n",
    "\n\n\r\n",
    "destination=rtmp://host/app&key=a%20b%3D%26%",
    "%00%0A%",
    "  padded with blanks\t ",
    "# not a comment",
    "Name=not a declaration\nOther=",
    "\\n \\\\ \"quoted\" 'single'",
    "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xF0\x9F\x8E\xA5",       // valid UTF-8
    "\xFF\xFE\xC3\x28\x80 \xED\xA0\x80 \xF8\x88\x80\x80\x80",      // invalid UTF-8
    all_bytes_but_nul(),
    std::string(AX_PARAMETER_VALUE_MAX, 'x'),
};

class TrickyValue : public ParameterStore,
                    public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(TrickyValue, ReadsBackUnchangedFromTheSameAndAReopenedHandle) {
  const auto &[value, sync] = GetParam();
  {
    Handle handle = open();
    ASSERT_TRUE(handle);
    GetResult written = set(handle.get(), "Text", value.c_str(), sync);
    ASSERT_TRUE(written.ok) << written.message;
    GetResult read = get(handle.get(), "Text");
    ASSERT_TRUE(read.ok) << read.message;
    EXPECT_EQ(read.value, value);
    // Neighbours keep their own values.
    EXPECT_EQ(get(handle.get(), "Flag").value, "no");
  }
  Handle reopened = open();
  ASSERT_TRUE(reopened);
  GetResult read = get(reopened.get(), "Text");
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.value, value);
}

INSTANTIATE_TEST_SUITE_P(Values, TrickyValue,
                         ::testing::Combine(::testing::ValuesIn(TRICKY_VALUES), ::testing::Bool()));

TEST_F(ParameterStore, AShorterValueReplacesALongerOneWhole) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  for (const char *value : {"a long value that is written first", "short", "", "x"}) {
    ASSERT_TRUE(set(handle.get(), "Greeting", value).ok);
    EXPECT_EQ(get(handle.get(), "Greeting").value, value);
  }
}

TEST_F(ParameterStore, AnOverlongValueIsRefusedAndTheOldOneKept) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  ASSERT_TRUE(set(handle.get(), "Text", "kept").ok);
  std::string overlong(AX_PARAMETER_VALUE_MAX + 1, 'y');
  GetResult refused = set(handle.get(), "Text", overlong.c_str());
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.code, AX_PARAMETER_ERROR_INVALID_ARGUMENT);
  EXPECT_NE(refused.message.find("'Text'"), std::string::npos) << refused.message;
  EXPECT_EQ(get(handle.get(), "Text").value, "kept");
}

TEST_F(ParameterStore, ValuesPersistAcrossProcessesBothWays) {
  const std::string from_child = "child\nwrote=this&that%20\xC3\xA9\xFF";
  ASSERT_EQ(run_tool({TEST_APPLICATION, "set", "Text", from_child, "1"}), 0);
  Handle handle = open();
  ASSERT_TRUE(handle);
  EXPECT_EQ(get(handle.get(), "Text").value, from_child);

  const std::string from_parent = "parent\r\nwrote\x80 = & %";
  ASSERT_TRUE(set(handle.get(), "Greeting", from_parent.c_str(), false).ok);
  std::string printed;
  ASSERT_EQ(run_tool({TEST_APPLICATION, "get", "Greeting"}, &printed), 0);
  EXPECT_EQ(printed, from_parent);
}

TEST_F(ParameterStore, TwoHandlesOnOneStoreSeeEachOthersWrites) {
  Handle first = open();
  Handle second = open();
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(set(first.get(), "Flag", "yes", true).ok);
  EXPECT_EQ(get(second.get(), "Flag").value, "yes");
  ASSERT_TRUE(set(second.get(), "Flag", "no again").ok);
  EXPECT_EQ(get(first.get(), "Flag").value, "no again");
}

// ---- names the group does not have ----

struct NameCase {
  const char *name;
  int code;
};

class UndeclaredName : public ParameterStore, public ::testing::WithParamInterface<NameCase> {};

TEST_P(UndeclaredName, ReadFailsNamingTheParameter) {
  const NameCase &c = GetParam();
  Handle handle = open();
  ASSERT_TRUE(handle);
  // A file lying in the group folder does not declare a parameter.
  write_file(group_file("Stray"), "stray value");
  GetResult result = get(handle.get(), c.name);
  EXPECT_FALSE(result.ok) << "read '" << c.name << "' as '" << result.value << "'";
  EXPECT_EQ(result.code, c.code) << result.message;
  if (*c.name) {
    EXPECT_NE(result.message.find(c.name), std::string::npos) << result.message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, UndeclaredName,
    ::testing::Values(NameCase{"Nope", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Stray", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"flag", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Flag ", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{".Flag", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"../testapp/Flag", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Properties.System.Nope", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Properties..System", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Properties.System.", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"", AX_PARAMETER_ERROR_INVALID_ARGUMENT}));

class RefusedWrite : public ParameterStore, public ::testing::WithParamInterface<NameCase> {};

TEST_P(RefusedWrite, FailsNamingTheParameterAndChangesNothing) {
  const NameCase &c = GetParam();
  Handle handle = open();
  ASSERT_TRUE(handle);
  GetResult result = set(handle.get(), c.name, "written");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.code, c.code) << result.message;
  if (*c.name) {
    EXPECT_NE(result.message.find(c.name), std::string::npos) << result.message;
  }
  std::vector<std::string> files;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(store_.path())) {
    if (!entry.is_directory()) files.push_back(entry.path());
  }
  EXPECT_TRUE(files.empty()) << "wrote " << files.front();
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedWrite,
    ::testing::Values(NameCase{"Nope", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"flag", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"../testapp/Flag", AX_PARAMETER_ERROR_NOT_FOUND},
                      NameCase{"Properties.System.SerialNumber", AX_PARAMETER_ERROR_READ_ONLY},
                      NameCase{"", AX_PARAMETER_ERROR_INVALID_ARGUMENT}));

TEST_F(ParameterStore, MissingArgumentsFailWithAnError) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  EXPECT_EQ(set(handle.get(), "Flag", nullptr).code, AX_PARAMETER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(get(handle.get(), nullptr).code, AX_PARAMETER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(get(nullptr, "Flag").code, AX_PARAMETER_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(set(nullptr, "Flag", "yes").code, AX_PARAMETER_ERROR_INVALID_ARGUMENT);
  GError *error = nullptr;
  EXPECT_FALSE(ax_parameter_get(handle.get(), "Flag", nullptr, &error));
  EXPECT_NE(error, nullptr);
  g_clear_error(&error);
  ax_parameter_free(nullptr);
  EXPECT_EQ(get(handle.get(), "Flag").value, "no");
}

// ---- a damaged store ----

struct DamageCase {
  const char *label;
  std::function<void(const std::string &path)> damage;
};

class DamagedValue : public ParameterStore, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedValue, FailsThatReadOnlyAndNamesTheParameter) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  ASSERT_TRUE(set(handle.get(), "Greeting", "intact").ok);
  GetParam().damage(group_file("Text"));
  GetResult result = get(handle.get(), "Text");
  EXPECT_FALSE(result.ok) << "read '" << result.value << "'";
  EXPECT_EQ(result.code, AX_PARAMETER_ERROR_STORAGE);
  EXPECT_NE(result.message.find("'Text'"), std::string::npos) << result.message;
  EXPECT_EQ(get(handle.get(), "Greeting").value, "intact");
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedValue,
    ::testing::Values(
        DamageCase{"directory", [](const std::string &path) { std::filesystem::create_directories(path); }},
        DamageCase{"nul_byte", [](const std::string &path) { write_file(path, std::string("a\0b", 3)); }},
        DamageCase{"oversize", [](const std::string &path) {
                     write_file(path, std::string(AX_PARAMETER_VALUE_MAX + 1, 'z'));
                   }}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ParameterStore, AWriteThatCannotReplaceTheValueFailsAndLeavesNoTemporary) {
  Handle handle = open();
  ASSERT_TRUE(handle);
  write_file(group_file("Text") + "/occupied", "x");
  GetResult result = set(handle.get(), "Text", "new value", true);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.code, AX_PARAMETER_ERROR_STORAGE);
  EXPECT_NE(result.message.find("'Text'"), std::string::npos) << result.message;
  for (const auto &entry : std::filesystem::directory_iterator(group_file(""))) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
  EXPECT_TRUE(set(handle.get(), "Flag", "yes").ok);
}

// ---- system parameters ----

struct SerialCase {
  const char *label;
  const char *environment;  // AXPARAMETER_SYSTEM_SERIAL, or none
  const char *file;         // system/Properties.System.SerialNumber, or none
  const char *expected;     // none: the read fails
};

class SystemSerial : public ParameterStore, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SystemSerial, ReadsTheConfiguredSerialOrFails) {
  const SerialCase &c = GetParam();
  if (c.environment) setenv("AXPARAMETER_SYSTEM_SERIAL", c.environment, 1);
  if (c.file) write_file(store_.path() + "/system/Properties.System.SerialNumber", c.file);
  Handle handle = open();
  ASSERT_TRUE(handle);
  GetResult result = get(handle.get(), "Properties.System.SerialNumber");
  if (c.expected) {
    EXPECT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.value, c.expected);
  } else {
    EXPECT_FALSE(result.ok) << "read '" << result.value << "'";
    EXPECT_EQ(result.code, AX_PARAMETER_ERROR_NOT_FOUND);
    EXPECT_NE(result.message.find("Properties.System.SerialNumber"), std::string::npos);
  }
  // Never writable, whatever its source.
  EXPECT_EQ(set(handle.get(), "Properties.System.SerialNumber", "000000000000").code,
            AX_PARAMETER_ERROR_READ_ONLY);
  EXPECT_EQ(get(handle.get(), "Properties.System.SerialNumber").value, c.expected ? c.expected : "");
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SystemSerial,
    ::testing::Values(SerialCase{"none", nullptr, nullptr, nullptr},
                      SerialCase{"environment", "ACCC8E012345", nullptr, "ACCC8E012345"},
                      SerialCase{"empty_environment", "", nullptr, ""},
                      SerialCase{"file", nullptr, "ACCC8E0A0B0C\n", "ACCC8E0A0B0C"},
                      SerialCase{"file_crlf", nullptr, "accc8e0a0b0c\r\n", "accc8e0a0b0c"},
                      SerialCase{"environment_over_file", "ACCC8E111111", "ACCC8E222222\n",
                                 "ACCC8E111111"}),
    [](const auto &info) { return std::string(info.param.label); });

// ---- opening a handle ----

struct OpenCase {
  const char *label;
  const char *application;
  std::function<void(const TempDir &store, const TempDir &package)> prepare;
  int code;  // -1: refused without an error object
};

class RefusedHandle : public ParameterStore, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(RefusedHandle, ReturnsNoHandleAndTheExpectedError) {
  const OpenCase &c = GetParam();
  if (c.prepare) c.prepare(store_, package_);
  GError *error = nullptr;
  Handle handle(ax_parameter_new(c.application, &error));
  EXPECT_FALSE(handle);
  if (c.code < 0) {
    EXPECT_EQ(error, nullptr);
  } else {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, AX_PARAMETER_ERROR);
    EXPECT_EQ(error->code, c.code) << error->message;
    EXPECT_STRNE(error->message, "");
  }
  g_clear_error(&error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedHandle,
    ::testing::Values(
        OpenCase{"null_application", nullptr, nullptr, AX_PARAMETER_ERROR_INVALID_ARGUMENT},
        OpenCase{"empty_application", "", nullptr, AX_PARAMETER_ERROR_INVALID_ARGUMENT},
        OpenCase{"path_in_application", "../testapp", nullptr, AX_PARAMETER_ERROR_INVALID_ARGUMENT},
        OpenCase{"undeclared_application", "otherapp", nullptr, AX_PARAMETER_ERROR_NOT_FOUND},
        OpenCase{"store_below_a_file", TEST_APPLICATION,
                 [](const TempDir &store, const TempDir &) {
                   write_file(store.file("plain"), "a file");
                   setenv("AXPARAMETER_DIR", store.file("plain/store").c_str(), 1);
                 },
                 AX_PARAMETER_ERROR_STORAGE},
        OpenCase{"malformed_declaration", TEST_APPLICATION,
                 [](const TempDir &, const TempDir &package) {
                   write_file(package.file("testapp.params"), "Flag=no\nno equals sign\n");
                 },
                 AX_PARAMETER_ERROR_STORAGE},
        OpenCase{"duplicate_declaration", TEST_APPLICATION,
                 [](const TempDir &, const TempDir &package) {
                   write_file(package.file("testapp.params"), "Flag=no\nFlag=yes\n");
                 },
                 AX_PARAMETER_ERROR_STORAGE},
        OpenCase{"unreadable_declaration", TEST_APPLICATION,
                 [](const TempDir &, const TempDir &package) {
                   std::filesystem::remove(package.file("testapp.params"));
                   std::filesystem::create_directory(package.file("testapp.params"));
                 },
                 AX_PARAMETER_ERROR_STORAGE},
        OpenCase{"refuse_silent", TEST_APPLICATION,
                 [](const TempDir &, const TempDir &) { setenv("AXPARAMETER_REFUSE", "silent", 1); }, -1},
        OpenCase{"refuse_error", TEST_APPLICATION,
                 [](const TempDir &, const TempDir &) { setenv("AXPARAMETER_REFUSE", "error", 1); },
                 AX_PARAMETER_ERROR_STORAGE}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ParameterStore, MalformedDeclarationErrorNamesFileAndLine) {
  write_file(package_.file("testapp.params"), "# comment\nFlag=no\n9Bad=x\n");
  GError *error = nullptr;
  Handle handle(ax_parameter_new(TEST_APPLICATION, &error));
  ASSERT_FALSE(handle);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("testapp.params:3"), std::string::npos)
      << error->message;
  g_clear_error(&error);
}

// ---- the corvane group ----

struct CorvanePackage {
  const char *label;
  bool shipped_file;  // the package's declaration file, else the built-in copy
};

class CorvaneGroup : public ParameterStore, public ::testing::WithParamInterface<CorvanePackage> {};

TEST_P(CorvaneGroup, DeclaresTheFiveResumeParametersWithTheirInitialValues) {
  std::string source_dir = corvane_test::source_dir();
  setenv("AXPARAMETER_PACKAGE_DIR",
         GetParam().shipped_file ? (source_dir + "/platform/axparameter").c_str()
                                 : package_.path().c_str(),
         1);
  Handle handle = open("corvane");
  ASSERT_TRUE(handle);
  struct Case {
    const char *name;
    const char *initial;
  } cases[] = {{"ResumeOnStart", "no"},
               {"LastSilentAudio", "no"},
               {"LastDestination", ""},
               {"LastProfileName", ""},
               {"LastProfileParameters", ""}};
  for (const Case &c : cases) {
    GetResult result = get(handle.get(), c.name);
    EXPECT_TRUE(result.ok) << c.name << ": " << result.message;
    EXPECT_EQ(result.value, c.initial) << c.name;
    EXPECT_TRUE(set(handle.get(), c.name, "changed").ok) << c.name;
  }
  EXPECT_FALSE(get(handle.get(), "Flag").ok);
}

INSTANTIATE_TEST_SUITE_P(Sources, CorvaneGroup,
                         ::testing::Values(CorvanePackage{"shipped_file", true},
                                           CorvanePackage{"built_in", false}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(ParameterStore, APackageFileTakesPrecedenceOverTheBuiltInDeclarations) {
  write_file(package_.file("corvane.params"), "ResumeOnStart=yes\n");
  Handle handle = open("corvane");
  ASSERT_TRUE(handle);
  EXPECT_EQ(get(handle.get(), "ResumeOnStart").value, "yes");
  EXPECT_EQ(get(handle.get(), "LastDestination").code, AX_PARAMETER_ERROR_NOT_FOUND);
}

// ---- where the store lives ----

TEST_F(ParameterStore, DefaultStoreIsAFolderOfTheWorkingDirectoryFixedAtOpen) {
  unsetenv("AXPARAMETER_DIR");
  TempDir workdir, elsewhere;
  std::string previous = std::filesystem::current_path();
  ASSERT_EQ(chdir(workdir.path().c_str()), 0);
  Handle handle = open();
  ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
  bool written = handle && set(handle.get(), "Flag", "moved?").ok;
  ASSERT_EQ(chdir(previous.c_str()), 0);
  ASSERT_TRUE(written);

  std::ifstream in(workdir.path() + "/axparameter/apps/testapp/Flag", std::ios::binary);
  std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(stored, "moved?");
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path() + "/axparameter"));
}

TEST_F(ParameterStore, OpeningRemovesTemporariesOfWritersThatAreGone) {
  // Process ids above the kernel's limit cannot belong to a running writer.
  std::string dead = group_file(".Flag.2147483000.7.tmp");
  std::string alive = group_file(".Flag." + std::to_string(getpid()) + ".7.tmp");
  write_file(dead, "half a val");
  write_file(alive, "in progress");
  Handle handle = open();
  ASSERT_TRUE(handle);
  EXPECT_FALSE(std::filesystem::exists(dead));
  EXPECT_TRUE(std::filesystem::exists(alive));
  EXPECT_EQ(get(handle.get(), "Flag").value, "no");
}

}  // namespace
