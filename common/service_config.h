// The command line a service's configuration gives the service control manager to run.
//
// Threading: reentrant; the caller owns the service handle.
#pragma once

#include <windows.h>

#include <string>

namespace halvaro {

// The handle needs SERVICE_QUERY_CONFIG. False with *error set when it cannot be read.
bool QueryServiceCommandLine(SC_HANDLE service, std::wstring* command_line, DWORD* error);

}  // namespace halvaro
