// Parses the emulator's VDO_EMULATOR_* variables into an EmulatorConfig.
#include "emulator_config.h"

#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace vdo_emulator {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && g_ascii_isspace(text.front())) text.remove_prefix(1);
  while (!text.empty() && g_ascii_isspace(text.back())) text.remove_suffix(1);
  return text;
}

// Plain decimal digits only: no sign, no blanks inside, no overflow.
bool parse_u64(std::string_view text, uint64_t &value) {
  text = trim(text);
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  value = result;
  return true;
}

bool parse_u32(std::string_view text, uint32_t &value) {
  uint64_t wide = 0;
  if (!parse_u64(text, wide) || wide > UINT32_MAX) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool parse_positive_double(std::string_view text, double &value) {
  std::string copy(trim(text));
  if (copy.empty()) return false;
  char *end = nullptr;
  double result = g_ascii_strtod(copy.c_str(), &end);
  if (end == copy.c_str() || *end != '\0' || !std::isfinite(result) || result <= 0.0) return false;
  value = result;
  return true;
}

bool parse_flag(std::string_view text, bool &value) {
  std::string word(trim(text));
  for (const char *yes : {"1", "true", "yes", "on"}) {
    if (g_ascii_strcasecmp(word.c_str(), yes) == 0) {
      value = true;
      return true;
    }
  }
  for (const char *no : {"0", "false", "no", "off"}) {
    if (g_ascii_strcasecmp(word.c_str(), no) == 0) {
      value = false;
      return true;
    }
  }
  return false;
}

std::vector<std::string_view> split_list(std::string_view text) {
  std::vector<std::string_view> items;
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = trim(text.substr(0, comma));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

// "N" or "N+", N >= 1.
bool parse_call_number(std::string_view text, uint64_t &call, bool &onwards) {
  text = trim(text);
  onwards = !text.empty() && text.back() == '+';
  if (onwards) text.remove_suffix(1);
  return parse_u64(text, call) && call >= 1;
}

bool parse_fault_op(std::string_view name, FaultOp &op) {
  for (int i = 0; i < static_cast<int>(FaultOp::COUNT); ++i) {
    if (name == fault_op_name(static_cast<FaultOp>(i))) {
      op = static_cast<FaultOp>(i);
      return true;
    }
  }
  return false;
}

// VDO_EMULATOR_FAIL: "op:N[+]" items joined by commas.
bool parse_failures(std::string_view text, std::vector<FaultRule> &rules) {
  for (std::string_view item : split_list(text)) {
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) return false;
    FaultRule rule{};
    if (!parse_fault_op(trim(item.substr(0, colon)), rule.op)) return false;
    if (!parse_call_number(item.substr(colon + 1), rule.call, rule.onwards)) return false;
    rules.push_back(rule);
  }
  return true;
}

// VDO_EMULATOR_UNREF_FAIL: "expected:N[+]" or "unexpected:N[+]" items.
bool parse_unref_failures(std::string_view text, FaultPlan &plan) {
  for (std::string_view item : split_list(text)) {
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view kind = trim(item.substr(0, colon));
    FaultRule rule{FaultOp::UNREF, 0, false};
    if (!parse_call_number(item.substr(colon + 1), rule.call, rule.onwards)) return false;
    if (kind == "expected") {
      plan.expected_unref.push_back(rule);
    } else if (kind == "unexpected") {
      plan.failures.push_back(rule);
    } else {
      return false;
    }
  }
  return true;
}

// VDO_EMULATOR_NO_DATA: "AT:COUNT" items.
bool parse_no_data(std::string_view text, std::vector<NoDataWindow> &windows) {
  for (std::string_view item : split_list(text)) {
    size_t colon = item.find(':');
    if (colon == std::string_view::npos) return false;
    NoDataWindow window{};
    if (!parse_u64(item.substr(0, colon), window.first_call) || window.first_call < 1) return false;
    if (!parse_u64(item.substr(colon + 1), window.count)) return false;
    windows.push_back(window);
  }
  return true;
}

}  // namespace

const char *fault_op_name(FaultOp op) {
  switch (op) {
    case FaultOp::NEW: return "new";
    case FaultOp::INFO: return "info";
    case FaultOp::START: return "start";
    case FaultOp::GET_BUFFER: return "get_buffer";
    case FaultOp::TAKE_CHUNK: return "take_chunk";
    case FaultOp::UNREF: return "unref";
    case FaultOp::COUNT: break;
  }
  return "unknown";
}

bool load_emulator_config(const EnvLookup &lookup, EmulatorConfig &config, std::string &error) {
  config = EmulatorConfig{};
  const char *name = nullptr;
  const char *value = nullptr;
  auto present = [&](const char *variable) {
    name = variable;
    value = lookup(variable);
    return value != nullptr && *value != '\0';
  };
  auto bad = [&] {
    error = std::string("Invalid ") + name + " value '" + value + "'";
    return false;
  };

  if (present("VDO_EMULATOR_MAX_WIDTH") && (!parse_u32(value, config.max_width) || config.max_width < 16)) return bad();
  if (present("VDO_EMULATOR_MAX_HEIGHT") && (!parse_u32(value, config.max_height) || config.max_height < 16)) return bad();
  config.max_width &= ~1u;  // 4:2:0 needs even sizes
  config.max_height &= ~1u;
  if (present("VDO_EMULATOR_MAX_FPS") && (!parse_positive_double(value, config.max_fps) || config.max_fps < 0.01 ||
                                          config.max_fps > 1000.0)) {
    return bad();
  }
  if (present("VDO_EMULATOR_INPUTS") && !parse_u32(value, config.inputs)) return bad();
  if (present("VDO_EMULATOR_CHANNELS") && !parse_u32(value, config.channels)) return bad();
  if (present("VDO_EMULATOR_PACING")) {
    std::string_view word = trim(value);
    if (word == "paced") {
      config.paced = true;
    } else if (word == "unpaced") {
      config.paced = false;
    } else {
      return bad();
    }
  }
  if (present("VDO_EMULATOR_CHUNK_SIZE")) {
    uint32_t size = 0;
    if (!parse_u32(value, size) || size == 0) return bad();
    config.chunk_size = size;
  }
  if (present("VDO_EMULATOR_GOP_SECONDS") && (!parse_positive_double(value, config.gop_seconds) ||
                                              config.gop_seconds > 60.0)) {
    return bad();
  }
  if (present("VDO_EMULATOR_CLIP_GOPS") && (!parse_u32(value, config.clip_gops) || config.clip_gops < 1 ||
                                            config.clip_gops > 100)) {
    return bad();
  }
  if (present("VDO_EMULATOR_SEPARATE_PARAMETER_SETS") && !parse_flag(value, config.separate_parameter_sets)) {
    return bad();
  }
  if (present("VDO_EMULATOR_STATISTICS_BITRATE")) {
    if (trim(value) == "measured") {
      config.statistics_measured = true;
    } else if (parse_u32(value, config.statistics_bitrate)) {
      config.statistics_measured = false;
    } else {
      return bad();
    }
  }
  if (present("VDO_EMULATOR_CACHE_DIR")) config.cache_dir = value;
  if (present("VDO_EMULATOR_FAIL") && !parse_failures(value, config.faults.failures)) return bad();
  if (present("VDO_EMULATOR_UNREF_FAIL") && !parse_unref_failures(value, config.faults)) return bad();
  if (present("VDO_EMULATOR_NO_DATA") && !parse_no_data(value, config.faults.no_data)) return bad();
  if (present("VDO_EMULATOR_FAIL_MESSAGE")) config.faults.message = value;
  return true;
}

bool fault_fires(const std::vector<FaultRule> &rules, FaultOp op, uint64_t call) {
  for (const FaultRule &rule : rules) {
    if (rule.op == op && (call == rule.call || (rule.onwards && call > rule.call))) return true;
  }
  return false;
}

bool no_data_due(const FaultPlan &plan, uint64_t call) {
  for (const NoDataWindow &window : plan.no_data) {
    if (call >= window.first_call && call - window.first_call < window.count) return true;
  }
  return false;
}

}  // namespace vdo_emulator
