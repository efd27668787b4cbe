#include "service/install_directory.h"

#include <aclapi.h>

#include <cstring>

#include "common/token_sid.h"
#include "common/unique_resource.h"

namespace halvaro {

namespace {

// Every right that lets a holder put a file into the directory, replace or remove one, or
// change who may.
constexpr ACCESS_MASK kWriteLike = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_DATA |
                                   FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// NT SERVICE\TrustedInstaller, which owns the system's own directories from NT 6.0 on.
constexpr DWORD kTrustedInstallerRids[] = {SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649,
                                           1831038044, 1853292631, 2271478464};

bool IsTrustedInstaller(PSID sid) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != 6) return false;
  if (std::memcmp(GetSidIdentifierAuthority(sid), &nt, sizeof(nt)) != 0) return false;
  for (DWORD i = 0; i < 6; ++i) {
    if (*GetSidSubAuthority(sid, i) != kTrustedInstallerRids[i]) return false;
  }
  return true;
}

bool MayWrite(PSID sid, PSID installer) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid) || IsTrustedInstaller(sid) ||
         (installer != nullptr && EqualSid(sid, installer));
}

}  // namespace

bool DaclLetsOthersWrite(const ACL* dacl, PSID installer) {
  if (dacl == nullptr) return true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // deny entries only take away
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;          // for what is made inside
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((ace->Mask & kWriteLike) == 0) continue;
    if (!MayWrite(const_cast<DWORD*>(&ace->SidStart), installer)) return true;
  }
  return false;
}

bool DirectoryLetsOthersWrite(const wchar_t* directory) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(directory, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  const UniqueHandle token = QueryToken(GetCurrentProcess());
  const TokenSid installer(token.get(), TokenUser);
  const bool others = DaclLetsOthersWrite(dacl, installer.get());
  LocalFree(descriptor);
  return others;
}

}  // namespace halvaro
