#include "sim/client_inspect.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/unique_resource.h"

namespace halvaro {
namespace {

bool MutexExists(const wchar_t* name) {
  UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
  return static_cast<bool>(mutex);
}

void PrintAce(const ACE_HEADER* header) {
  const char* type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                     : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                 : "other";
  // Allowed and denied entries share one layout.
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  wchar_t* sid = nullptr;
  ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid);
  std::printf("ace type=%s sid=%ls mask=0x%08lX\n", type, sid ? sid : L"?",
              static_cast<unsigned long>(ace->Mask));
  LocalFree(sid);
}

}  // namespace

int PrintServiceMutexes() {
  std::printf("subscription_mutex=%d av_mutex=%d\n", MutexExists(kSubscriptionMutexName),
              MutexExists(kAvCommandMutexName));
  std::fflush(stdout);
  return 0;
}

int PrintPipeDacl(const wchar_t* which) {
  const wchar_t* format = std::wcscmp(which, L"av") == 0 ? kAvCommandPipeNameFormat
                                                          : kSubscriptionPipeNameFormat;
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, format, 0);
  if (!WaitNamedPipeW(name, 5000)) {
    std::fprintf(stderr, "no instance of %ls (error %lu)\n", name, GetLastError());
    return 1;
  }
  UniqueHandle pipe(CreateFileW(name, GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  if (!pipe) {
    std::fprintf(stderr, "cannot open %ls (error %lu)\n", name, GetLastError());
    return 1;
  }
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot read the DACL (error %lu)\n", error);
    return 1;
  }
  const WORD count = dacl ? dacl->AceCount : 0;
  for (WORD i = 0; i < count; ++i) {
    void* ace = nullptr;
    if (GetAce(dacl, i, &ace)) PrintAce(static_cast<const ACE_HEADER*>(ace));
  }
  std::printf("aces=%u\n", count);
  std::fflush(stdout);
  LocalFree(descriptor);
  return 0;
}

}  // namespace halvaro
