// json_escape: the escapes, the dropped bytes and the capacity rules. The form's rules are
// exercised over HTTP (control_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/status_document.h"

namespace {

std::string repeat(const std::string &text, int times) {
  std::string s;
  while (times-- > 0) s += text;
  return s;
}

TEST(JsonEscape, EscapesDropsAndNeverWritesPastTheCapacity) {
  const std::string abc = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";  // 40 bytes
  const std::string euro = "\xe2\x82\xac";
  const struct {
    std::string source;
    std::size_t capacity;
    std::string escaped;
  } cases[] = {
      {"", 36, ""}, {"a\"b\\c\nd\re\tf/", 36, "a\\\"b\\\\c\\nd\\re\\tf/"},
      {"a\x01\x08\x0b\x0c\x0e\x1f\x7f" "b", 36, "a\x7f" "b"},
      {"caf\xc3\xa9 " + euro + " \xf0\x9f\x98\x80", 36, "caf\xc3\xa9 " + euro + " \xf0\x9f\x98\x80"},
      {"a\xff\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82" "b", 36, "ab"},  // not UTF-8: dropped
      {abc, 36, abc.substr(0, 35)}, {abc.substr(0, 33) + "\"", 36, abc.substr(0, 33) + "\\\""},
      {abc.substr(0, 34) + "\nz", 36, abc.substr(0, 34) + "z"},  // a pair that does not fit is skipped
      {abc.substr(0, 32) + euro + "z", 36, abc.substr(0, 32) + euro},
      {abc.substr(0, 33) + euro + "z", 36, abc.substr(0, 33) + "z"},  // so is a character
      {std::string(40, '"'), 36, repeat("\\\"", 17)}, {std::string(127, '"'), 256, repeat("\\\"", 127)},
      {std::string(511, '\\'), 1024, repeat("\\\\", 511)},
  };
  for (const auto &c : cases) {
    std::vector<char> out(c.capacity + 16, '#');
    json_escape(c.source.c_str(), out.data(), c.capacity);
    EXPECT_EQ(std::string(out.data()), c.escaped) << c.source;
    EXPECT_EQ(std::string(out.data() + c.capacity, 16), std::string(16, '#')) << "written past the capacity";
  }
}

}  // namespace
