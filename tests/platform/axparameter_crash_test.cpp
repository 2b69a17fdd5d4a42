// Parameter store under process death and rival processes: writers killed
// with SIGKILL at random moments, and two writers on one store at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
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
constexpr int KILL_ROUNDS = 300;
// Up to this long after its first finished write a writer is killed.
constexpr int KILL_DELAY_MAX_US = 4000;

struct HandleDeleter {
  void operator()(AXParameter *handle) const { ax_parameter_free(handle); }
};
using Handle = std::unique_ptr<AXParameter, HandleDeleter>;

struct Writer {
  GPid pid = 0;
  int reports = -1;  // read end of the writer's stdout
};

Writer start_writer(int family, long count) {
  std::string family_text = std::to_string(family), parameters = std::to_string(PARAMETERS),
              count_text = std::to_string(count);
  const char *argv[] = {AXPARAMETER_TOOL, "crashtest", "hammer", family_text.c_str(),
                        parameters.c_str(), count_text.c_str(), nullptr};
  Writer writer;
  GError *error = nullptr;
  bool spawned = g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                          G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &writer.pid,
                                          nullptr, &writer.reports, nullptr, &error);
  EXPECT_TRUE(spawned) << (error ? error->message : "");
  g_clear_error(&error);
  return writer;
}

// The writers to be killed are forks of this process rather than new
// programs, which keeps hundreds of kills quick in sanitizer builds too.
Writer fork_writer() {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    GError *error = nullptr;
    AXParameter *handle = ax_parameter_new("crashtest", &error);
    if (!handle || !axparameter_test::hammer_parameters(handle, 0, PARAMETERS, 0, pipe_ends[1],
                                                        &error)) {
      std::fprintf(stderr, "writer: %s\n", error ? error->message : "unknown error");
    }
    _exit(1);
  }
  close(pipe_ends[1]);
  if (pid < 0) {
    close(pipe_ends[0]);
    return {};
  }
  return {pid, pipe_ends[0]};
}

int wait_for(const Writer &writer) {
  int status = 0;
  while (waitpid(writer.pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Everything the writer reported; each byte is parameter * 2 + generation.
std::string read_reports(int fd) {
  std::string reports;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    reports.append(buffer, static_cast<std::size_t>(got));
  }
  return reports;
}

class ParameterStoreCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream declarations(package_.file("crashtest.params"));
    for (int p = 0; p < PARAMETERS; ++p) declarations << parameter_name(p) << "=\n";
    declarations.close();
    ASSERT_TRUE(declarations.good());
    setenv("AXPARAMETER_DIR", store_.path().c_str(), 1);
    setenv("AXPARAMETER_PACKAGE_DIR", package_.path().c_str(), 1);
    unsetenv("AXPARAMETER_REFUSE");
  }
  void TearDown() override {
    unsetenv("AXPARAMETER_DIR");
    unsetenv("AXPARAMETER_PACKAGE_DIR");
  }

  std::string group_directory() const { return store_.path() + "/apps/crashtest"; }

  int count_temporaries() const {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(group_directory())) {
      if (entry.path().extension() == ".tmp") ++count;
    }
    return count;
  }

  // Reads every parameter through a fresh handle (which also clears the dead
  // writers' temporary files).
  std::vector<std::string> read_all() {
    GError *error = nullptr;
    Handle handle(ax_parameter_new("crashtest", &error));
    EXPECT_TRUE(handle) << (error ? error->message : "");
    g_clear_error(&error);
    std::vector<std::string> values(PARAMETERS);
    for (int p = 0; handle && p < PARAMETERS; ++p) {
      gchar *value = nullptr;
      EXPECT_TRUE(ax_parameter_get(handle.get(), parameter_name(p).c_str(), &value, &error))
          << parameter_name(p) << ": " << (error ? error->message : "");
      g_clear_error(&error);
      values[p] = value ? value : "";
      g_free(value);
    }
    return values;
  }

  TempDir store_;
  TempDir package_;
};

std::string describe(const std::string &value, int parameter) {
  for (int family = 0; family < 3; ++family) {
    for (int generation = 0; generation < 2; ++generation) {
      if (value == generation_value(parameter, generation, family)) {
        return "family " + std::to_string(family) + " generation " + std::to_string(generation);
      }
    }
  }
  return value.empty() ? "an empty value" : "a torn value of " + std::to_string(value.size()) + " bytes";
}

TEST_F(ParameterStoreCrash, EveryParameterHoldsAWholeOldOrNewValueAfterSigkill) {
  std::random_device seed_source;
  unsigned seed = seed_source();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_us(0, KILL_DELAY_MAX_US);
  SCOPED_TRACE("random seed " + std::to_string(seed));

  std::vector<std::string> confirmed(PARAMETERS, "");  // initial values
  int in_flight_writes = 0, unreported_writes = 0, kills = 0;
  auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < KILL_ROUNDS; ++round) {
    Writer writer = fork_writer();
    ASSERT_GT(writer.pid, 0);
    // Kill only once the writer is writing: after its first finished write.
    char first = 0;
    ssize_t got;
    while ((got = read(writer.reports, &first, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
      int status = wait_for(writer);
      close(writer.reports);
      FAIL() << "writer ended before writing, status " << status;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    ASSERT_EQ(kill(writer.pid, SIGKILL), 0);
    int status = wait_for(writer);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "round " << round << ": writer ended by itself, status " << status;
    ++kills;
    std::string reports = std::string(1, first) + read_reports(writer.reports);
    close(writer.reports);

    // What the writer finished must be there (unless a later write replaced it).
    for (char report : reports) {
      int p = report / 2, generation = report % 2;
      confirmed[p] = generation_value(p, generation, 0);
    }
    if (count_temporaries() > 0) ++in_flight_writes;

    std::vector<std::string> values = read_all();
    int changed = 0;
    for (int p = 0; p < PARAMETERS; ++p) {
      if (values[p] == confirmed[p]) continue;
      // Only the one write under way may have landed unreported: the other
      // generation, never a part of it.
      int next_generation = confirmed[p] == generation_value(p, 0, 0) ? 1 : 0;
      ASSERT_EQ(values[p], generation_value(p, next_generation, 0))
          << "round " << round << ", " << parameter_name(p) << " holds " << describe(values[p], p)
          << ", expected " << describe(confirmed[p], p) << " or generation " << next_generation;
      ++changed;
      confirmed[p] = values[p];
    }
    ASSERT_LE(changed, 1) << "round " << round;
    unreported_writes += changed;
    ASSERT_EQ(count_temporaries(), 0) << "a fresh handle leaves no dead writer's temporary file";
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[ figures  ] %d SIGKILLs in %.1f s; %d struck a write in flight, %d after the "
              "rename but before the report\n",
              kills, seconds, in_flight_writes, unreported_writes);
  RecordProperty("kills", kills);
  RecordProperty("in_flight_writes", in_flight_writes);
}

TEST_F(ParameterStoreCrash, TwoProcessesWritingAtOnceLeaveOnlyWholeValues) {
  constexpr long WRITES = 400;
  Writer first = start_writer(1, WRITES);
  Writer second = start_writer(2, WRITES);
  ASSERT_GT(first.pid, 0);
  ASSERT_GT(second.pid, 0);
  std::string first_reports = read_reports(first.reports);
  std::string second_reports = read_reports(second.reports);
  close(first.reports);
  close(second.reports);
  int first_status = wait_for(first), second_status = wait_for(second);
  g_spawn_close_pid(first.pid);
  g_spawn_close_pid(second.pid);
  ASSERT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0) << first_status;
  ASSERT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 0) << second_status;
  EXPECT_EQ(first_reports.size(), static_cast<std::size_t>(WRITES));
  EXPECT_EQ(second_reports.size(), static_cast<std::size_t>(WRITES));

  std::vector<std::string> values = read_all();
  for (int p = 0; p < PARAMETERS; ++p) {
    bool whole = false;
    for (int family = 1; family <= 2; ++family) {
      for (int generation = 0; generation < 2; ++generation) {
        whole = whole || values[p] == generation_value(p, generation, family);
      }
    }
    EXPECT_TRUE(whole) << parameter_name(p) << " holds " << describe(values[p], p);
  }
  EXPECT_EQ(count_temporaries(), 0);
}

}  // namespace
