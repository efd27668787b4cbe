#include "sim/mixer/notify.h"

#include <mmsystem.h>

#include "sim/mixer/open_table.h"

namespace simmixer {
namespace {

struct Target {
  uint32_t window;
  uint32_t handle;
};

struct Targets {
  Target items[kMaxOpens];
  uint32_t count = 0;
};

// The windows to post to, taken under the lock; the posting itself happens outside it.
bool CollectTargets(SharedState& state, Targets& targets) {
  return state.Locked([&targets](StateRecord& record) {
    ForgetDeadOpens(record);
    for (const OpenEntry& entry : record.opens) {
      if (entry.handle == 0 || entry.window == 0) continue;
      targets.items[targets.count++] = Target{entry.window, entry.handle};
    }
  });
}

uint32_t PostToAll(const Targets& targets, uint32_t handle_xor, uint32_t control_id) {
  uint32_t reached = 0;
  for (uint32_t i = 0; i < targets.count; ++i) {
    const Target& target = targets.items[i];
    if (PostMessageW(WindowFromValue(target.window), MM_MIXM_CONTROL_CHANGE,
                     static_cast<WPARAM>(target.handle ^ handle_xor),
                     static_cast<LPARAM>(control_id))) {
      ++reached;
    }
  }
  return reached;
}

}  // namespace

uint32_t NotifyControlChange(SharedState& state, uint32_t control_id) noexcept {
  Targets targets;
  if (!CollectTargets(state, targets)) return 0;
  const uint32_t reached = PostToAll(targets, 0, control_id);
  state.Locked([reached](StateRecord& record) { record.windows_notified += reached; });
  return reached;
}

uint32_t PostSpurious(SharedState& state, Spurious kind) noexcept {
  Targets targets;
  if (!CollectTargets(state, targets)) return 0;
  // Flipping bits below the tag keeps the value looking like a mixer handle, yet one that
  // this open was not given.
  return kind == Spurious::kWrongHandle ? PostToAll(targets, 0x00800000u, kVolumeControlId)
                                        : PostToAll(targets, 0, kUnknownControlId);
}

}  // namespace simmixer
