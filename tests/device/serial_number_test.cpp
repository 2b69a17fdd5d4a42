// normalize_serial: which serial-number and MAC texts become twelve upper-case digits.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "device/serial_number.h"

namespace {

struct SerialCase {
  const char *name;
  const char *text;
  const char *expected;  // null when the text must be rejected
};
void PrintTo(const SerialCase &c, std::ostream *os) { *os << c.name; }

class NormalizeSerial : public testing::TestWithParam<SerialCase> {};

TEST_P(NormalizeSerial, GivesTwelveUpperCaseDigitsOrNothing) {
  const SerialCase &c = GetParam();
  char out[kSerialNumberSize];
  std::memset(out, 'x', sizeof out);  // stale content must not survive
  bool ok = normalize_serial(c.text, out);
  if (c.expected) {
    EXPECT_TRUE(ok);
    EXPECT_STREQ(out, c.expected);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_STREQ(out, "");
  }
}

const SerialCase kSerialCases[] = {
    {"plain_upper", "ACCC8E012345", "ACCC8E012345"},
    {"lower_case", "accc8e0a1b2c", "ACCC8E0A1B2C"},
    {"mixed_case", "AcCc8e0A1b2C", "ACCC8E0A1B2C"},
    {"lower_with_hyphens_by_four", "accc-8e01-2345", "ACCC8E012345"},
    {"colons_between_pairs", "ac:cc:8e:01:23:45", "ACCC8E012345"},
    {"mac_text", "02:00:5e:10:00:fe", "02005E1000FE"},
    {"surrounding_whitespace", " \tACCC8E012345\r\n", "ACCC8E012345"},
    {"form_feed_inside", "ACCC8E\f012345", "ACCC8E012345"},
    {"separators_only_between", "A-C:C C\t8\nE\r0-1-2-3-4-5", "ACCC8E012345"},
    {"eleven_digits", "ACCC8E01234", nullptr},
    {"thirteen_digits", "ACCC8E0123456", nullptr},
    {"thirteen_digits_with_separators", "AC:CC:8E:01:23:45:6", nullptr},
    {"letter_beyond_f", "ACCC8E01234G", nullptr},
    {"lower_letter_beyond_f", "accc8e01234g", nullptr},
    {"vertical_tab_is_not_a_separator", "ACCC8E\v012345", nullptr},
    {"dot_is_not_a_separator", "ACCC.8E01.2345", nullptr},
    {"underscore_is_not_a_separator", "ACCC_8E012345", nullptr},
    {"utf8_byte", "ACCC8E01234\xc3\xa9", nullptr},
    {"hex_prefix", "0xACCC8E0123", nullptr},
    {"empty", "", nullptr},
    {"separators_only", " - : ", nullptr},
    {"many_digits", "ACCC8E012345ACCC8E012345", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, NormalizeSerial, testing::ValuesIn(kSerialCases),
                         [](const testing::TestParamInfo<SerialCase> &info) { return std::string(info.param.name); });

TEST(NormalizeSerialAbsent, NullTextFailsWithEmptyOutput) {
  char out[kSerialNumberSize] = "stale";
  EXPECT_FALSE(normalize_serial(nullptr, out));
  EXPECT_STREQ(out, "");
}

// A long run of separators around valid digits is still one serial number:
// nothing is cut before the digits are counted.
TEST(NormalizeSerialAbsent, LongSeparatorRunsAreSkippedWhole) {
  std::string text = std::string(200, ' ') + "accc8e012345" + std::string(200, '-');
  char out[kSerialNumberSize];
  EXPECT_TRUE(normalize_serial(text.c_str(), out));
  EXPECT_STREQ(out, "ACCC8E012345");
  text += "0";
  EXPECT_FALSE(normalize_serial(text.c_str(), out));
}

}  // namespace
