// Which build of the service the manager runs: the program its configuration names, and the
// version in that program's version resource.
//
// Threading: reentrant; each call opens and closes handles of its own.
#pragma once

#include <windows.h>

#include <string>

namespace halvaro::ctl {

struct ServiceBuild {
  std::wstring image;   // the program's path, without quotes
  std::string version;  // "1.0.0"; empty when it could not be read (see failed_call, error)
  const char* failed_call = "";
  DWORD error = ERROR_SUCCESS;
};

ServiceBuild QueryServiceBuild();

// The program of a service's command line: the quoted part, or the whole line unquoted.
std::wstring ImageOfCommandLine(const std::wstring& command_line);

}  // namespace halvaro::ctl
