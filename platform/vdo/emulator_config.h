// The camera emulator's own configuration: sensor limits, pacing, chunking,
// clip cache and the faults it injects, read from VDO_EMULATOR_* variables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vdo_emulator {

// The calls whose Nth use can be made to fail.
enum class FaultOp { NEW, INFO, START, GET_BUFFER, TAKE_CHUNK, UNREF, COUNT };

// "the Nth call" (onwards false) or "the Nth and every later call".
struct FaultRule {
  FaultOp op;
  uint64_t call;  // 1-based
  bool onwards;
};

// get_buffer calls first_call .. first_call + count - 1 answer "no data".
struct NoDataWindow {
  uint64_t first_call;
  uint64_t count;
};

struct FaultPlan {
  std::vector<FaultRule> failures;        // unexpected errors (VDO_EMULATOR_FAIL, UNREF_FAIL=unexpected)
  std::vector<FaultRule> expected_unref;  // harmless unref errors (UNREF_FAIL=expected)
  std::vector<NoDataWindow> no_data;
  std::string message;  // empty: a message naming the call
};

struct EmulatorConfig {
  uint32_t max_width = 1920;
  uint32_t max_height = 1080;
  double max_fps = 30.0;
  uint32_t inputs = 1;    // inputs 1..inputs exist
  uint32_t channels = 1;  // channels 0..channels-1 exist
  bool paced = true;
  size_t chunk_size = 1024;  // small enough that most frames come in several chunks
  double gop_seconds = 2.0;
  uint32_t clip_gops = 1;
  bool separate_parameter_sets = false;
  bool statistics_measured = true;  // false: report statistics_bitrate as it stands
  uint32_t statistics_bitrate = 0;
  std::string cache_dir;  // empty: clips are kept in memory only
  FaultPlan faults;
};

// Looks a variable up; returns null when it is not set.
using EnvLookup = std::function<const char *(const char *name)>;

// Reads every VDO_EMULATOR_* variable. False with `error` naming the first
// malformed variable; a test that mistypes a fault should fail loudly.
bool load_emulator_config(const EnvLookup &lookup, EmulatorConfig &config, std::string &error);

// True when the plan makes call number `call` (1-based) of `op` fail.
bool fault_fires(const std::vector<FaultRule> &rules, FaultOp op, uint64_t call);

// True when get_buffer call number `call` is to answer "no data".
bool no_data_due(const FaultPlan &plan, uint64_t call);

const char *fault_op_name(FaultOp op);

}  // namespace vdo_emulator
