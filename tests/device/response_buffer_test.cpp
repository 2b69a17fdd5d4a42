// response_buffer_write: the 4096-byte cap and the values handed back to libcurl.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "device/device_info_request.h"

namespace {

struct ChunkCase {
  const char *name;
  std::vector<std::size_t> chunks;  // bytes per call, size 1 each
  std::size_t kept;
  bool truncated;
};
void PrintTo(const ChunkCase &c, std::ostream *os) { *os << c.name; }

class ResponseBufferChunks : public testing::TestWithParam<ChunkCase> {};

// Every call reports the whole chunk as taken, the buffer keeps exactly the
// first kept bytes of the stream, and anything beyond marks it truncated.
TEST_P(ResponseBufferChunks, KeepsThePrefixUpToTheCap) {
  const ChunkCase &c = GetParam();
  std::string stream;
  for (std::size_t length : c.chunks)
    for (std::size_t i = 0; i < length; ++i) stream.push_back(static_cast<char>('a' + stream.size() % 26));

  ResponseBuffer buffer{g_string_new(nullptr), false};
  std::size_t offset = 0;
  for (std::size_t length : c.chunks) {
    EXPECT_EQ(response_buffer_write(stream.data() + offset, 1, length, &buffer), length);
    offset += length;
  }
  EXPECT_EQ(buffer.body->len, c.kept);
  EXPECT_EQ(std::string(buffer.body->str, buffer.body->len), stream.substr(0, c.kept));
  EXPECT_EQ(buffer.truncated, c.truncated);
  g_string_free(buffer.body, TRUE);
}

const ChunkCase kChunkCases[] = {
    {"small_body", {48}, 48, false},
    {"exactly_4096_at_once", {4096}, 4096, false},
    {"exactly_4096_in_pieces", {1000, 1000, 2000, 96}, 4096, false},
    {"4097_at_once", {4097}, 4096, true},
    {"4096_then_one_more", {4096, 1}, 4096, true},
    {"crossing_the_cap_in_pieces", {3000, 3000, 3000}, 4096, true},
    {"one_byte_chunks_past_the_cap", std::vector<std::size_t>(4100, 1), 4096, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, ResponseBufferChunks, testing::ValuesIn(kChunkCases),
                         [](const testing::TestParamInfo<ChunkCase> &info) { return std::string(info.param.name); });

struct RefusedCase {
  const char *name;
  std::size_t size;
  std::size_t count;
};
void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.name; }

class ResponseBufferRefused : public testing::TestWithParam<RefusedCase> {};

// A zero size or a size that overflows is refused (0 makes libcurl abort)
// and leaves the buffer as it was.
TEST_P(ResponseBufferRefused, ReturnsZeroAndLeavesTheBufferAlone) {
  const RefusedCase &c = GetParam();
  char data[16] = "0123456789abcde";
  ResponseBuffer buffer{g_string_new("held"), false};
  EXPECT_EQ(response_buffer_write(data, c.size, c.count, &buffer), 0u);
  EXPECT_STREQ(buffer.body->str, "held");
  EXPECT_FALSE(buffer.truncated);
  g_string_free(buffer.body, TRUE);
}

const RefusedCase kRefusedCases[] = {
    {"size_zero", 0, 10},
    {"size_and_count_zero", 0, 0},
    {"count_zero", 1, 0},
    {"product_overflows", SIZE_MAX / 2 + 1, 2},
    {"count_overflows", 8, SIZE_MAX / 4},
};

INSTANTIATE_TEST_SUITE_P(Cases, ResponseBufferRefused, testing::ValuesIn(kRefusedCases),
                         [](const testing::TestParamInfo<RefusedCase> &info) { return std::string(info.param.name); });

TEST(ResponseBufferSize, ChunkSizeTimesCountIsCounted) {
  std::string data(15, 'z');
  ResponseBuffer buffer{g_string_new(nullptr), false};
  EXPECT_EQ(response_buffer_write(data.data(), 3, 5, &buffer), 15u);
  EXPECT_EQ(buffer.body->len, 15u);
  // Near the cap, size > 1 still cuts at byte granularity.
  std::string big(4084, 'y');
  EXPECT_EQ(response_buffer_write(big.data(), 4, 1021, &buffer), 4084u);
  EXPECT_EQ(buffer.body->len, kResponseLimit);
  EXPECT_TRUE(buffer.truncated);
  g_string_free(buffer.body, TRUE);
}

}  // namespace
