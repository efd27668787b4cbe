#include "sim/wmi/shared_state.h"

#include <shlobj.h>

#include <cstring>
#include <string>

#include "common/world_access.h"

namespace simwmi {
namespace {

constexpr DWORD kMappingAccess = SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE;

// C:\ProgramData\HalvaroSim\SimWmiState.bin, creating the folder. Empty on failure.
std::wstring StateFilePath() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              folder))) {
    return {};
  }
  std::wstring path = std::wstring(folder) + L"\\" + kStateDirectory;
  // The service and a test program under another account both create and write the file.
  halvaro::WorldAccessAttributes folder_access(FILE_GENERIC_READ | FILE_GENERIC_WRITE |
                                               FILE_GENERIC_EXECUTE);
  if (!CreateDirectoryW(path.c_str(), folder_access.get()) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  return path + L"\\" + kStateFile;
}

}  // namespace

std::optional<SharedState> SharedState::Open() {
  SharedState state;

  const std::wstring path = StateFilePath();
  if (path.empty()) return std::nullopt;
  halvaro::WorldAccessAttributes file_access(FILE_GENERIC_READ | FILE_GENERIC_WRITE);
  halvaro::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       file_access.get(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                       nullptr));
  if (!file) return std::nullopt;

  // The objects grant the world only what this code asks for. The plain Create* calls would
  // ask an existing object for all access and be refused, so the mutex and the event are made
  // with the Ex forms, which take the access wanted, and the mapping is opened before it is
  // created (a second round covers another process creating it in between).
  halvaro::WorldAccessAttributes mapping_access(kMappingAccess);
  for (int round = 0; round < 2 && !state.mapping_; ++round) {
    state.mapping_.reset(OpenFileMappingW(kMappingAccess, FALSE, kMappingName));
    // Creating grows a new (empty) file to the record's size, zero-filled; the mapping keeps
    // the file open by itself, so the file handle is closed on return.
    if (!state.mapping_) {
      state.mapping_.reset(CreateFileMappingW(file.get(), mapping_access.get(), PAGE_READWRITE,
                                              0, sizeof(StateRecord), kMappingName));
    }
  }
  if (!state.mapping_) return std::nullopt;
  state.view_.reset(
      MapViewOfFile(state.mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(StateRecord)));
  if (!state.view_) return std::nullopt;

  constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
  halvaro::WorldAccessAttributes lock_access(kLockAccess);
  state.lock_.reset(CreateMutexExW(lock_access.get(), kLockName, 0, kLockAccess));
  if (!state.lock_) return std::nullopt;
  // Auto-reset (no CREATE_EVENT_MANUAL_RESET): one press wakes one waiting enumerator.
  constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
  halvaro::WorldAccessAttributes event_access(kEventAccess);
  state.pressed_.reset(CreateEventExW(event_access.get(), kPressedEventName, 0, kEventAccess));
  if (!state.pressed_) return std::nullopt;

  // A new file is all zeros, and a file from an older layout has another magic: both start
  // from a cleared record.
  state.Locked([](StateRecord& record) {
    if (record.magic == kRecordMagic) return;
    std::memset(&record, 0, sizeof(record));
    record.magic = kRecordMagic;
  });
  return state;
}

bool SharedState::Press(uint32_t code) {
  const bool queued = Locked([code](StateRecord& record) {
    if (record.queue_count == kQueueCapacity) return false;
    record.queue[(record.queue_head + record.queue_count) % kQueueCapacity] = code;
    ++record.queue_count;
    return true;
  });
  if (queued) SetEvent(pressed_.get());
  return queued;
}

std::optional<uint32_t> SharedState::TakePressed() {
  return Locked([](StateRecord& record) -> std::optional<uint32_t> {
    if (record.queue_count == 0) return std::nullopt;
    const uint32_t code = record.queue[record.queue_head];
    record.queue_head = (record.queue_head + 1) % kQueueCapacity;
    --record.queue_count;
    ++record.delivered;
    return code;
  });
}

void SharedState::Reset() {
  Locked([](StateRecord& record) {
    const uint32_t generation = record.generation + 1;
    std::memset(&record, 0, sizeof(record));
    record.magic = kRecordMagic;
    record.generation = generation;
  });
  // A press that nobody took may have left the event set; it would only cost one spurious
  // wake-up, but a cleared state should not carry it.
  ResetEvent(pressed_.get());
}

}  // namespace simwmi
