#include "sim/mixer/shared_state.h"

#include <shlobj.h>

#include <cstring>
#include <string>

#include "common/world_access.h"

namespace simmixer {
namespace {

constexpr DWORD kMappingAccess = SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE;
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// C:\ProgramData\HalvaroSim\SimMixerState.bin, creating the folder. Empty on failure.
std::wstring StateFilePath() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              folder))) {
    return {};
  }
  std::wstring path = std::wstring(folder) + L"\\" + kStateDirectory;
  // A service and a test program under another account both create and write the file.
  halvaro::WorldAccessAttributes folder_access(FILE_GENERIC_READ | FILE_GENERIC_WRITE |
                                               FILE_GENERIC_EXECUTE);
  if (!CreateDirectoryW(path.c_str(), folder_access.get()) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  return path + L"\\" + kStateFile;
}

}  // namespace

void ResetToDefaults(StateRecord& record) {
  OpenEntry opens[kMaxOpens];
  std::memcpy(opens, record.opens, sizeof(opens));
  const uint32_t next_handle = record.next_handle;  // a closed handle stays invalid
  std::memset(&record, 0, sizeof(record));
  record.magic = kRecordMagic;
  record.devices = kDefaultDevices;
  record.volume = kDefaultVolume;
  record.bounds_min = kDefaultBoundsMin;
  record.bounds_max = kDefaultBoundsMax;
  record.controls = static_cast<uint32_t>(ControlsMode::kBoth);
  record.next_handle = next_handle;
  std::memcpy(record.opens, opens, sizeof(opens));
}

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

  // The objects grant the world only what this code asks for, so the mapping is opened before
  // it is created (a second round covers another process creating it in between), and the
  // mutex is made with the Ex form, which takes the access wanted.
  halvaro::WorldAccessAttributes mapping_access(kMappingAccess);
  for (int round = 0; round < 2 && !state.mapping_; ++round) {
    state.mapping_.reset(OpenFileMappingW(kMappingAccess, FALSE, kMappingName));
    // Creating grows a new file to the record's size, zero-filled; the mapping keeps the
    // file open by itself.
    if (!state.mapping_) {
      state.mapping_.reset(CreateFileMappingW(file.get(), mapping_access.get(), PAGE_READWRITE,
                                              0, sizeof(StateRecord), kMappingName));
    }
  }
  if (!state.mapping_) return std::nullopt;
  state.view_.reset(
      MapViewOfFile(state.mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(StateRecord)));
  if (!state.view_) return std::nullopt;

  halvaro::WorldAccessAttributes lock_access(kLockAccess);
  state.lock_.reset(CreateMutexExW(lock_access.get(), kLockName, 0, kLockAccess));
  if (!state.lock_) return std::nullopt;

  // A new file is all zeros, and a file from an older layout has another magic: both start
  // from the defaults with an empty open table.
  const bool initialised = state.Locked([](StateRecord& record) {
    if (record.magic == kRecordMagic) return;
    std::memset(&record, 0, sizeof(record));
    ResetToDefaults(record);
  });
  if (!initialised) {
    SetLastError(ERROR_TIMEOUT);
    return std::nullopt;
  }
  return state;
}

}  // namespace simmixer
