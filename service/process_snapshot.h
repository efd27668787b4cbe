// A walk over a tool-help snapshot of all processes.
//
// Threading: reentrant; each walk takes a snapshot of its own.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include "common/unique_resource.h"

namespace halvaro {

// Calls `visit` with each process of a new snapshot until it returns false.
template <typename Visit>
void ForEachProcess(Visit visit) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (!visit(entry)) return;
  }
}

}  // namespace halvaro
