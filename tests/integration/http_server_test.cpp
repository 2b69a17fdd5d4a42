// The server's fixed reply format and route table, in-process.
#include <civetweb.h>
#include <gtest/gtest.h>

#include <cstring>

#include "app/app_state.h"
#include "tests/support/test_support.h"
#include "web/http_server.h"

namespace {

using namespace corvane_test;

int reply_with(mg_connection *conn, void *status) {
  json_response(conn, static_cast<int>(reinterpret_cast<intptr_t>(status)), "{\"a\":\"b\\\"c\",\"n\":1}");
  return 1;
}

class JsonResponse : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *options[] = {"listening_ports", "30931", nullptr};
    mg_callbacks callbacks{};
    server_ = mg_start(&callbacks, nullptr, options);
    ASSERT_NE(server_, nullptr);
    for (intptr_t code : {200, 400, 409})
      mg_set_request_handler(server_, ("/reply/" + std::to_string(code)).c_str(), reply_with,
                             reinterpret_cast<void *>(code));
  }
  void TearDown() override { mg_stop(server_); }
  mg_context *server_ = nullptr;
};

TEST_F(JsonResponse, WritesTheExactHeaderBlockForEachCode) {
  const std::string body = "{\"a\":\"b\\\"c\",\"n\":1}";
  const std::pair<int, const char *> cases[] = {{200, "OK"}, {400, "Bad Request"}, {409, "Conflict"}};
  for (const auto &[code, text] : cases) {
    std::string answer = raw_http("GET /reply/" + std::to_string(code) + " HTTP/1.1\r\nHost: x\r\n\r\n", 30931);
    std::string expected = "HTTP/1.1 " + std::to_string(code) + " " + text +
                           "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
                           "Content-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n" + body;
    EXPECT_EQ(answer, expected);
  }
}

// The real route table: start_web_server binds the program's own port.
class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    g_mutex_init(&app_.stream.lock);
    g_mutex_init(&app_.identity_lock);
    server_ = start_web_server();
    ASSERT_NE(server_, nullptr);
    register_routes(server_, app_);
  }
  void TearDown() override {
    if (server_) mg_stop(server_);
    g_mutex_clear(&app_.identity_lock);
    g_mutex_clear(&app_.stream.lock);
  }
  AppState app_{};
  mg_context *server_ = nullptr;
};

TEST_F(Routes, StatusAnswersUnderBothPrefixesAndWithATrailingSegment) {
  for (const char *path : {"/api/status", "/local/corvane/corvane/api/status", "/api/status/x",
                           "/local/corvane/corvane/api/status/x"}) {
    SCOPED_TRACE(path);
    HttpReply reply = http_request("GET", path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    Json doc = parse_json(reply.body);
    ASSERT_TRUE(doc) << reply.body;
    EXPECT_TRUE(json_is_boolean(json_object_get(doc.get(), "running")));
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
  }
}

TEST_F(Routes, ControlRoutesRefuseGetUnderBothPrefixes) {
  const std::pair<const char *, const char *> cases[] = {
      {"/api/start", "Start requires POST."},
      {"/local/corvane/corvane/api/start", "Start requires POST."},
      {"/api/restart", "Restart requires POST."},
      {"/local/corvane/corvane/api/restart", "Restart requires POST."},
      {"/api/stop", "Stop requires POST."},
      {"/local/corvane/corvane/api/stop", "Stop requires POST."},
  };
  for (const auto &[path, message] : cases) {
    SCOPED_TRACE(path);
    HttpReply reply = http_request("GET", path);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.head.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    Json doc = parse_json(reply.body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(json_string(doc.get(), "lastError"), message);
  }
}

}  // namespace
