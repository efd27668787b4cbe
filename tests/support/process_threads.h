// The number of threads of a process, from a tool-help snapshot: how the tests see that a
// stop or a destruction left no thread behind.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>

#include "common/unique_resource.h"

namespace halvaro {

inline size_t ThreadsOfProcess(DWORD process_id) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == process_id) ++count;
  }
  return count;
}

inline size_t ThreadsOfThisProcess() { return ThreadsOfProcess(GetCurrentProcessId()); }

}  // namespace halvaro
