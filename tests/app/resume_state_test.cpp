// Resume state against the parameter store stand-in: the yes rule, loading
// with parts missing, saving in order with failures, and auto_resume with a
// stand-in worker.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/resume_state.h"
#include "app/stream_control.h"
#include "tests/web/fake_worker.h"
#include "tests/web/parameter_store.h"

namespace {

struct YesCase {
  const char *value;
  bool yes;
};

class ReadsAsYes : public ::testing::TestWithParam<YesCase> {};

TEST_P(ReadsAsYes, OnlyYesInAnyCase) { EXPECT_EQ(reads_as_yes(GetParam().value), GetParam().yes); }

INSTANTIATE_TEST_SUITE_P(Values, ReadsAsYes,
                         ::testing::Values(YesCase{"yes", true}, YesCase{"YES", true},
                                           YesCase{"yEs", true}, YesCase{"Yes", true},
                                           YesCase{"yes ", false}, YesCase{" yes", false},
                                           YesCase{"yes\n", false}, YesCase{"ye", false},
                                           YesCase{"yess", false}, YesCase{"yesyesyes", false},
                                           YesCase{"true", false}, YesCase{"1", false},
                                           YesCase{"on", false}, YesCase{"no", false},
                                           YesCase{"", false}));

void reset_stream() {
  stream_stop();
  StreamLock lock;
  // Everything after the lock back to zero.
  auto *fields = reinterpret_cast<char *>(&app_state.stream) + offsetof(StreamControl, worker_thread);
  std::memset(fields, 0, sizeof(StreamControl) - offsetof(StreamControl, worker_thread));
}

// Set by stream_start itself, so a start shows here before the worker runs.
bool worker_present() {
  StreamLock lock;
  return app_state.stream.worker_thread != nullptr || app_state.stream.running != 0;
}

std::string last_error() {
  StreamLock lock;
  return app_state.stream.last_error;
}

class ResumeStateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_mutex_init(&app_state.stream.lock); }
  void SetUp() override {
    reset_stream();
    fake_worker_reset();
  }
  void TearDown() override { reset_stream(); }
};

TEST_F(ResumeStateTest, WithoutHandleNothingIsReadOrWritten) {
  ASSERT_EQ(app_state.parameters, nullptr);
  char buffer[16] = "junk";
  EXPECT_FALSE(app_param_get("ResumeOnStart", buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(app_param_set("ResumeOnStart", "yes", true));
  ResumeState state;
  std::memset(&state, 'x', sizeof state);
  EXPECT_FALSE(resume_state_load(state));
  EXPECT_FALSE(state.resume_on_start);
  EXPECT_FALSE(state.silent_audio);
  EXPECT_STREQ(state.destination, "");
  EXPECT_STREQ(state.profile_name, "");
  EXPECT_STREQ(state.profile_parameters, "");
  resume_state_save("rtmp://h/a", "", "", false);  // logs, writes nothing
  auto_resume();
  EXPECT_FALSE(worker_present());
}

TEST_F(ResumeStateTest, SaveThenLoadRoundTrips) {
  ParameterStore store;
  resume_state_save("rtmp://host/app/key", "Profile 1", "videocodec=h265&fps=30", true);
  EXPECT_EQ(store.get("ResumeOnStart"), "yes");
  EXPECT_EQ(store.get("LastSilentAudio"), "yes");
  ResumeState state;
  ASSERT_TRUE(resume_state_load(state));
  EXPECT_TRUE(state.resume_on_start);
  EXPECT_STREQ(state.destination, "rtmp://host/app/key");
  EXPECT_STREQ(state.profile_name, "Profile 1");
  EXPECT_STREQ(state.profile_parameters, "videocodec=h265&fps=30");
  EXPECT_TRUE(state.silent_audio);

  resume_state_save("rtmp://other/app", "", "", false);
  EXPECT_EQ(store.get("LastSilentAudio"), "no");
  ASSERT_TRUE(resume_state_load(state));
  EXPECT_STREQ(state.profile_name, "");
  EXPECT_FALSE(state.silent_audio);
}

TEST_F(ResumeStateTest, FreshStoreLoadsDisarmed) {
  ParameterStore store;
  ResumeState state;
  ASSERT_TRUE(resume_state_load(state));
  EXPECT_FALSE(state.resume_on_start);
  auto_resume();
  EXPECT_FALSE(worker_present());
}

TEST_F(ResumeStateTest, LongValuesAreCutToTheirFields) {
  ParameterStore store;
  store.set("ResumeOnStart", "yes");
  store.set("LastDestination", "rtmp://" + std::string(3000, 'd'));
  store.set("LastProfileName", std::string(500, 'n'));
  store.set("LastProfileParameters", std::string(5000, 'p'));
  ResumeState state;
  ASSERT_TRUE(resume_state_load(state));
  EXPECT_EQ(std::string(state.destination), "rtmp://" + std::string(1016, 'd'));
  EXPECT_EQ(std::string(state.profile_name), std::string(127, 'n'));
  EXPECT_EQ(std::string(state.profile_parameters), std::string(2047, 'p'));

  char small[4];
  EXPECT_TRUE(app_param_get("LastProfileName", small, sizeof small));
  EXPECT_STREQ(small, "nnn");
}

TEST_F(ResumeStateTest, UnreadableResumeOnStartMeansNotLoaded) {
  ParameterStore store;
  store.set("LastDestination", "rtmp://h/a");
  store.break_parameter("ResumeOnStart");
  ResumeState state;
  EXPECT_FALSE(resume_state_load(state));
  EXPECT_STREQ(state.destination, "");
}

// A saved value that cannot be read stays empty; the state still loads.
TEST_F(ResumeStateTest, UnreadableSavedValuesLeaveTheirFieldsEmpty) {
  for (const char *broken : {"LastDestination", "LastProfileName", "LastProfileParameters", "LastSilentAudio"}) {
    SCOPED_TRACE(broken);
    ParameterStore store;
    resume_state_save("rtmp://h/a", "P", "x=1", true);
    store.break_parameter(broken);
    ResumeState state;
    ASSERT_TRUE(resume_state_load(state));
    EXPECT_TRUE(state.resume_on_start);
    EXPECT_EQ(std::string(state.destination), std::strcmp(broken, "LastDestination") ? "rtmp://h/a" : "");
    EXPECT_EQ(std::string(state.profile_name), std::strcmp(broken, "LastProfileName") ? "P" : "");
    EXPECT_EQ(std::string(state.profile_parameters), std::strcmp(broken, "LastProfileParameters") ? "x=1" : "");
    EXPECT_EQ(state.silent_audio, std::strcmp(broken, "LastSilentAudio") != 0);
  }
}

// Every write is tried, and the arming flag is written even after failures.
TEST_F(ResumeStateTest, PartlyFailedSaveStillArms) {
  ParameterStore store;
  store.break_parameter("LastProfileName");
  resume_state_save("rtmp://h/new", "Name", "a=b", true);
  EXPECT_EQ(store.get("LastDestination"), "rtmp://h/new");
  EXPECT_EQ(store.get("LastProfileParameters"), "a=b");
  EXPECT_EQ(store.get("LastSilentAudio"), "yes");
  EXPECT_EQ(store.get("ResumeOnStart"), "yes");
}

TEST_F(ResumeStateTest, SavedValuesSurviveAReopenedHandle) {
  ParameterStore store;
  resume_state_save("rtmp://h/a", "P", "x=1", false);
  store.close();
  store.reopen();
  ResumeState state;
  ASSERT_TRUE(resume_state_load(state));
  EXPECT_TRUE(state.resume_on_start);
  EXPECT_STREQ(state.destination, "rtmp://h/a");
}

TEST_F(ResumeStateTest, ArmedStateStartsTheSavedStream) {
  ParameterStore store;
  store.set("ResumeOnStart", "Yes");
  store.set("LastDestination", "rtmp://h/app/key");
  store.set("LastProfileName", "Main");
  store.set("LastProfileParameters", "videocodec=h264");
  store.set("LastSilentAudio", "YES");
  auto_resume();
  ASSERT_TRUE(fake_worker_wait_started(1, std::chrono::seconds(10)));
  FakeWorkerRecord record = fake_worker_record();
  EXPECT_EQ(record.started, 1);
  EXPECT_EQ(record.destination, "rtmp://h/app/key");
  EXPECT_EQ(record.profile_name, "Main");
  EXPECT_EQ(record.profile_parameters, "videocodec=h264");
  EXPECT_NE(record.silent_audio, 0u);
  StreamLock lock;
  EXPECT_EQ(app_state.stream.running, 1u);
  EXPECT_STREQ(app_state.stream.profile_name, "Main");
}

class NotArmed : public ResumeStateTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(NotArmed, NothingStarts) {
  ParameterStore store;
  store.set("ResumeOnStart", GetParam());
  store.set("LastDestination", "rtmp://h/app/key");
  auto_resume();
  EXPECT_FALSE(worker_present());
  EXPECT_EQ(last_error(), "");
}

INSTANTIATE_TEST_SUITE_P(Values, NotArmed, ::testing::Values("no", "true", "1", "yes ", ""));

struct RefusedCase {
  const char *name;
  const char *destination, *profile_name, *profile_parameters;
  bool already_running;
  const char *message;
};

class RefusedResume : public ResumeStateTest, public ::testing::WithParamInterface<RefusedCase> {};

// A refused resume leaves its message in last_error and the stored state as it was.
TEST_P(RefusedResume, MessageGoesToLastError) {
  const RefusedCase &c = GetParam();
  ParameterStore store;
  if (c.already_running) {
    char message[kMessageSize];
    ASSERT_TRUE(stream_start("rtmp://h/running", "", "", 0, "test", message));
    ASSERT_TRUE(fake_worker_wait_started(1, std::chrono::seconds(10)));
  }
  store.set("ResumeOnStart", "yes");
  store.set("LastDestination", c.destination);
  store.set("LastProfileName", c.profile_name);
  store.set("LastProfileParameters", c.profile_parameters);
  auto_resume();
  EXPECT_EQ(last_error(), c.message);
  EXPECT_EQ(worker_present(), c.already_running);
  EXPECT_EQ(fake_worker_record().started, c.already_running ? 1 : 0);
  EXPECT_EQ(store.get("ResumeOnStart"), "yes");
  EXPECT_EQ(store.get("LastDestination"), c.destination);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedResume,
    ::testing::Values(
        RefusedCase{"EmptyDestination", "", "", "", false, "Destination must begin with rtmp://."},
        RefusedCase{"UpperCaseScheme", "RTMP://h/a", "", "", false, "Destination must begin with rtmp://."},
        RefusedCase{"MissingParameters", "rtmp://h/a", "Main", "", false,
                    "Selected stream profile is missing parameters."},
        RefusedCase{"AlreadyRunning", "rtmp://h/a", "", "", true, "Stream is already running."}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
