// What the running service reports, besides its state, in the service-specific exit code of
// its status to the service control manager (with ERROR_SERVICE_SPECIFIC_ERROR as the Win32
// exit code), and what HalvaroCtl makes of it. The service goes on as usual with each of
// them; they tell a support engineer why something may not work as it should.
//
// Threading: constants and a pure function.
#pragma once

#include <windows.h>

namespace halvaro {

constexpr DWORD kNoServiceProblem = 0;
// Another program had made "Global\MIXER_NOTIFY_EVENT" before the service: whoever holds it
// can set it, and each set while muted costs a board exchange.
constexpr DWORD kForeignMixerEventProblem = 1;

// A sentence for HalvaroCtl; null for 0.
inline const char* DescribeServiceProblem(DWORD code) {
  switch (code) {
    case kNoServiceProblem:
      return nullptr;
    case kForeignMixerEventProblem:
      return "Global\\MIXER_NOTIFY_EVENT was made by another program, which may set it at will";
    default:
      return "unknown problem";
  }
}

}  // namespace halvaro
