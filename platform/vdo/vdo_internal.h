// The emulator's object layouts behind the camera's video interface: maps,
// streams, buffers and frames, and the state a stream shares with its buffers.
#pragma once

#include <glib-object.h>

// Only the camera interface and the test hooks leave the library.
#pragma GCC visibility push(default)
#include "vdo.h"
#include "vdo_emulator.h"
#pragma GCC visibility pop

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "clip.h"
#include "emulator_config.h"
#include "stream_setup.h"

namespace vdo_emulator {

// Process-wide count of vdo_stream_new calls, for VDO_EMULATOR_FAIL=new:N.
std::atomic<uint64_t> &stream_new_calls();

enum class MapKind { UINT32, DOUBLE, BOOLEAN, PAIR32U };

struct MapValue {
  MapKind kind;
  uint32_t first;  // UINT32, BOOLEAN (0 or 1), first of a PAIR32U
  uint32_t second;
  double number;
};

// The entry under `key`, or null.
const MapValue *map_find(VdoMap *map, const char *key);

// What a stream and the buffers it handed out share; buffers keep it alive,
// so a frame stays readable even while its stream goes away.
struct StreamCore {
  uint64_t serial;  // tells which stream a buffer came from
  EmulatorConfig config;
  StreamSetup setup;
  std::shared_ptr<const Clip> clip;
  std::array<std::atomic<uint64_t>, static_cast<size_t>(FaultOp::COUNT)> calls{};
  std::atomic<uint64_t> delivered_bytes{0};
  std::atomic<uint64_t> delivered_pictures{0};
};

// Counts one call of `op` and returns its 1-based number.
uint64_t count_call(StreamCore &core, FaultOp op);

// Sets the configured failure for call `call` of `op` and returns true when
// the fault plan says this call fails.
bool inject_failure(const FaultPlan &plan, FaultOp op, uint64_t call, GError **error);

// Sets the fault message (or one naming the call) as a VDO error of `code`.
void set_fault_error(const FaultPlan &plan, FaultOp op, uint64_t call, VdoErrorCode code, GError **error);

// Whether the stream has been stopped (and not started again).
bool stream_stopped(VdoStream *stream);

}  // namespace vdo_emulator

struct _VdoFrame {
  const vdo_emulator::ClipFrame *source;
  guint64 timestamp;
  size_t offset;  // bytes already taken
  vdo_emulator::StreamCore *core;
};

struct _VdoBuffer {
  VdoFrame frame;
  std::shared_ptr<vdo_emulator::StreamCore> core;
};
