#include "ctl/service_build.h"

#include <vector>

#include "common/object_names.h"
#include "common/service_config.h"
#include "common/unique_resource.h"

namespace halvaro::ctl {

namespace {

// The configured command line; false with build's failed_call and error set.
bool QueryCommandLine(ServiceBuild* build, std::wstring* command_line) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    build->failed_call = "OpenSCManagerW";
    build->error = GetLastError();
    return false;
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  if (!service) {
    build->failed_call = "OpenServiceW";
    build->error = GetLastError();
    return false;
  }
  if (!QueryServiceCommandLine(service.get(), command_line, &build->error)) {
    build->failed_call = "QueryServiceConfigW";
    return false;
  }
  return true;
}

std::wstring Expanded(const std::wstring& path) {
  const DWORD size = ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::wstring expanded(size, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(path.c_str(), &expanded[0], size);
  if (written == 0 || written > size) return path;
  expanded.resize(written - 1);
  return expanded;
}

}  // namespace

std::wstring ImageOfCommandLine(const std::wstring& command_line) {
  if (command_line.empty() || command_line[0] != L'"') return command_line;
  const size_t end = command_line.find(L'"', 1);
  return command_line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
}

ServiceBuild QueryServiceBuild() {
  ServiceBuild build;
  std::wstring command_line;
  if (!QueryCommandLine(&build, &command_line)) return build;
  build.image = Expanded(ImageOfCommandLine(command_line));

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(build.image.c_str(), &ignored);
  if (size == 0) {
    build.failed_call = "GetFileVersionInfoSizeW";
    build.error = GetLastError();
    return build;
  }
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(build.image.c_str(), 0, size, info.data())) {
    build.failed_call = "GetFileVersionInfoW";
    build.error = GetLastError();
    return build;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed == nullptr || fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    build.failed_call = "VerQueryValueW";
    build.error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return build;
  }
  build.version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                  std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                  std::to_string(HIWORD(fixed->dwFileVersionLS));
  if (LOWORD(fixed->dwFileVersionLS) != 0) {
    build.version += "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  return build;
}

}  // namespace halvaro::ctl
