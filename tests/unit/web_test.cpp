// json_escape and the rules of a start request's body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/control_endpoints.h"
#include "web/status_document.h"

namespace {

std::string repeat(const std::string &text, int times) {
  std::string s;
  while (times-- > 0) s += text;
  return s;
}

struct EscapeCase {
  std::string source;
  std::size_t capacity;
  std::string escaped;
};

TEST(JsonEscape, EscapesDropsAndNeverWritesPastTheCapacity) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";  // 40 bytes
  const EscapeCase cases[] = {
      {"", 36, ""},
      {"a\"b\\c\nd\re\tf/", 36, "a\\\"b\\\\c\\nd\\re\\tf/"},
      {"a\x01\x08\x0b\x0c\x0e\x1f\x7f" "b", 36, "a\x7f" "b"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", 36, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"a\xff\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82" "b", 36, "ab"},
      {letters, 36, letters.substr(0, 35)},
      {letters.substr(0, 33) + "\"", 36, letters.substr(0, 33) + "\\\""},
      {letters.substr(0, 34) + "\nz", 36, letters.substr(0, 34) + "z"},
      {letters.substr(0, 32) + "\xe2\x82\xac" "z", 36, letters.substr(0, 32) + "\xe2\x82\xac"},
      {letters.substr(0, 33) + "\xe2\x82\xac" "z", 36, letters.substr(0, 33) + "z"},
      {std::string(40, '"'), 36, repeat("\\\"", 17)},
      {std::string(127, '"'), 256, repeat("\\\"", 127)},
      {std::string(511, '\\'), 1024, repeat("\\\\", 511)},
      {"00:11:22:aa:bb:cc", 36, "00:11:22:aa:bb:cc"},
  };
  for (const EscapeCase &c : cases) {
    std::vector<char> out(c.capacity + 16, '#');
    json_escape(c.source.c_str(), out.data(), c.capacity);
    EXPECT_EQ(std::string(out.data()), c.escaped) << c.source;
    EXPECT_EQ(std::string(out.data() + c.capacity, 16), std::string(16, '#')) << "written past the capacity";
  }
}

TEST(StreamForm, ContentLength) {
  const std::pair<const char *, const char *> cases[] = {
      {nullptr, "Missing request body."}, {"0", "bad"}, {"1", "1"}, {"4096", "4096"}, {"4097", "bad"}, {"-1", "bad"},
      {"+12", "12"}, {" \t30abc", "30"}, {"abc", "bad"}, {"18446744073709551617", "bad"}};
  for (const auto &[header, expected] : cases) {
    std::size_t length = 99;
    const char *refusal = check_content_length(header, length);
    std::string got = !refusal ? std::to_string(length)
                      : std::string(refusal) == "Request body is empty or too large." ? "bad" : refusal;
    EXPECT_EQ(got, expected) << (header ? header : "(none)");
  }
}

struct FormCase {
  std::string body;
  std::string result;  // refusal, or destination|name|parameters|silent
};

TEST(StreamForm, FieldsAndRefusals) {
  const std::string dest = "destination=rtmp%3A%2F%2Fh%2Fa";
  const FormCase cases[] = {
      {dest, "rtmp://h/a|||0"},
      {dest + "&profileName=Main+HD&profileParameters=fps%3D30&silentAudio=yes", "rtmp://h/a|Main HD|fps=30|1"},
      {"DESTINATION=rtmp://h/a&PROFILENAME=P&profileparameters=x%3D1", "rtmp://h/a|P|x=1|0"},
      {"destination=rtmp://first/a&destination=rtmp://second/b", "rtmp://first/a|||0"},
      {"{\"destination\":\"rtmp://h/a\"}", "Missing RTMP destination."},
      {"destination=&profileName=x", "Missing RTMP destination."},
      {"destination=rtmps%3A%2F%2Fh%2Fa", "Destination must begin with rtmp://."},
      {"destination=RTMP://h/a", "Destination must begin with rtmp://."},
      {"destination=rtmp:/", "Destination must begin with rtmp://."},
      {"destination=rtmp://", "rtmp://|||0"},
      {"destination=rtmp://" + std::string(1016, 'd'), "rtmp://" + std::string(1016, 'd') + "|||0"},
      {"destination=rtmp://" + std::string(1017, 'd'), "Missing RTMP destination."},
      {dest + "&profileName=Main&profileParameters=", "Selected stream profile is missing parameters."},
      {dest + "&profileParameters=fps%3D25", "rtmp://h/a||fps=25|0"},
      {dest + "&profileName=" + std::string(127, 'n'), "Selected stream profile is missing parameters."},
      {dest + "&profileName=" + repeat("%41", 128) + "&silentAudio=1", "rtmp://h/a|||1"},
      {dest + "&profileParameters=" + std::string(2047, 'p'), "rtmp://h/a||" + std::string(2047, 'p') + "|0"},
      {dest + "&profileName=N&profileParameters=" + std::string(2048, 'p'), "Selected stream profile is missing parameters."},
  };
  for (const FormCase &c : cases) {
    StreamForm form;
    const char *refusal = parse_stream_form(c.body.data(), c.body.size(), form);
    std::string got = refusal ? refusal
                              : std::string(form.destination) + "|" + form.profile_name + "|" +
                                    form.profile_parameters + "|" + (form.silent_audio ? "1" : "0");
    EXPECT_EQ(got, c.result) << c.body.substr(0, 80);
  }
  // Only the given bytes count.
  StreamForm form;
  std::string body = dest + "&profileName=Main&profileParameters=x";
  EXPECT_STREQ(parse_stream_form(body.data(), dest.size() + 17, form), "Selected stream profile is missing parameters.");
}

TEST(StreamForm, SilentAudioTruthRule) {
  std::string got;
  for (const char *value : {"yes", "Yes", "TRUE", "on", "1", "", "0", "no", "off", "2", "01", "yes+", "y", "yes%00",
                            "yesyesyesyesyes", "truetruetruetrue"}) {
    std::string body = std::string("destination=rtmp://h/a&silentAudio=") + value;
    StreamForm form;
    EXPECT_EQ(parse_stream_form(body.data(), body.size(), form), nullptr);
    got += form.silent_audio ? '1' : '0';
  }
  EXPECT_EQ(got, "1111100000000100");
}

}  // namespace
