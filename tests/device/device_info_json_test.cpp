// Reading the device-information answer: json_first_string, the choice of
// the property object and the fields taken from it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app/bounded_text.h"
#include "device/device_info_json.h"

namespace {

struct JsonDeleter {
  void operator()(json_t *json) const { json_decref(json); }
};
using Json = std::unique_ptr<json_t, JsonDeleter>;

Json parse(const char *text) {
  json_error_t error;
  Json json(json_loads(text, JSON_DECODE_ANY, &error));
  EXPECT_TRUE(json) << text << ": " << error.text;
  return json;
}

// ---- json_first_string ----

struct FirstStringCase {
  const char *name;
  const char *json;
  const char *key3;  // key1 is "a", key2 "b"
  const char *expected;  // null when no key qualifies
};
void PrintTo(const FirstStringCase &c, std::ostream *os) { *os << c.name; }

class JsonFirstString : public testing::TestWithParam<FirstStringCase> {};

TEST_P(JsonFirstString, TakesTheFirstNonEmptyString) {
  const FirstStringCase &c = GetParam();
  Json json = parse(c.json);
  const char *value = json_first_string(json.get(), "a", "b", c.key3);
  if (c.expected) {
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, c.expected);
  } else {
    EXPECT_EQ(value, nullptr) << value;
  }
}

const FirstStringCase kFirstStringCases[] = {
    {"first_key", R"({"a":"one","b":"two","c":"three"})", "c", "one"},
    {"first_empty_takes_second", R"({"a":"","b":"two"})", "c", "two"},
    {"first_missing_takes_second", R"({"b":"two","c":"three"})", "c", "two"},
    {"first_number_takes_second", R"({"a":12,"b":"two"})", "c", "two"},
    {"first_null_takes_second", R"({"a":null,"b":"two"})", "c", "two"},
    {"first_object_takes_second", R"({"a":{"x":"y"},"b":"two"})", "c", "two"},
    {"third_key", R"({"a":"","b":false,"c":"three"})", "c", "three"},
    {"no_third_key_given", R"({"a":"","b":"","c":"three"})", nullptr, nullptr},
    {"nothing_qualifies", R"({"a":"","b":[],"c":""})", "c", nullptr},
    {"key_case_matters", R"({"A":"one","B":"two"})", "c", nullptr},
    {"root_is_array", R"(["a","b"])", "c", nullptr},
    {"root_is_string", R"("a")", "c", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonFirstString, testing::ValuesIn(kFirstStringCases),
                         [](const testing::TestParamInfo<FirstStringCase> &info) { return std::string(info.param.name); });

TEST(JsonFirstStringAbsent, NullObjectGivesNull) {
  EXPECT_EQ(json_first_string(nullptr, "a", "b", "c"), nullptr);
}

// ---- device_properties ----

struct PropertiesCase {
  const char *name;
  const char *json;
  const char *chosen;  // the "which" member of the object that must be chosen
};
void PrintTo(const PropertiesCase &c, std::ostream *os) { *os << c.name; }

class DeviceProperties : public testing::TestWithParam<PropertiesCase> {};

TEST_P(DeviceProperties, ChoosesTheRightObject) {
  const PropertiesCase &c = GetParam();
  Json json = parse(c.json);
  const json_t *chosen = device_properties(json.get());
  ASSERT_TRUE(json_is_object(chosen));
  EXPECT_STREQ(json_string_value(json_object_get(chosen, "which")), c.chosen);
}

const PropertiesCase kPropertiesCases[] = {
    {"property_list_in_data", R"({"which":"root","data":{"which":"data","propertyList":{"which":"list"}}})", "list"},
    {"fields_in_data", R"({"which":"root","data":{"which":"data"}})", "data"},
    {"data_wins_over_top_level_list",
     R"({"which":"root","propertyList":{"which":"top"},"data":{"which":"data"}})", "data"},
    {"string_list_in_data_is_ignored", R"({"which":"root","data":{"which":"data","propertyList":"x"}})", "data"},
    {"array_list_in_data_is_ignored", R"({"which":"root","data":{"which":"data","propertyList":[1]}})", "data"},
    {"top_level_list", R"({"which":"root","propertyList":{"which":"top"}})", "top"},
    {"data_not_an_object_falls_to_top_level_list",
     R"({"which":"root","data":"none","propertyList":{"which":"top"}})", "top"},
    {"top_level_list_not_an_object", R"({"which":"root","propertyList":["which"]})", "root"},
    {"top_level_list_null", R"({"which":"root","propertyList":null})", "root"},
    {"data_array_and_no_list", R"({"which":"root","data":[{"which":"data"}]})", "root"},
    {"fields_at_top_level", R"({"which":"root","SerialNumber":"ACCC8E012345"})", "root"},
};

INSTANTIATE_TEST_SUITE_P(Cases, DeviceProperties, testing::ValuesIn(kPropertiesCases),
                         [](const testing::TestParamInfo<PropertiesCase> &info) { return std::string(info.param.name); });

// ---- take_device_fields ----

struct FieldsCase {
  const char *name;
  const char *properties;
  DeviceIdentity expected;  // starting from kPreset
};
void PrintTo(const FieldsCase &c, std::ostream *os) { *os << c.name; }

// What the fetch holds before the answer is read: fields not found keep it.
const DeviceIdentity kPreset{"", "", "", "", "aarch64"};

class TakeDeviceFields : public testing::TestWithParam<FieldsCase> {};

TEST_P(TakeDeviceFields, FillsTheIdentity) {
  const FieldsCase &c = GetParam();
  Json json = parse(c.properties);
  DeviceIdentity identity = kPreset;
  take_device_fields(json.get(), identity);
  EXPECT_STREQ(identity.serial_number, c.expected.serial_number);
  EXPECT_STREQ(identity.device_model, c.expected.device_model);
  EXPECT_STREQ(identity.os_version, c.expected.os_version);
  EXPECT_STREQ(identity.chip, c.expected.chip);
  EXPECT_STREQ(identity.architecture, c.expected.architecture);
}

const std::string kLong200(200, 'm');

const FieldsCase kFieldsCases[] = {
    {"first_keys",
     R"({"SerialNumber":"ACCC8E012345","ProdFullName":"Dome Camera Q1","Version":"11.9.60","Soc":"Artpec-8","Architecture":"armv7hf",
         "serialNumber":"B8A44F000001","ProdShortName":"Q1","FirmwareVersion":"1.0","SoC":"other","architecture":"x"})",
     {"ACCC8E012345", "Dome Camera Q1", "11.9.60", "Artpec-8", "armv7hf"}},
    {"second_keys",
     R"({"serialNumber":"b8a44f000001","ProdShortName":"Q1","FirmwareVersion":"10.12","SoC":"CV25","architecture":"aarch64le",
         "serial_number":"000000000000","ProdNbr":"P1","axisOsVersion":"9","Chip":"c"})",
     {"B8A44F000001", "Q1", "10.12", "CV25", "aarch64le"}},
    {"third_keys", R"({"serial_number":"00-40-8c-12-34-56","ProdNbr":"P3245","axisOsVersion":"12.0","Chip":"S5L"})",
     {"00408C123456", "P3245", "12.0", "S5L", "aarch64"}},
    {"empty_first_serial_takes_second", R"({"SerialNumber":"","serialNumber":"ACCC8E0ABCDE"})",
     {"ACCC8E0ABCDE", "", "", "", "aarch64"}},
    {"numeric_first_serial_takes_second", R"({"SerialNumber":408123456,"serialNumber":"ACCC8E0ABCDE"})",
     {"ACCC8E0ABCDE", "", "", "", "aarch64"}},
    // The first non-empty key decides; a bad value there is not replaced by a later key.
    {"invalid_first_serial_is_rejected", R"({"SerialNumber":"ACCC8E0123456","serialNumber":"ACCC8E012345"})",
     {"", "", "", "", "aarch64"}},
    {"serial_with_letter_beyond_f", R"({"SerialNumber":"ACCC8E01234G"})", {"", "", "", "", "aarch64"}},
    {"serial_lower_case_hyphens", R"({"SerialNumber":"accc-8e01-2345"})", {"ACCC8E012345", "", "", "", "aarch64"}},
    {"serial_with_colons", R"({"SerialNumber":"ac:cc:8e:01:23:45"})", {"ACCC8E012345", "", "", "", "aarch64"}},
    {"nothing_known", R"({"Brand":"x","ProdType":"Camera"})", {"", "", "", "", "aarch64"}},
    {"empty_values_keep_preset", R"({"Architecture":"","ProdFullName":"","Version":"","Soc":""})",
     {"", "", "", "", "aarch64"}},
    {"utf8_model_passes", R"({"ProdFullName":"Kamera \u00e4\u00f6"})", {"", "Kamera \xc3\xa4\xc3\xb6", "", "", "aarch64"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, TakeDeviceFields, testing::ValuesIn(kFieldsCases),
                         [](const testing::TestParamInfo<FieldsCase> &info) { return std::string(info.param.name); });

// Over-long values are cut at each field's size less one.
TEST(TakeDeviceFieldsLength, LongValuesAreCutToTheField) {
  std::string long_text(300, 'v');
  Json json(json_pack("{s:s, s:s, s:s, s:s}", "ProdFullName", long_text.c_str(), "Version", long_text.c_str(),
                      "Soc", long_text.c_str(), "Architecture", long_text.c_str()));
  DeviceIdentity identity = kPreset;
  take_device_fields(json.get(), identity);
  EXPECT_EQ(std::string(identity.device_model), std::string(127, 'v'));
  EXPECT_EQ(std::string(identity.os_version), std::string(63, 'v'));
  EXPECT_EQ(std::string(identity.chip), std::string(63, 'v'));
  EXPECT_EQ(std::string(identity.architecture), std::string(31, 'v'));
}

// ---- read_device_info_body ----

struct BodyCase {
  const char *name;
  std::string body;
  const char *serial;  // expected serial number after reading
  const char *model;
};
void PrintTo(const BodyCase &c, std::ostream *os) { *os << c.name; }

class ReadDeviceInfoBody : public testing::TestWithParam<BodyCase> {};

TEST_P(ReadDeviceInfoBody, TakesFieldsOnlyFromAnObjectRoot) {
  const BodyCase &c = GetParam();
  DeviceIdentity identity = kPreset;
  read_device_info_body(c.body.data(), c.body.size(), identity);
  EXPECT_STREQ(identity.serial_number, c.serial);
  EXPECT_STREQ(identity.device_model, c.model);
  EXPECT_STREQ(identity.architecture, "aarch64");
}

const BodyCase kBodyCases[] = {
    {"full_answer",
     R"({"apiVersion":"1.3","data":{"propertyList":{"SerialNumber":"ACCC8E012345","ProdFullName":"Q1"}}})",
     "ACCC8E012345", "Q1"},
    {"not_json", "<html>Unauthorized</html>", "", ""},
    {"truncated_json", R"({"data":{"propertyList":{"SerialNumber":"ACCC8E012345")", "", ""},
    {"root_is_array", R"([{"SerialNumber":"ACCC8E012345"}])", "", ""},
    {"root_is_string", R"("ACCC8E012345")", "", ""},
    {"empty_body", "", "", ""},
    {"embedded_nul", std::string(R"({"SerialNumber":"ACCC8E012345"})") + std::string(1, '\0'), "", ""},
    {"trailing_garbage", R"({"SerialNumber":"ACCC8E012345"} x)", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, ReadDeviceInfoBody, testing::ValuesIn(kBodyCases),
                         [](const testing::TestParamInfo<BodyCase> &info) { return std::string(info.param.name); });

// The body is read by its length, not up to a NUL: the bytes after it are
// not part of the answer.
TEST(ReadDeviceInfoBodyLength, ReadsExactlyTheGivenBytes) {
  std::string text = R"({"SerialNumber":"ACCC8E012345"})";
  std::string buffer = text + R"(,"more":"bytes"})";
  DeviceIdentity identity = kPreset;
  read_device_info_body(buffer.data(), text.size(), identity);
  EXPECT_STREQ(identity.serial_number, "ACCC8E012345");
}

}  // namespace
