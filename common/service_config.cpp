#include "common/service_config.h"

#include <vector>

namespace halvaro {

namespace {

// The manager keeps a configuration within 8 KB; a larger claim is not believed.
constexpr DWORD kMostConfigBytes = 8 * 1024;

}  // namespace

bool QueryServiceCommandLine(SC_HANDLE service, std::wstring* command_line, DWORD* error) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  if (needed == 0 || needed > kMostConfigBytes) {
    *error = needed == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed)) {
    *error = GetLastError();
    return false;
  }
  *command_line = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  return true;
}

}  // namespace halvaro
