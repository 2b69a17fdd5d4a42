// Start, stop and reap against a scripted worker: the refusal rules, the
// take-the-handle rule and the worker's final write-back.
//
// This binary supplies its own `stream_worker`, so the linker does not take
// the real one from corvane_core: the operations are tested on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/bounded_text.h"
#include "app/stream_control.h"

namespace {

// What the scripted worker does: wait until released or stopped, then write
// back like the real worker's finish step.
std::atomic<int> workers_started{0};
std::atomic<int> workers_finished{0};
std::atomic<bool> release_workers{false};
std::atomic<bool> fail_workers{false};
std::string last_request_destination;

}  // namespace

void *stream_worker(void *data) {
  auto *request = static_cast<StreamRequest *>(data);
  workers_started++;
  {
    StreamLock lock;
    app_state.stream.last_error[0] = '\0';
    last_request_destination = request->destination;
  }
  for (;;) {
    {
      StreamLock lock;
      if (app_state.stream.stop_requested) break;
    }
    if (release_workers) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    StreamLock lock;
    app_state.stream.frames_sent = 7;
    app_state.stream.current_bitrate = 1234;
    if (fail_workers) copy_bounded(app_state.stream.last_error, "worker failed");
  }
  free_stream_request(request);
  {
    StreamLock lock;
    StreamControl &control = app_state.stream;
    control.running = 0;
    control.stop_requested = 0;
    control.current_bitrate = 0;
    if (!control.last_error[0]) copy_bounded(control.last_error, "Stream stopped.");
    control.destination[0] = '\0';
  }
  workers_finished++;
  return nullptr;
}

namespace {

struct Snapshot {
  uint32_t running, stop_requested;
  bool has_thread;
  uint64_t frames_sent;
  std::string destination, profile_name, last_error;
};

Snapshot snapshot() {
  StreamLock lock;
  const StreamControl &c = app_state.stream;
  return {c.running, c.stop_requested, c.worker_thread != nullptr, c.frames_sent, c.destination,
          c.profile_name, c.last_error};
}

bool wait_until_ended() {
  for (int i = 0; i < 5000; ++i) {
    if (!snapshot().running) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class StreamControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_mutex_init(&app_state.stream.lock); }
  void SetUp() override {
    release_workers = false;
    fail_workers = false;
  }
  void TearDown() override {
    stream_stop();
    ASSERT_FALSE(snapshot().has_thread);
    EXPECT_EQ(workers_started.load(), workers_finished.load());
  }
  bool start(const char *destination, const char *name = "", const char *params = "") {
    message[0] = '\0';
    return stream_start(destination, name, params, 0, "test start", message);
  }
  char message[kMessageSize];
};

struct Refusal {
  const char *destination, *name, *params, *message;
};

TEST_F(StreamControlTest, RefusesBadRequestsWithoutTouchingTheBlock) {
  const Refusal cases[] = {
      {"rtmp:/", "", "", "Destination must begin with rtmp://."},
      {"RTMP://host/app", "", "", "Destination must begin with rtmp://."},
      {"rtmps://host/app", "", "", "Destination must begin with rtmp://."},
      {"", "", "", "Destination must begin with rtmp://."},
      {" rtmp://host/app", "", "", "Destination must begin with rtmp://."},
      // the destination is checked before the profile
      {"http://x", "Studio", "", "Destination must begin with rtmp://."},
      {"rtmp://host/app", "Studio", "", "Selected stream profile is missing parameters."},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.destination);
    int before = workers_started;
    EXPECT_FALSE(start(c.destination, c.name, c.params));
    EXPECT_STREQ(message, c.message);
    EXPECT_EQ(snapshot().running, 0u);
    EXPECT_EQ(workers_started.load(), before);
  }
}

TEST_F(StreamControlTest, AcceptsTheBarePrefixAndParametersWithoutName) {
  ASSERT_TRUE(start("rtmp://"));
  EXPECT_STREQ(message, "") << "the message buffer is left alone on success";
  stream_stop();
  ASSERT_TRUE(start("rtmp://host/app", "", "videocodec=h264"));
}

TEST_F(StreamControlTest, StartResetsCountersAndTextsAndCopiesBounded) {
  {
    StreamLock lock;
    app_state.stream.frames_sent = 99;
    app_state.stream.bytes_sent = 99;
    copy_bounded(app_state.stream.stream_details, "old details");
    copy_bounded(app_state.stream.last_error, "old error");
  }
  std::string long_name(300, 'n');
  std::string long_destination = "rtmp://" + std::string(2000, 'd');
  ASSERT_TRUE(start(long_destination.c_str(), long_name.c_str(), "x=1"));
  Snapshot s = snapshot();
  EXPECT_EQ(s.running, 1u);
  EXPECT_EQ(s.frames_sent, 0u);
  EXPECT_EQ(s.profile_name, long_name.substr(0, 127));
  EXPECT_EQ(s.destination, long_destination.substr(0, 1023));
  EXPECT_EQ(s.last_error, "");
  StreamLock lock;
  EXPECT_STREQ(app_state.stream.stream_details, "");
  EXPECT_EQ(app_state.stream.bytes_sent, 0u);
}

TEST_F(StreamControlTest, StartWhileRunningIsRefusedAndChangesNothing) {
  ASSERT_TRUE(start("rtmp://host/first", "First", "a=1"));
  EXPECT_FALSE(start("rtmp://host/second", "Second", "b=2"));
  EXPECT_STREQ(message, "Stream is already running.");
  Snapshot s = snapshot();
  EXPECT_EQ(s.destination, "rtmp://host/first");
  EXPECT_EQ(s.profile_name, "First");
  EXPECT_EQ(s.running, 1u);
}

TEST_F(StreamControlTest, StopWithoutWorkerReturnsAtOnceAndChangesNothing) {
  stream_stop();
  Snapshot s = snapshot();
  EXPECT_EQ(s.stop_requested, 0u);
  EXPECT_FALSE(s.has_thread);
}

TEST_F(StreamControlTest, StopEndsTheWorkerWithStreamStopped) {
  ASSERT_TRUE(start("rtmp://host/app"));
  stream_stop();
  Snapshot s = snapshot();
  EXPECT_EQ(s.running, 0u);
  EXPECT_FALSE(s.has_thread);
  EXPECT_EQ(s.last_error, "Stream stopped.");
  EXPECT_EQ(s.destination, "");
  EXPECT_EQ(s.frames_sent, 7u) << "counters survive the worker's end";
}

TEST_F(StreamControlTest, WorkerEndedByItselfWaitsForReap) {
  ASSERT_TRUE(start("rtmp://host/app", "Cam", "a=1"));
  fail_workers = true;
  release_workers = true;
  ASSERT_TRUE(wait_until_ended());
  Snapshot ended = snapshot();
  EXPECT_TRUE(ended.has_thread) << "the handle stays until someone reaps it";
  EXPECT_EQ(ended.last_error, "worker failed");
  EXPECT_EQ(ended.profile_name, "Cam");
  EXPECT_EQ(ended.destination, "");
  stream_reap();
  EXPECT_FALSE(snapshot().has_thread);
  stream_reap();  // nothing left to reap
}

TEST_F(StreamControlTest, StopAfterTheWorkerEndedLeavesStopRequestedUntilNextStart) {
  ASSERT_TRUE(start("rtmp://host/app"));
  release_workers = true;
  ASSERT_TRUE(wait_until_ended());
  stream_stop();
  EXPECT_EQ(snapshot().stop_requested, 1u);
  release_workers = false;
  ASSERT_TRUE(start("rtmp://host/again"));
  EXPECT_EQ(snapshot().stop_requested, 0u);
}

TEST_F(StreamControlTest, StartReapsAnEndedWorkerInsteadOfOverwritingIt) {
  ASSERT_TRUE(start("rtmp://host/app"));
  release_workers = true;
  ASSERT_TRUE(wait_until_ended());
  release_workers = false;
  ASSERT_TRUE(start("rtmp://host/next"));
  stream_stop();
  EXPECT_EQ(workers_started.load(), workers_finished.load());
}

TEST_F(StreamControlTest, ConcurrentStopsJoinTheWorkerOnce) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(start("rtmp://host/app"));
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) stoppers.emplace_back(stream_stop);
    for (auto &t : stoppers) t.join();
    // Only one stopper joined; the others may return before the worker ended.
    ASSERT_TRUE(wait_until_ended());
    EXPECT_FALSE(snapshot().has_thread);
  }
}

TEST_F(StreamControlTest, RacingStartsStopsAndReapsKeepOneWorker) {
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t, &accepted] {
      char local[kMessageSize];
      for (int i = 0; i < 200; ++i) {
        switch ((t + i) % 3) {
          case 0:
            if (stream_start("rtmp://host/app", "", "", 0, "race", local)) accepted++;
            else EXPECT_STREQ(local, "Stream is already running.");
            break;
          case 1: stream_stop(); break;
          default: stream_reap(); break;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  stream_stop();
  EXPECT_EQ(workers_started.load(), workers_finished.load());
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(snapshot().running, 0u);
}

}  // namespace
