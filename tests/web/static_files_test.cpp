// Static UI files: the path mapping on its own, and the real program
// serving a UI directory of the test's own (files, index files, the ".."
// refusal, the server's 404 with its warning line).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_support.h"
#include "tests/web/termination_handler.h"
#include "web/static_files.h"

namespace {

using namespace corvane_test;

struct MappingCase {
  const char *path;  // null: the server gave no path
  bool accepted;
  const char *file;
  const char *rest;
};

class StaticMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(StaticMapping, MapsOntoTheUiDirectory) {
  const MappingCase &c = GetParam();
  char file[kStaticPathSize] = "unchanged";
  const char *rest = nullptr;
  ASSERT_EQ(map_static_path(c.path, file, rest), c.accepted);
  ASSERT_NE(rest, nullptr);
  EXPECT_STREQ(rest, c.rest);
  if (c.accepted) {
    EXPECT_STREQ(file, c.file);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StaticMapping,
    ::testing::Values(MappingCase{nullptr, true, "html/index.html", "/"},
                      MappingCase{"/", true, "html/index.html", "/"},
                      MappingCase{"", true, "html/index.html", "/"},
                      MappingCase{"/local/corvane/corvane", true, "html/index.html", "/"},
                      MappingCase{"/local/corvane/corvane/", true, "html/index.html", "/"},
                      MappingCase{"/app.js", true, "html/app.js", "/app.js"},
                      MappingCase{"/local/corvane/corvane/app.js", true, "html/app.js", "/app.js"},
                      MappingCase{"/local/corvane/corvaneX/a.js", true, "html/X/a.js", "X/a.js"},
                      MappingCase{"/local/corvane/corvan", true, "html/local/corvane/corvan",
                                  "/local/corvane/corvan"},
                      MappingCase{"/css/", true, "html/css/index.html", "/css/"},
                      MappingCase{"/css", true, "html/css", "/css"},
                      MappingCase{"//", true, "html//index.html", "//"},
                      MappingCase{"/app..js", false, "", "/app..js"},
                      MappingCase{"/local/corvane/corvane..", false, "", ".."},
                      MappingCase{"/a/../b", false, "", "/a/../b"}));

TEST(StaticMappingLimits, LongPathsAreCutAt2047Bytes) {
  std::string path = "/" + std::string(3000, 'x');
  char file[kStaticPathSize];
  const char *rest;
  ASSERT_TRUE(map_static_path(path.c_str(), file, rest));
  EXPECT_EQ(std::string(file), "html/" + std::string(2042, 'x'));
  std::string directory = "/" + std::string(2040, 'd') + "/";
  ASSERT_TRUE(map_static_path(directory.c_str(), file, rest));
  EXPECT_EQ(std::string(file).size(), 2047u);
  EXPECT_EQ(std::string(file), ("html/" + std::string(2040, 'd') + "/index.html").substr(0, 2047));
}

void write_file(const std::filesystem::path &path, const std::string &text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class StaticFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program serves html/ of its working directory: a tree of our own.
    std::filesystem::path html = std::filesystem::path(program_.workdir()) / "html";
    std::filesystem::remove(html);
    write_file(html / "index.html", "<p>index</p>");
    write_file(html / "app.js", "let app = 1;");
    write_file(html / "css" / "index.html", "css index");
    write_file(html / "X" / "a.js", "x a");
    std::filesystem::create_directories(html / "empty");
    ASSERT_TRUE(program_.start()) << program_.log().dump();
  }
  void TearDown() override {
    EXPECT_TRUE(wait_termination_handler(program_.pid()));
    EXPECT_EQ(program_.stop(SIGTERM), 0);
  }
  Program program_;
};

struct ServeCase {
  const char *method;
  const char *path;
  const char *body;
};

TEST_F(StaticFiles, ServesFilesWithAndWithoutThePrefix) {
  const ServeCase cases[] = {
      {"GET", "/", "<p>index</p>"},
      {"GET", "/local/corvane/corvane", "<p>index</p>"},
      {"GET", "/local/corvane/corvane/", "<p>index</p>"},
      {"GET", "/index.html", "<p>index</p>"},
      {"GET", "/app.js", "let app = 1;"},
      {"GET", "/local/corvane/corvane/app.js", "let app = 1;"},
      {"POST", "/app.js", "let app = 1;"},
      {"GET", "/css/", "css index"},
      {"GET", "/local/corvane/corvane/css/", "css index"},
      {"GET", "/local/corvane/corvaneX/a.js", "x a"},
      {"GET", "/a/../app.js", "let app = 1;"},  // resolved by the server before mapping
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    HttpReply reply = http_request(c.method, c.path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, c.body);
  }
  EXPECT_FALSE(program_.log().contains("No static file"));
}

TEST_F(StaticFiles, TwoDotsAreRefused) {
  for (const char *path : {"/app..js", "/local/corvane/corvane/x..y", "/a%2e%2eb", "/a..b/c.js"}) {
    SCOPED_TRACE(path);
    HttpReply reply = http_request("GET", path);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.head.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.header("Content-Length"), "24");
    EXPECT_EQ(reply.body, "{\"error\":\"Invalid path\"}");
  }
  EXPECT_FALSE(program_.log().contains("No static file"));
}

struct MissingCase {
  const char *path;
  const char *line;
};

TEST_F(StaticFiles, MissingFilesGetTheServers404AndAWarning) {
  const MissingCase cases[] = {
      {"/css", "No static file for request '/css' mapped to 'html/css'"},
      {"/local/corvane/corvane/missing.js", "No static file for request '/missing.js' mapped to 'html/missing.js'"},
      {"/empty/", "No static file for request '/empty/' mapped to 'html/empty/index.html'"},
      {"/local/corvane/corvane/api", "No static file for request '/api' mapped to 'html/api'"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    HttpReply reply = http_request("GET", c.path);
    EXPECT_EQ(reply.status, 404);
    EXPECT_NE(reply.header("Content-Type"), "application/json");
    ASSERT_TRUE(program_.log().wait_for(c.line)) << program_.log().dump();
    // The line itself, not just a message containing it, is a warning.
    int matching = 0;
    for (const LogLine &line : program_.log().lines()) {
      if (line.message == c.line) {
        ++matching;
        EXPECT_EQ(line.level, 4);
      }
    }
    EXPECT_EQ(matching, 1) << program_.log().dump();
  }
}

}  // namespace
