// The pure part of reading a start or restart request: the Content-Length
// rule, field extraction with URL decoding, validation and the truth rule.
#include <gtest/gtest.h>

#include <string>

#include "web/control_endpoints.h"

namespace {

struct LengthCase {
  const char *header;  // null: no header
  const char *refusal;  // null: accepted
  std::size_t length;
};

class ContentLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ContentLength, AcceptsOneTo4096) {
  const LengthCase &c = GetParam();
  std::size_t length = 99;
  const char *refusal = check_content_length(c.header, length);
  if (c.refusal) {
    ASSERT_NE(refusal, nullptr);
    EXPECT_STREQ(refusal, c.refusal);
  } else {
    EXPECT_EQ(refusal, nullptr);
    EXPECT_EQ(length, c.length);
  }
}

constexpr const char *kEmptyOrLarge = "Request body is empty or too large.";

INSTANTIATE_TEST_SUITE_P(
    Headers, ContentLength,
    ::testing::Values(LengthCase{nullptr, "Missing request body.", 0}, LengthCase{"0", kEmptyOrLarge, 0},
                      LengthCase{"1", nullptr, 1}, LengthCase{"4096", nullptr, 4096},
                      LengthCase{"4097", kEmptyOrLarge, 0}, LengthCase{"-1", kEmptyOrLarge, 0},
                      LengthCase{"-0", kEmptyOrLarge, 0}, LengthCase{"+12", nullptr, 12},
                      LengthCase{"  \t30", nullptr, 30}, LengthCase{"30abc", nullptr, 30},
                      LengthCase{"abc", kEmptyOrLarge, 0}, LengthCase{"", kEmptyOrLarge, 0},
                      LengthCase{"99999999999999999999999", kEmptyOrLarge, 0},
                      LengthCase{"18446744073709551617", kEmptyOrLarge, 0}));

struct FormCase {
  const char *name;
  std::string body;
  const char *refusal;  // null: accepted
  std::string destination, profile_name, profile_parameters;
  bool silent_audio;
};

class StreamFormCases : public ::testing::TestWithParam<FormCase> {};

TEST_P(StreamFormCases, ExtractsAndValidates) {
  const FormCase &c = GetParam();
  StreamForm form;
  const char *refusal = parse_stream_form(c.body.data(), c.body.size(), form);
  if (c.refusal) {
    ASSERT_NE(refusal, nullptr);
    EXPECT_STREQ(refusal, c.refusal);
    return;
  }
  ASSERT_EQ(refusal, nullptr);
  EXPECT_EQ(form.destination, c.destination);
  EXPECT_EQ(form.profile_name, c.profile_name);
  EXPECT_EQ(form.profile_parameters, c.profile_parameters);
  EXPECT_EQ(form.silent_audio, c.silent_audio);
}

const std::string kDest = "destination=rtmp%3A%2F%2Fhost%2Fapp%2Fkey";
const std::string kDestDecoded = "rtmp://host/app/key";
constexpr const char *kMissing = "Missing RTMP destination.";
constexpr const char *kPrefix = "Destination must begin with rtmp://.";
constexpr const char *kNoParameters = "Selected stream profile is missing parameters.";

INSTANTIATE_TEST_SUITE_P(
    Bodies, StreamFormCases,
    ::testing::Values(
        FormCase{"OnlyDestination", kDest, nullptr, kDestDecoded, "", "", false},
        FormCase{"AllFields",
                 kDest + "&profileName=Main+HD&profileParameters=videocodec%3Dh264%26fps%3D30&silentAudio=yes",
                 nullptr, kDestDecoded, "Main HD", "videocodec=h264&fps=30", true},
        FormCase{"NamesIgnoreCase", "DESTINATION=rtmp://h/a&PROFILENAME=P&profileparameters=x%3D1", nullptr,
                 "rtmp://h/a", "P", "x=1", false},
        FormCase{"FirstOccurrenceWins", "destination=rtmp://first/a&destination=rtmp://second/b", nullptr,
                 "rtmp://first/a", "", "", false},
        FormCase{"NameMustStartAField", "xdestination=rtmp://h/a", kMissing, "", "", "", false},
        FormCase{"JsonBody", "{\"destination\":\"rtmp://h/a\"}", kMissing, "", "", "", false},
        FormCase{"EmptyBody", "", kMissing, "", "", "", false},
        FormCase{"EmptyDestination", "destination=&profileName=x", kMissing, "", "", "", false},
        FormCase{"DestinationDecodesToNothing", "destination=%00rtmp://h/a", kMissing, "", "", "", false},
        FormCase{"Rtmps", "destination=rtmps%3A%2F%2Fhost%2Fapp", kPrefix, "", "", "", false},
        FormCase{"UpperCaseScheme", "destination=RTMP://host/app", kPrefix, "", "", "", false},
        FormCase{"SixBytes", "destination=rtmp:/", kPrefix, "", "", "", false},
        FormCase{"SevenBytes", "destination=rtmp://", nullptr, "rtmp://", "", "", false},
        FormCase{"LeadingSpace", "destination=+rtmp://h/a", kPrefix, "", "", "", false},
        FormCase{"RawSpaceMakesTheValueInvalid", "destination=rtmp://h/a b", kMissing, "", "", "", false},
        FormCase{"DestinationOf1023Bytes", "destination=rtmp://" + std::string(1016, 'd'), nullptr,
                 "rtmp://" + std::string(1016, 'd'), "", "", false},
        FormCase{"DestinationOf1024BytesIsAbsent", "destination=rtmp://" + std::string(1017, 'd'), kMissing,
                 "", "", "", false},
        FormCase{"NameWithoutParameters", kDest + "&profileName=Main", kNoParameters, "", "", "", false},
        FormCase{"NameWithEmptyParameters", kDest + "&profileName=Main&profileParameters=", kNoParameters, "",
                 "", "", false},
        FormCase{"ParametersWithoutName", kDest + "&profileParameters=fps%3D25", nullptr, kDestDecoded, "",
                 "fps=25", false},
        FormCase{"NameOf127BytesCounts", kDest + "&profileName=" + std::string(127, 'n'), kNoParameters, "",
                 "", "", false},
        FormCase{"NameOf128BytesIsAbsent", kDest + "&profileName=" + std::string(128, 'n'), nullptr,
                 kDestDecoded, "", "", false},
        FormCase{"EncodedNameOf128BytesIsAbsent", kDest + "&profileName=" + [] {
                   std::string s;
                   for (int i = 0; i < 128; ++i) s += "%41";
                   return s;
                 }(), nullptr, kDestDecoded, "", "", false},
        FormCase{"ParametersOf2047Bytes", kDest + "&profileParameters=" + std::string(2047, 'p'), nullptr,
                 kDestDecoded, "", std::string(2047, 'p'), false},
        FormCase{"ParametersOf2048BytesAreAbsent",
                 kDest + "&profileName=N&profileParameters=" + std::string(2048, 'p'), kNoParameters, "", "",
                 "", false},
        FormCase{"NonAsciiPassesThrough", kDest + "&profileName=Caf%C3%A9&profileParameters=a%3Db", nullptr,
                 kDestDecoded, "Caf\xc3\xa9", "a=b", false}),
    [](const auto &info) { return std::string(info.param.name); });

struct SilentCase {
  const char *encoded;  // null: field absent
  bool expected;
};

class SilentAudio : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentAudio, TruthRule) {
  std::string body = kDest;
  if (GetParam().encoded) body += std::string("&silentAudio=") + GetParam().encoded;
  StreamForm form;
  ASSERT_EQ(parse_stream_form(body.data(), body.size(), form), nullptr);
  EXPECT_EQ(form.silent_audio, GetParam().expected) << (GetParam().encoded ? GetParam().encoded : "absent");
}

INSTANTIATE_TEST_SUITE_P(
    Values, SilentAudio,
    ::testing::Values(SilentCase{"yes", true}, SilentCase{"Yes", true}, SilentCase{"YES", true},
                      SilentCase{"true", true}, SilentCase{"TRUE", true}, SilentCase{"tRuE", true},
                      SilentCase{"on", true}, SilentCase{"ON", true}, SilentCase{"1", true},
                      SilentCase{nullptr, false}, SilentCase{"", false}, SilentCase{"0", false},
                      SilentCase{"no", false}, SilentCase{"false", false}, SilentCase{"off", false},
                      SilentCase{"2", false}, SilentCase{"01", false}, SilentCase{"1.0", false},
                      SilentCase{"yes+", false}, SilentCase{"+yes", false}, SilentCase{"y", false},
                      SilentCase{"yes%00", true},  // the value ends at the decoded NUL
                      SilentCase{"yesyesyesyesyes", false},
                      SilentCase{"truetruetruetrue", false}));  // 16 bytes: too long, absent

TEST(StreamForm, RefusalEmptiesEveryField) {
  StreamForm form;
  std::string body = kDest + "&profileName=Main&silentAudio=1";
  ASSERT_STREQ(parse_stream_form(body.data(), body.size(), form), kNoParameters);
  std::string refused = "destination=rtmps://h/a";
  EXPECT_STREQ(parse_stream_form(refused.data(), refused.size(), form), kPrefix);
  EXPECT_STREQ(form.profile_name, "");
  EXPECT_FALSE(form.silent_audio);
}

// Only the bytes given count: a field cut off by the length is not seen.
TEST(StreamForm, ReadsOnlyTheGivenBytes) {
  std::string body = kDest + "&profileName=Main&profileParameters=x";
  StreamForm form;
  EXPECT_STREQ(parse_stream_form(body.data(), kDest.size() + 17, form), kNoParameters);
  EXPECT_EQ(parse_stream_form(body.data(), body.size(), form), nullptr);
}

}  // namespace
