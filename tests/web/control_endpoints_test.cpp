// The start, restart, stop and status endpoints of the real program over
// HTTP: every refusal with its message and code, the documents, the resume
// state they keep, and what the server answers before any handler runs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/web/parameter_store.h"
#include "tests/web/termination_handler.h"

namespace {

using namespace corvane_test;

constexpr const char *kProfile = "videocodec=h264&resolution=640x360&fps=15";

// In the test's network namespace the camera has no identity: no interface
// with a hardware address, no device-information service, no serial number.
const std::string kIdleDocument =
    "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0,\"currentBitrate\":0,"
    "\"profileName\":\"\",\"savedProfileName\":\"\",\"destination\":\"\",\"silentAudio\":false,"
    "\"streamDetails\":\"\",\"profileDetails\":\"\",\"lastError\":\"\",\"macAddress\":\"\","
    "\"serialNumber\":\"\",\"deviceModel\":\"\",\"axisOsVersion\":\"\",\"chip\":\"\",\"architecture\":\"\"}";

std::string error_document(const std::string &message) {
  return "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0,\"currentBitrate\":0,"
         "\"profileName\":\"\",\"streamDetails\":\"\",\"profileDetails\":\"\",\"lastError\":\"" +
         message + "\",\"macAddress\":\"\",\"serialNumber\":\"\"}";
}

void expect_json_reply(const HttpReply &reply, int status, const char *status_line) {
  EXPECT_EQ(reply.status, status);
  EXPECT_EQ(reply.head.rfind(status_line, 0), 0u) << reply.head;
  EXPECT_EQ(reply.header("Content-Type"), "application/json");
  EXPECT_EQ(reply.header("Cache-Control"), "no-store");
  EXPECT_EQ(reply.header("Connection"), "close");
  EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
}

Json status() { return parse_json(http_request("GET", "/api/status").body); }

class ControlEndpoints : public ::testing::Test {
 protected:
  void SetUp() override {
    store_dir_ = program_.workdir() + "/parameters";
    program_.set_env("AXPARAMETER_DIR", store_dir_);
    ASSERT_TRUE(program_.start()) << program_.log().dump();
    store_ = std::make_unique<StoreView>(store_dir_);
  }
  void TearDown() override {
    EXPECT_TRUE(wait_termination_handler(program_.pid()));
    EXPECT_EQ(program_.stop(SIGTERM), 0) << program_.log().dump();
    EXPECT_EQ(program_.stdout_text(), "");
  }

  // A stream start whose worker keeps running: it publishes to a receiver.
  HttpReply start_streaming(RtmpReceiver &receiver, const std::string &path = "/api/start",
                            const std::string &extra = "") {
    EXPECT_TRUE(receiver.wait_listening());
    return post_form(path, form_encode({{"destination", receiver.url()},
                                        {"profileName", "Low"},
                                        {"profileParameters", kProfile}}) + extra);
  }

  // The saved choice a refused request must not touch.
  void mark_store() {
    store_->set("LastDestination", "rtmp://marker/app");
    store_->set("ResumeOnStart", "no");
  }
  void expect_store_marked() {
    EXPECT_EQ(store_->get("LastDestination"), "rtmp://marker/app");
    EXPECT_EQ(store_->get("ResumeOnStart"), "no");
  }

  Program program_;
  std::string store_dir_;
  std::unique_ptr<StoreView> store_;
};

TEST_F(ControlEndpoints, IdleStatusIsTheSameDocumentForEveryMethodAndPrefix) {
  for (const char *path : {"/api/status", "/local/corvane/corvane/api/status"}) {
    for (const char *method : {"GET", "POST", "PUT", "DELETE", "PATCH"}) {
      SCOPED_TRACE(std::string(method) + " " + path);
      HttpReply reply = http_request(method, path, std::string(method) == "GET" ? "" : "destination=x");
      expect_json_reply(reply, 200, "HTTP/1.1 200 OK\r\n");
      EXPECT_EQ(reply.body, kIdleDocument);
    }
  }
}

struct MethodCase {
  const char *path;
  const char *method;
  const char *message;
};

TEST_F(ControlEndpoints, ControlEndpointsRefuseEveryMethodButPost) {
  mark_store();
  const MethodCase cases[] = {
      {"/api/start", "GET", "Start requires POST."},
      {"/api/start", "PUT", "Start requires POST."},
      {"/local/corvane/corvane/api/start", "DELETE", "Start requires POST."},
      {"/api/restart", "GET", "Restart requires POST."},
      {"/local/corvane/corvane/api/restart", "PUT", "Restart requires POST."},
      {"/api/stop", "GET", "Stop requires POST."},
      {"/api/stop", "DELETE", "Stop requires POST."},
      {"/local/corvane/corvane/api/stop", "PATCH", "Stop requires POST."},
  };
  std::string body = form_encode({{"destination", "rtmp://127.0.0.1:1/a/b"}});
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    HttpReply reply = http_request(c.method, c.path, body);
    expect_json_reply(reply, 400, "HTTP/1.1 400 Bad Request\r\n");
    EXPECT_EQ(reply.body, error_document(c.message));
  }
  expect_store_marked();
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "lastError"), "");
  EXPECT_FALSE(program_.log().contains("Disabled RTMP stream auto-resume"));
}

struct BodyCase {
  const char *name;
  std::vector<std::string> headers;  // Content-Length given here when wanted
  std::string body;
  const char *message;
};

TEST_F(ControlEndpoints, BodyRefusalsOfStartAndRestart) {
  mark_store();
  const std::string good = form_encode({{"destination", "rtmp://127.0.0.1:1/a/b"}});
  const std::string big(4097, 'a');
  const BodyCase cases[] = {
      {"no length", {}, "", "Missing request body."},
      {"length 0", {"Content-Length: 0"}, "", "Request body is empty or too large."},
      {"length -0", {"Content-Length: -0"}, "", "Request body is empty or too large."},
      {"length 4097", {"Content-Length: 4097"}, "destination=rtmp://h/a&x=" + big.substr(0, 4072),
       "Request body is empty or too large."},
      {"json", {}, "{\"destination\":\"rtmp://h/a\"}", "Missing RTMP destination."},
      {"empty destination", {}, "destination=&profileName=", "Missing RTMP destination."},
      {"rtmps", {}, "destination=rtmps%3A%2F%2Fhost%2Fapp", "Destination must begin with rtmp://."},
      {"upper case", {}, "destination=RTMP%3A%2F%2Fhost%2Fapp", "Destination must begin with rtmp://."},
      {"name without parameters", {}, good + "&profileName=Main",
       "Selected stream profile is missing parameters."},
      {"127-byte name", {}, good + "&profileName=" + std::string(127, 'n'),
       "Selected stream profile is missing parameters."},
      {"short destination", {}, "destination=rtmp%3A%2F", "Destination must begin with rtmp://."},
  };
  for (const char *path : {"/api/start", "/local/corvane/corvane/api/restart"}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(path) + ": " + c.name);
      std::vector<std::string> headers = c.headers;
      // The harness adds the body's own length unless one is given; "no length" needs none at all.
      std::string request = "POST " + std::string(path) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
      bool has_length = !headers.empty();
      for (const auto &header : headers) request += header + "\r\n";
      if (!has_length && std::string(c.name) != "no length")
        request += "Content-Length: " + std::to_string(c.body.size()) + "\r\n";
      std::string answer = raw_http(request + "\r\n" + c.body);
      std::size_t end = answer.find("\r\n\r\n");
      ASSERT_NE(end, std::string::npos) << answer;
      EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
      EXPECT_EQ(answer.substr(end + 4), error_document(c.message));
    }
  }
  expect_store_marked();
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "lastError"), "") << "a refusal must not write last_error";
}

// CivetWeb refuses a Content-Length that is negative or has no digits with
// its own 411 reply before any handler runs, so the program's 400 for those
// cases never comes; nothing of the program's state changes either.
TEST_F(ControlEndpoints, ServerAnswersAMalformedContentLengthItself) {
  mark_store();
  for (const char *value : {"-5", "abc", ""}) {
    for (const char *path : {"/api/start", "/api/restart"}) {
      SCOPED_TRACE(std::string(path) + " Content-Length: '" + value + "'");
      std::string answer = raw_http("POST " + std::string(path) + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                    value + "\r\n\r\ndestination=rtmp%3A%2F%2Fh%2Fa");
      EXPECT_EQ(answer.rfind("HTTP/1.1 411 ", 0), 0u) << answer;
      EXPECT_EQ(answer.find("application/json"), std::string::npos) << answer;
    }
  }
  expect_store_marked();
  Json doc = status();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "destination"), "rtmp://marker/app");
}

TEST_F(ControlEndpoints, StartStreamsSavesAndArmsThenStopDisarms) {
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  // A body of exactly 4096 bytes is accepted.
  std::string body = form_encode({{"destination", receiver.url()},
                                  {"profileName", "Low \"360p\""},
                                  {"profileParameters", kProfile},
                                  {"silentAudio", "On"}}) + "&pad=";
  body += std::string(4096 - body.size(), 'p');
  ASSERT_EQ(body.size(), 4096u);
  HttpReply reply = post_form("/api/start", body);
  expect_json_reply(reply, 200, "HTTP/1.1 200 OK\r\n");
  Json doc = parse_json(reply.body);
  ASSERT_TRUE(doc) << reply.body;
  EXPECT_TRUE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "profileName"), "Low \"360p\"");
  EXPECT_EQ(json_string(doc.get(), "savedProfileName"), "Low \"360p\"");
  EXPECT_EQ(json_string(doc.get(), "destination"), receiver.url());
  EXPECT_TRUE(json_bool(doc.get(), "silentAudio"));
  EXPECT_EQ(json_string(doc.get(), "lastError"), "");
  EXPECT_TRUE(program_.log().wait_for("RTMP stream start requested"));
  EXPECT_TRUE(program_.log().contains("Saved RTMP stream resume state"));
  EXPECT_EQ(store_->get("ResumeOnStart"), "yes");
  EXPECT_EQ(store_->get("LastDestination"), receiver.url());
  EXPECT_EQ(store_->get("LastProfileName"), "Low \"360p\"");
  EXPECT_EQ(store_->get("LastProfileParameters"), kProfile);
  EXPECT_EQ(store_->get("LastSilentAudio"), "yes");

  // A second start while streaming: 409 with the status document, nothing saved.
  store_->set("LastDestination", "rtmp://marker/app");
  HttpReply again = post_form("/local/corvane/corvane/api/start",
                              form_encode({{"destination", "rtmp://127.0.0.1:1/other/key"}}));
  expect_json_reply(again, 409, "HTTP/1.1 409 Conflict\r\n");
  Json conflict = parse_json(again.body);
  ASSERT_TRUE(conflict) << again.body;
  EXPECT_TRUE(json_bool(conflict.get(), "running"));
  EXPECT_EQ(json_string(conflict.get(), "destination"), receiver.url());
  EXPECT_EQ(json_string(conflict.get(), "savedProfileName"), "Low \"360p\"");
  EXPECT_EQ(store_->get("LastDestination"), "rtmp://marker/app");
  store_->set("LastDestination", receiver.url());

  // A stop that is not a POST changes nothing.
  EXPECT_EQ(http_request("GET", "/api/stop").status, 400);
  Json still = status();
  ASSERT_TRUE(still);
  EXPECT_TRUE(json_bool(still.get(), "running"));

  HttpReply stopped = http_request("POST", "/api/stop", "ignored=1");
  expect_json_reply(stopped, 200, "HTTP/1.1 200 OK\r\n");
  Json after = parse_json(stopped.body);
  ASSERT_TRUE(after) << stopped.body;
  EXPECT_FALSE(json_bool(after.get(), "running"));
  EXPECT_EQ(json_integer(after.get(), "currentBitrate"), 0);
  EXPECT_EQ(json_string(after.get(), "lastError"), "Stream stopped.");
  // The live destination is gone; the saved one shows.
  EXPECT_EQ(json_string(after.get(), "destination"), receiver.url());
  EXPECT_EQ(json_string(after.get(), "profileName"), "Low \"360p\"");
  EXPECT_EQ(store_->get("ResumeOnStart"), "no");
  EXPECT_TRUE(program_.log().wait_for("Disabled RTMP stream auto-resume"));
  EXPECT_EQ(store_->get("LastDestination"), receiver.url()) << "a stop keeps the saved choice";
}

TEST_F(ControlEndpoints, StopWithoutStreamStillDisarms) {
  store_->set("ResumeOnStart", "yes");
  HttpReply reply = http_request("POST", "/api/stop");
  expect_json_reply(reply, 200, "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(reply.body, kIdleDocument);
  EXPECT_EQ(store_->get("ResumeOnStart"), "no");
  EXPECT_TRUE(program_.log().wait_for("Disabled RTMP stream auto-resume"));
}

TEST_F(ControlEndpoints, RestartWhileStreamingSwitchesToTheNewStream) {
  RtmpReceiver first(1935, "live/first");
  RtmpReceiver second(1936, "live/second");
  ASSERT_EQ(start_streaming(first).status, 200);
  ASSERT_TRUE(wait_for_status([](const json_t *doc) { return json_integer(doc, "framesSent") > 0; }))
      << program_.log().dump();

  // A refused restart leaves the running stream alone.
  HttpReply refused = post_form("/api/restart", "destination=rtmps%3A%2F%2Fh%2Fa");
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, error_document("Destination must begin with rtmp://."));
  Json running = status();
  ASSERT_TRUE(running);
  EXPECT_TRUE(json_bool(running.get(), "running"));
  EXPECT_EQ(json_string(running.get(), "destination"), first.url());

  HttpReply reply = start_streaming(second, "/local/corvane/corvane/api/restart", "&silentAudio=1");
  expect_json_reply(reply, 200, "HTTP/1.1 200 OK\r\n");
  Json doc = parse_json(reply.body);
  ASSERT_TRUE(doc) << reply.body;
  EXPECT_TRUE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "destination"), second.url());
  EXPECT_TRUE(json_bool(doc.get(), "silentAudio"));
  EXPECT_TRUE(program_.log().wait_for("RTMP stream restart requested"));
  // The first publisher has gone: its receiver finishes.
  EXPECT_GE(first.wait_finished(), 0) << first.log_text();
  EXPECT_EQ(store_->get("LastDestination"), second.url());
  EXPECT_EQ(store_->get("LastSilentAudio"), "yes");
  EXPECT_EQ(store_->get("ResumeOnStart"), "yes");
  EXPECT_EQ(http_request("POST", "/api/stop").status, 200);
}

TEST_F(ControlEndpoints, RestartWithoutStreamStartsOne) {
  RtmpReceiver receiver(1935);
  HttpReply reply = start_streaming(receiver, "/api/restart");
  expect_json_reply(reply, 200, "HTTP/1.1 200 OK\r\n");
  Json doc = parse_json(reply.body);
  ASSERT_TRUE(doc);
  EXPECT_TRUE(json_bool(doc.get(), "running"));
  EXPECT_FALSE(json_bool(doc.get(), "silentAudio"));
  EXPECT_TRUE(program_.log().wait_for("RTMP stream restart requested"));
  EXPECT_EQ(http_request("POST", "/api/stop").status, 200);
}

// A 128-byte profile name does not fit its buffer and counts as absent, so
// no parameters are needed and the stream starts with no profile name.
TEST_F(ControlEndpoints, ProfileNameOf128BytesCountsAsAbsent) {
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  HttpReply reply = post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                         {"profileName", std::string(128, 'n')}}));
  EXPECT_EQ(reply.status, 200) << reply.body;
  Json doc = parse_json(reply.body);
  ASSERT_TRUE(doc);
  EXPECT_EQ(json_string(doc.get(), "profileName"), "");
  EXPECT_EQ(store_->get("LastProfileName"), "");
  EXPECT_EQ(http_request("POST", "/api/stop").status, 200);
}

// Only the bytes that arrive count: a client that announces more and then
// closes its side still gets its request read.
TEST_F(ControlEndpoints, ShortBodyIsReadAsFarAsItArrives) {
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  std::string body = form_encode({{"destination", receiver.url()}});
  std::string request = "POST /api/start HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                        std::to_string(body.size() + 100) + "\r\n\r\n" + body;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(30920);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(store_->get("LastDestination"), receiver.url());
  EXPECT_EQ(http_request("POST", "/api/stop").status, 200);
}

// Without a parameter store the stream still starts; nothing is saved and
// the status shows no saved choice.
class WithoutParameterStore : public ::testing::Test {
 protected:
  void SetUp() override {
    program_.set_env("AXPARAMETER_REFUSE", "1");
    ASSERT_TRUE(program_.start()) << program_.log().dump();
  }
  void TearDown() override {
    EXPECT_TRUE(wait_termination_handler(program_.pid()));
    EXPECT_EQ(program_.stop(SIGTERM), 0);
  }
  Program program_;
};

TEST_F(WithoutParameterStore, StreamsWithoutSavingAnything) {
  EXPECT_EQ(http_request("GET", "/api/status").body, kIdleDocument);
  RtmpReceiver receiver(1935);
  ASSERT_TRUE(receiver.wait_listening());
  HttpReply reply = post_form("/api/start", form_encode({{"destination", receiver.url()},
                                                         {"profileName", "Low"},
                                                         {"profileParameters", kProfile},
                                                         {"silentAudio", "yes"}}));
  EXPECT_EQ(reply.status, 200) << reply.body;
  Json doc = parse_json(reply.body);
  ASSERT_TRUE(doc);
  EXPECT_TRUE(json_bool(doc.get(), "running"));
  EXPECT_EQ(json_string(doc.get(), "profileName"), "Low");
  EXPECT_EQ(json_string(doc.get(), "savedProfileName"), "");
  EXPECT_FALSE(json_bool(doc.get(), "silentAudio"));
  EXPECT_TRUE(program_.log().wait_for(
      "RTMP stream resume state was not saved because AXParameter is unavailable"));

  HttpReply stopped = http_request("POST", "/api/stop");
  EXPECT_EQ(stopped.status, 200);
  Json after = parse_json(stopped.body);
  ASSERT_TRUE(after);
  EXPECT_FALSE(json_bool(after.get(), "running"));
  EXPECT_EQ(json_string(after.get(), "destination"), "") << "no saved destination to fall back on";
  EXPECT_EQ(json_string(after.get(), "savedProfileName"), "");
  EXPECT_FALSE(program_.log().contains("Disabled RTMP stream auto-resume"));
  EXPECT_FALSE(program_.log().contains("Failed to set app parameter"));
}

}  // namespace
