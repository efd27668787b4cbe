// The event source's registration under the Application log: where the event viewer finds
// the texts of the service's entries. `install` writes it and `delete` removes it; the
// installer package writes the same key and values.
//
// Threading: called from wmain only.
#pragma once

#include <windows.h>

namespace halvaro {

constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;  // 7

// EventMessageFile (REG_EXPAND_SZ) = `program_path`, TypesSupported (REG_DWORD) = 7.
// Returns the first failing call's result.
LONG WriteEventSourceKey(const wchar_t* program_path);
LONG DeleteEventSourceKey();

}  // namespace halvaro
