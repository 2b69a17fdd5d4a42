// The VDO error domain, the injected faults' errors and the emulator's test
// hook (the clip cache).
#include "clip_cache.h"
#include "vdo_internal.h"

// Not G_DEFINE_QUARK: its unguarded static is set by whichever thread gets
// there first, a race the thread sanitizer rightly reports when several
// threads fail their first call at once. A function-local static is
// initialised once, thread-safely.
GQuark vdo_error_quark(void) {
  static const GQuark quark = g_quark_from_static_string("vdo-error-quark");
  return quark;
}

gboolean vdo_error_is_expected(GError **error) {
  return error != nullptr && *error != nullptr && g_error_matches(*error, VDO_ERROR, VDO_ERROR_EXPECTED);
}

namespace vdo_emulator {

std::atomic<uint64_t> &stream_new_calls() {
  static std::atomic<uint64_t> calls{0};
  return calls;
}

uint64_t count_call(StreamCore &core, FaultOp op) {
  return core.calls[static_cast<size_t>(op)].fetch_add(1, std::memory_order_relaxed) + 1;
}

void set_fault_error(const FaultPlan &plan, FaultOp op, uint64_t call, VdoErrorCode code, GError **error) {
  if (!plan.message.empty()) {
    g_set_error_literal(error, VDO_ERROR, code, plan.message.c_str());
  } else {
    g_set_error(error, VDO_ERROR, code, "Emulated VDO failure of %s (call %" G_GUINT64_FORMAT ")", fault_op_name(op),
                static_cast<guint64>(call));
  }
}

bool inject_failure(const FaultPlan &plan, FaultOp op, uint64_t call, GError **error) {
  if (!fault_fires(plan.failures, op, call)) return false;
  set_fault_error(plan, op, call, VDO_ERROR_FAILED, error);
  return true;
}

}  // namespace vdo_emulator

void vdo_emulator_clear_clip_cache(void) { vdo_emulator::clear_clip_cache(); }
