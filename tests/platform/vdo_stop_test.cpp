// Stopping the emulated camera stream from another thread: a reader blocked
// in get_buffer is released, readers in full flight end cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/platform/vdo_test_support.h"
#include "vdo.h"
#include "vdo_emulator.h"

namespace vdo_test {
namespace {

struct ReaderResult {
  int frames = 0;
  gint error_code = 0;
  bool error_in_vdo_domain = false;
};

// Reads whole frames until a call fails, as the publisher's worker does: a
// harmless failure to return a buffer is cleared and reading goes on.
void read_until_error(VdoStream *stream, std::atomic<int> &frames_read, ReaderResult &result) {
  GError *error = nullptr;
  while (true) {
    VdoBuffer *buffer = vdo_stream_get_buffer(stream, &error);
    if (buffer == nullptr) break;
    VdoFrame *frame = vdo_buffer_get_frame(buffer);
    VdoChunk chunk;
    do {
      chunk = vdo_frame_take_chunk(frame, &error);
    } while (chunk.size > 0 && chunk.status != VDO_CHUNK_FAILED);
    if (chunk.status == VDO_CHUNK_FAILED) {
      vdo_stream_buffer_unref(stream, &buffer, nullptr);
      break;
    }
    if (!vdo_stream_buffer_unref(stream, &buffer, &error)) {
      if (!vdo_error_is_expected(&error)) break;
      g_clear_error(&error);
    }
    ++result.frames;
    frames_read.fetch_add(1);
  }
  result.error_in_vdo_domain = error != nullptr && error->domain == VDO_ERROR;
  result.error_code = error ? error->code : 0;
  g_clear_error(&error);
}

VdoStream *started_stream(guint32 format) {
  VdoMap *settings = make_settings(format, 96, 64);
  GError *error = nullptr;
  VdoStream *stream = vdo_stream_new(settings, nullptr, &error);
  g_object_unref(settings);
  EXPECT_NE(stream, nullptr) << (error ? error->message : "");
  if (stream && !vdo_stream_start(stream, &error)) ADD_FAILURE() << error->message;
  g_clear_error(&error);
  return stream;
}

class StopTest : public testing::Test {
 protected:
  void SetUp() override { baseline_ = vdo_emulator_live_objects(); }
  void TearDown() override {
    VdoEmulatorLiveObjects now = vdo_emulator_live_objects();
    EXPECT_EQ(now.maps, baseline_.maps);
    EXPECT_EQ(now.streams, baseline_.streams);
    EXPECT_EQ(now.buffers, baseline_.buffers);
  }
  VdoEmulatorLiveObjects baseline_{};
};

TEST_F(StopTest, StopFromAnotherThreadReleasesABlockedGetBuffer) {
  // A frame every 100 s: after the first frame the reader waits in get_buffer,
  // and only the stop can end that wait within the test's time limit.
  EmulatorEnv env({{"VDO_EMULATOR_MAX_FPS", "0.01"}});
  VdoStream *stream = started_stream(FORMAT_H264);
  ASSERT_NE(stream, nullptr);
  std::atomic<int> frames_read{0};
  ReaderResult result;
  std::thread reader(read_until_error, stream, std::ref(frames_read), std::ref(result));
  while (frames_read.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block; either way it must end
  vdo_stream_stop(stream);
  reader.join();  // would wait out the 100 s (past the test's time limit) if the stop did not wake it
  EXPECT_TRUE(result.error_in_vdo_domain);
  EXPECT_EQ(result.error_code, VDO_ERROR_STATE);
  EXPECT_GE(result.frames, 1);
  g_object_unref(stream);
}

TEST_F(StopTest, ReadersInFullFlightEndWhenTheirStreamsStop) {
  EmulatorEnv env({{"VDO_EMULATOR_PACING", "unpaced"}, {"VDO_EMULATOR_CHUNK_SIZE", "64"}});
  const std::vector<guint32> formats = {FORMAT_H264, FORMAT_H265, FORMAT_AV1};
  std::vector<VdoStream *> streams;
  for (guint32 format : formats) streams.push_back(started_stream(format));
  for (VdoStream *stream : streams) ASSERT_NE(stream, nullptr);

  std::vector<std::atomic<int>> frames_read(streams.size());
  std::vector<ReaderResult> results(streams.size());
  std::vector<std::thread> readers;
  for (size_t i = 0; i < streams.size(); ++i) {
    readers.emplace_back(read_until_error, streams[i], std::ref(frames_read[i]), std::ref(results[i]));
  }
  for (size_t i = 0; i < streams.size(); ++i) {
    while (frames_read[i].load() < 200) std::this_thread::yield();
    // Meanwhile the statistics may be read from here too.
    GError *error = nullptr;
    VdoMap *info = vdo_stream_get_info(streams[i], &error);
    ASSERT_NE(info, nullptr);
    EXPECT_GT(vdo_map_get_uint32(info, "statistics.bitrate", 0), 0u);
    g_object_unref(info);
    vdo_stream_stop(streams[i]);
  }
  for (std::thread &reader : readers) reader.join();
  for (size_t i = 0; i < streams.size(); ++i) {
    EXPECT_EQ(results[i].error_code, VDO_ERROR_STATE) << i;
    EXPECT_GE(results[i].frames, 200) << i;
    vdo_stream_stop(streams[i]);  // again: stop is idempotent
    g_object_unref(streams[i]);
  }
}

TEST_F(StopTest, StopRacingWithTheFirstReadNeverHangs) {
  EmulatorEnv env({{"VDO_EMULATOR_MAX_FPS", "0.01"}});
  for (int round = 0; round < 20; ++round) {
    VdoStream *stream = started_stream(FORMAT_H264);
    ASSERT_NE(stream, nullptr);
    std::atomic<int> frames_read{0};
    ReaderResult result;
    std::thread reader(read_until_error, stream, std::ref(frames_read), std::ref(result));
    std::thread stopper([stream] { vdo_stream_stop(stream); });
    stopper.join();
    reader.join();
    EXPECT_EQ(result.error_code, VDO_ERROR_STATE) << round;
    g_object_unref(stream);
  }
}

}  // namespace
}  // namespace vdo_test
