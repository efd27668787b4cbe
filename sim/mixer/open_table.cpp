#include "sim/mixer/open_table.h"

#include "common/unique_resource.h"

namespace simmixer {
namespace {

uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

uint64_t ThisProcessCreated() {
  static const uint64_t created = CreationTime(GetCurrentProcess());
  return created;
}

bool IsAlive(const OpenEntry& entry) {
  halvaro::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.process_id));
  // A process that exists but may not be looked at (another account) counts as alive.
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code) || code != STILL_ACTIVE) return false;
  return CreationTime(process.get()) == entry.process_created;
}

}  // namespace

OpenEntry* AddOpen(StateRecord& record, uint32_t device, HWND window) {
  for (OpenEntry& entry : record.opens) {
    if (entry.handle != 0) continue;
    // A fresh sequence number per open, so that a closed handle stays invalid; 0 is skipped
    // so that no handle is the bare tag.
    record.next_handle = (record.next_handle + 1) & kHandleSequenceMask;
    if (record.next_handle == 0) record.next_handle = 1;
    entry.handle = kHandleTag | record.next_handle;
    entry.process_id = GetCurrentProcessId();
    entry.process_created = ThisProcessCreated();
    entry.window = ValueFromWindow(window);
    entry.device = device;
    return &entry;
  }
  return nullptr;
}

OpenEntry* FindOwnOpen(StateRecord& record, uint32_t handle) {
  if ((handle & kHandleTagMask) != kHandleTag) return nullptr;
  const DWORD self = GetCurrentProcessId();
  for (OpenEntry& entry : record.opens) {
    if (entry.handle == handle && entry.process_id == self &&
        entry.process_created == ThisProcessCreated()) {
      return &entry;
    }
  }
  return nullptr;
}

void ForgetDeadOpens(StateRecord& record) {
  for (OpenEntry& entry : record.opens) {
    if (entry.handle != 0 && !IsAlive(entry)) entry = OpenEntry{};
  }
}

uint32_t CountOpens(const StateRecord& record) {
  uint32_t count = 0;
  for (const OpenEntry& entry : record.opens) count += entry.handle != 0 ? 1 : 0;
  return count;
}

}  // namespace simmixer
