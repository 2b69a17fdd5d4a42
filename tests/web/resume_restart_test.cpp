// Automatic resume across real restarts of the program: armed by a start,
// kept by SIGTERM, disarmed by a stop; hand-edited parameters; refused
// resumes; parameter failures and their log lines.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/test_support.h"
#include "tests/web/parameter_store.h"
#include "tests/web/termination_handler.h"

namespace {

using namespace corvane_test;

constexpr const char *kProfile = "videocodec=h264&resolution=640x360&fps=15";

Json status() { return parse_json(http_request("GET", "/api/status").body); }

int level_of(const LogSink &log, const std::string &text) {
  for (const LogLine &line : log.lines())
    if (line.message.find(text) != std::string::npos) return line.level;
  return -1;
}

// Each run of the program is a fresh Program; the parameter store lives in
// a directory of the test's own, so it outlasts them all.
class ResumeAcrossRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<StoreView>(store_dir_.path());
    program_ = make_program();
  }
  void TearDown() override {
    if (program_->running()) {
      EXPECT_TRUE(wait_termination_handler(program_->pid()));
      EXPECT_EQ(program_->stop(SIGTERM), 0);
    }
  }
  std::unique_ptr<Program> make_program() {
    auto program = std::make_unique<Program>();
    program->set_env("AXPARAMETER_DIR", store_dir_.path());
    for (const auto &[name, value] : extra_env_) program->set_env(name, value);
    return program;
  }
  void start() { ASSERT_TRUE(program_->start()) << program_->log().dump(); }
  void stop() {
    ASSERT_TRUE(wait_termination_handler(program_->pid()));
    ASSERT_EQ(program_->stop(SIGTERM), 0) << program_->log().dump();
    EXPECT_TRUE(program_->log().contains("Application was stopped by SIGTERM or SIGINT."));
  }
  void restart() {
    stop();
    program_ = make_program();
    start();
  }
  void arm(const std::string &resume, const std::string &destination, const std::string &name,
           const std::string &parameters) {
    store_->set("ResumeOnStart", resume);
    store_->set("LastDestination", destination);
    store_->set("LastProfileName", name);
    store_->set("LastProfileParameters", parameters);
  }

  TempDir store_dir_;
  std::map<std::string, std::string> extra_env_;
  std::unique_ptr<Program> program_;
  std::unique_ptr<StoreView> store_;
};

TEST_F(ResumeAcrossRestart, SigtermKeepsTheStreamArmedAndStopDisarmsIt) {
  start();
  {
    RtmpReceiver receiver(1935);
    ASSERT_TRUE(receiver.wait_listening());
    HttpReply reply = post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                           {"profileName", "Low"},
                                                           {"profileParameters", kProfile},
                                                           {"silentAudio", "yes"}}));
    ASSERT_EQ(reply.status, 200) << reply.body;
    stop();
    EXPECT_EQ(store_->get("ResumeOnStart"), "yes");
  }

  // The saved stream comes back by itself, to a receiver that listens again.
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  program_ = make_program();
  start();
  EXPECT_TRUE(program_->log().wait_for("RTMP stream auto-resume requested")) << program_->log().dump();
  Json doc = wait_for_status([](const json_t *d) { return json_bool(d, "running"); });
  ASSERT_TRUE(doc);
  ASSERT_TRUE(json_bool(doc.get(), "running"))
      << json_string(doc.get(), "lastError") << "\n" << program_->log().dump();
  EXPECT_EQ(json_string(doc.get(), "destination"), receiver.url());
  EXPECT_EQ(json_string(doc.get(), "profileName"), "Low");
  EXPECT_TRUE(json_bool(doc.get(), "silentAudio"));

  ASSERT_EQ(http_request("POST", "/api/stop").status, 200);
  EXPECT_EQ(store_->get("ResumeOnStart"), "no");
  restart();
  // Give a wrongly armed resume the time to show itself.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(program_->log().contains("auto-resume")) << program_->log().dump();
  Json idle = status();
  ASSERT_TRUE(idle);
  EXPECT_FALSE(json_bool(idle.get(), "running"));
  EXPECT_EQ(json_string(idle.get(), "profileName"), "");
  EXPECT_EQ(json_string(idle.get(), "savedProfileName"), "Low");
  EXPECT_EQ(json_string(idle.get(), "destination"), receiver.url());
  EXPECT_TRUE(json_bool(idle.get(), "silentAudio"));
  EXPECT_EQ(json_string(idle.get(), "lastError"), "");
}

struct ArmCase {
  const char *resume_on_start;
  bool resumes;
};

class HandEditedFlag : public ResumeAcrossRestart, public ::testing::WithParamInterface<ArmCase> {};

TEST_P(HandEditedFlag, OnlyYesInAnyCaseArms) {
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  arm(GetParam().resume_on_start, receiver.url(), "", "");
  start();
  if (GetParam().resumes) {
    EXPECT_TRUE(program_->log().wait_for("RTMP stream auto-resume requested"));
    Json doc = wait_for_status([](const json_t *d) { return json_bool(d, "running"); });
    ASSERT_TRUE(doc);
    EXPECT_TRUE(json_bool(doc.get(), "running"));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(program_->log().contains("auto-resume"));
    Json doc = status();
    ASSERT_TRUE(doc);
    EXPECT_FALSE(json_bool(doc.get(), "running"));
    EXPECT_EQ(json_string(doc.get(), "destination"), receiver.url());
  }
}

INSTANTIATE_TEST_SUITE_P(Values, HandEditedFlag,
                         ::testing::Values(ArmCase{"YES", true}, ArmCase{"yEs", true},
                                           ArmCase{"true", false}, ArmCase{"1", false}));

struct RefusedCase {
  const char *name;
  const char *destination, *profile_name, *profile_parameters;
  const char *message;
};

class RefusedResume : public ResumeAcrossRestart, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedResume, ShowsAsLastErrorAndIsLogged) {
  const RefusedCase &c = GetParam();
  arm("yes", c.destination, c.profile_name, c.profile_parameters);
  start();
  std::string line = std::string("Unable to auto-resume RTMP stream: ") + c.message;
  ASSERT_TRUE(program_->log().wait_for(line)) << program_->log().dump();
  EXPECT_EQ(level_of(program_->log(), line), 3);
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "lastError"), c.message);
  // The stored state stays as it was, so the next start tries again.
  EXPECT_EQ(store_->get("ResumeOnStart"), "yes");
  restart();
  EXPECT_TRUE(program_->log().wait_for(line));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedResume,
    ::testing::Values(RefusedCase{"EmptyDestination", "", "", "", "Destination must begin with rtmp://."},
                      RefusedCase{"MissingParameters", "rtmp://127.0.0.1:1935/live/test", "Main", "",
                                  "Selected stream profile is missing parameters."}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ResumeAcrossRestart, ParameterFailuresAreLoggedAndSavingGoesOn) {
  start();
  store_->break_parameter("LastProfileName");
  // Every status request reads the saved state and logs the failed read.
  ASSERT_EQ(http_request("GET", "/api/status").status, 200);
  ASSERT_EQ(http_request("GET", "/api/status").status, 200);
  EXPECT_TRUE(program_->log().wait_for("Failed to read app parameter 'LastProfileName': ", 5s, 2));
  EXPECT_EQ(level_of(program_->log(), "Failed to read app parameter 'LastProfileName'"), 4);

  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  HttpReply reply = post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                         {"profileName", "Low"},
                                                         {"profileParameters", kProfile}}));
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(program_->log().wait_for("Failed to set app parameter 'LastProfileName': "));
  EXPECT_TRUE(program_->log().wait_for("RTMP stream resume state may be incomplete"));
  EXPECT_EQ(level_of(program_->log(), "RTMP stream resume state may be incomplete"), 4);
  EXPECT_FALSE(program_->log().contains("Saved RTMP stream resume state"));
  EXPECT_EQ(store_->get("ResumeOnStart"), "yes");
  EXPECT_EQ(store_->get("LastDestination"), receiver.url());

  // An unreadable arming flag: the saved choice does not show at all.
  store_->break_parameter("ResumeOnStart");
  ASSERT_EQ(http_request("POST", "/api/stop").status, 200);
  EXPECT_TRUE(program_->log().wait_for("Failed to set app parameter 'ResumeOnStart': "));
  EXPECT_FALSE(program_->log().contains("Disabled RTMP stream auto-resume"));
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_EQ(json_string(doc.get(), "destination"), "");
  EXPECT_EQ(json_string(doc.get(), "profileName"), "Low");
}

TEST_F(ResumeAcrossRestart, WithoutParameterStoreNothingResumes) {
  extra_env_["AXPARAMETER_REFUSE"] = "1";
  program_ = make_program();
  start();
  EXPECT_TRUE(program_->log().contains("AXParameter is unavailable"));
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  ASSERT_EQ(post_form("/api/start", form_encode({{"destination", receiver.url()}})).status, 200);
  EXPECT_TRUE(program_->log().wait_for(
      "RTMP stream resume state was not saved because AXParameter is unavailable"));
  restart();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(program_->log().contains("auto-resume"));
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(json_bool(doc.get(), "running"));
}

}  // namespace
