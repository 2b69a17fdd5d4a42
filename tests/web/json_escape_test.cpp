// json_escape: the escapes, the dropped bytes, the capacity rules, and that
// every result is a valid JSON string.
#include <glib.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include <random>
#include <string>
#include <vector>

#include "web/status_document.h"

namespace {

std::string escape(const std::string &source, std::size_t capacity) {
  std::vector<char> out(capacity + 8, '\x7f');
  json_escape(source.c_str(), out.data(), capacity);
  std::string result(out.data());
  // Nothing may be written past the capacity.
  for (std::size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], '\x7f') << "byte " << i;
  return result;
}

// Decodes `escaped` as the content of a JSON string; false when it is not one.
bool decode_json_string(const std::string &escaped, std::string &decoded) {
  std::string document = "[\"" + escaped + "\"]";
  json_error_t error;
  json_t *root = json_loadb(document.data(), document.size(), 0, &error);
  if (!root) return false;
  json_t *item = json_array_get(root, 0);
  bool ok = json_is_string(item);
  if (ok) decoded.assign(json_string_value(item), json_string_length(item));
  json_decref(root);
  return ok;
}

struct EscapeCase {
  const char *name;
  std::string source;
  std::string expected;
};

class JsonEscapeCases : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapeCases, EscapesWithRoomToSpare) {
  const EscapeCase &c = GetParam();
  std::string out = escape(c.source, 2 * c.source.size() + 36);
  EXPECT_EQ(out, c.expected);
  std::string decoded;
  EXPECT_TRUE(decode_json_string(out, decoded)) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonEscapeCases,
    ::testing::Values(
        EscapeCase{"Empty", "", ""},
        EscapeCase{"Plain", "rtmp://host/app/key", "rtmp://host/app/key"},
        EscapeCase{"TwoByteEscapes", "a\"b\\c\nd\re\tf", "a\\\"b\\\\c\\nd\\re\\tf"},
        EscapeCase{"OtherControlBytesDropped",
                   std::string("a\x01\x02\x03\x04\x05\x06\x07\x08" "b\x0b\x0c" "c\x0e\x0f\x10\x1b\x1f" "d"),
                   "abcd"},
        EscapeCase{"DelAndSlashKept", "a\x7f/b", "a\x7f/b"},
        EscapeCase{"Utf8Kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf",
                   "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf"},
        EscapeCase{"Utf8Boundaries", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
                   "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        EscapeCase{"InvalidByteDropped", "a\xff" "b\xfe", "ab"},
        EscapeCase{"StrayContinuationDropped", "a\x80\xbf" "b", "ab"},
        EscapeCase{"OverlongDropped", "a\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x80\x80\xaf" "b", "ab"},
        EscapeCase{"SurrogateDropped", "a\xed\xa0\x80" "b", "ab"},
        EscapeCase{"BeyondUnicodeDropped", "a\xf4\x90\x80\x80\xf5\x80\x80\x80" "b", "ab"},
        EscapeCase{"CutSequenceDropped", "a\xe2\x82" "b\xf0\x9f\x98", "ab"},
        EscapeCase{"ValidAfterInvalidKept", "\xe2\xe2\x82\xac", "\xe2\x82\xac"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(JsonEscape, NullSourceIsEmpty) {
  char out[36] = "x";
  json_escape(nullptr, out, sizeof out);
  EXPECT_STREQ(out, "");
}

struct CapacityCase {
  const char *name;
  std::string source;
  std::size_t capacity;
  std::string expected;
};

class JsonEscapeCapacity : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(JsonEscapeCapacity, NeverWritesPastTheCapacity) {
  const CapacityCase &c = GetParam();
  std::string out = escape(c.source, c.capacity);
  EXPECT_EQ(out, c.expected);
  EXPECT_LT(out.size(), c.capacity);
  std::string decoded;
  EXPECT_TRUE(decode_json_string(out, decoded)) << out;
}

const std::string kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";  // 40 plain bytes

INSTANTIATE_TEST_SUITE_P(
    Limits, JsonEscapeCapacity,
    ::testing::Values(
        CapacityCase{"PlainTextCut", kLetters, 36, kLetters.substr(0, 35)},
        // The pair does not fit at position 34; the next plain byte takes the last place.
        CapacityCase{"PairSkippedNextPlainFits", kLetters.substr(0, 34) + "\n" + kLetters.substr(35), 36,
                     kLetters.substr(0, 34) + kLetters.substr(35, 1)},
        CapacityCase{"PairFitsExactly", kLetters.substr(0, 33) + "\"", 36, kLetters.substr(0, 33) + "\\\""},
        CapacityCase{"QuotesFillTwiceTheField", std::string(127, '"'), 256,
                     [] {
                       std::string s;
                       for (int i = 0; i < 127; ++i) s += "\\\"";
                       return s;
                     }()},
        CapacityCase{"QuotesCutToWholePairs", std::string(40, '"'), 36,
                     [] {
                       std::string s;
                       for (int i = 0; i < 17; ++i) s += "\\\"";
                       return s;
                     }()},
        // A multi-byte character that does not fit whole is skipped, never cut.
        CapacityCase{"SequenceSkippedNextPlainFits", kLetters.substr(0, 33) + "\xe2\x82\xac" "z", 36,
                     kLetters.substr(0, 33) + "z"},
        CapacityCase{"SequenceFitsExactly", kLetters.substr(0, 32) + "\xe2\x82\xac" "z", 36,
                     kLetters.substr(0, 32) + "\xe2\x82\xac"},
        CapacityCase{"FourByteSequenceSkipped", kLetters.substr(0, 32) + "\xf0\x9f\x98\x80", 36,
                     kLetters.substr(0, 32)},
        CapacityCase{"MacAddressFitsItsField", "00:11:22:aa:bb:cc", 36, "00:11:22:aa:bb:cc"}),
    [](const auto &info) { return std::string(info.param.name); });

// Random bytes with a bias towards the interesting ones.
std::string random_bytes(std::mt19937 &rng, std::size_t length) {
  static const unsigned char interesting[] = {'"', '\\', '\n', '\r', '\t', 0x01, 0x1f, 0x7f,
                                              0x80, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xed, 0xef,
                                              0xf0, 0xf4, 0xf5, 0xff, 'a', '/'};
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned value = rng() % 512;
    unsigned char byte = value < 256 ? static_cast<unsigned char>(value)
                                     : interesting[value % sizeof interesting];
    text += static_cast<char>(byte ? byte : 'x');
  }
  return text;
}

TEST(JsonEscape, AnyBytesGiveAValidJsonStringWithinTheCapacity) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::string source = random_bytes(rng, rng() % 200);
    std::size_t capacity = 36 + rng() % 300;
    std::string out = escape(source, capacity);
    ASSERT_LT(out.size(), capacity);
    std::string decoded;
    ASSERT_TRUE(decode_json_string(out, decoded)) << "capacity " << capacity;
  }
}

// Valid UTF-8 escaped into twice its size comes back whole, less the control
// characters that have no two-byte escape.
TEST(JsonEscape, ValidUtf8RoundTripsAtTwiceItsSize) {
  std::mt19937 rng(7);
  for (int round = 0; round < 5000; ++round) {
    std::string source, kept;
    std::size_t characters = rng() % 60;
    // The engine's values are 32-bit; each remainder is below its bound.
    auto below = [&rng](gunichar bound) { return static_cast<gunichar>(rng() % bound); };
    for (std::size_t i = 0; i < characters; ++i) {
      gunichar c;
      switch (rng() % 4) {
        case 0: c = 1 + below(0x7f); break;
        case 1: c = 0x80 + below(0x780); break;
        case 2: c = 0x800 + below(0xf800); break;
        default: c = 0x10000 + below(0x100000); break;
      }
      if (c >= 0xd800 && c <= 0xdfff) c = 'x';
      char bytes[6];
      std::string encoded(bytes, static_cast<std::size_t>(g_unichar_to_utf8(c, bytes)));
      source += encoded;
      if (c >= 0x20 || c == '\n' || c == '\r' || c == '\t') kept += encoded;
    }
    std::string out = escape(source, 2 * source.size() + 2);
    std::string decoded;
    ASSERT_TRUE(decode_json_string(out, decoded));
    ASSERT_EQ(decoded, kept);
  }
}

}  // namespace
