#include "sim/common/shared_record.h"

#include <shlobj.h>

#include <string>

#include "common/world_access.h"

namespace simcom {
namespace {

constexpr DWORD kMappingAccess = SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE;
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

// C:\ProgramData\<directory>\<file>, creating the folder. Empty on failure.
std::wstring StateFilePath(const wchar_t* directory, const wchar_t* file) {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              folder))) {
    return {};
  }
  std::wstring path = std::wstring(folder) + L"\\" + directory;
  // The service and a test program under another account both create and write the file.
  halvaro::WorldAccessAttributes folder_access(FILE_GENERIC_READ | FILE_GENERIC_WRITE |
                                               FILE_GENERIC_EXECUTE);
  if (!CreateDirectoryW(path.c_str(), folder_access.get()) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  return path + L"\\" + file;
}

}  // namespace

std::optional<SharedRecord> SharedRecord::Open(const wchar_t* directory, const wchar_t* file,
                                               const wchar_t* mapping_name,
                                               const wchar_t* lock_name, DWORD size) {
  SharedRecord shared;

  const std::wstring path = StateFilePath(directory, file);
  if (path.empty()) return std::nullopt;
  halvaro::WorldAccessAttributes file_access(FILE_GENERIC_READ | FILE_GENERIC_WRITE);
  halvaro::UniqueHandle handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           file_access.get(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));
  if (!handle) return std::nullopt;

  // The objects grant the world only what this code asks for. The plain Create* calls would
  // ask an existing object for all access and be refused, so the mutex is made with the Ex
  // form, which takes the access wanted, and the mapping is opened before it is created (a
  // second round covers another process creating it in between).
  halvaro::WorldAccessAttributes mapping_access(kMappingAccess);
  for (int round = 0; round < 2 && !shared.mapping_; ++round) {
    shared.mapping_.reset(OpenFileMappingW(kMappingAccess, FALSE, mapping_name));
    // Creating grows a new (empty) file to the record's size, zero-filled; the mapping keeps
    // the file open by itself, so the file handle is closed on return.
    if (!shared.mapping_) {
      shared.mapping_.reset(CreateFileMappingW(handle.get(), mapping_access.get(),
                                               PAGE_READWRITE, 0, size, mapping_name));
    }
  }
  if (!shared.mapping_) return std::nullopt;
  shared.view_.reset(MapViewOfFile(shared.mapping_.get(), FILE_MAP_WRITE, 0, 0, size));
  if (!shared.view_) return std::nullopt;

  halvaro::WorldAccessAttributes lock_access(kLockAccess);
  shared.lock_.reset(CreateMutexExW(lock_access.get(), lock_name, 0, kLockAccess));
  if (!shared.lock_) return std::nullopt;
  return shared;
}

halvaro::UniqueHandle CreateWorldEvent(const wchar_t* name, bool manual_reset) {
  halvaro::WorldAccessAttributes event_access(kEventAccess);
  return halvaro::UniqueHandle(CreateEventExW(event_access.get(), name,
                                              manual_reset ? CREATE_EVENT_MANUAL_RESET : 0,
                                              kEventAccess));
}

}  // namespace simcom
