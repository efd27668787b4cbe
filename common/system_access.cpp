#include "common/system_access.h"

#include <aclapi.h>

#include "common/unique_resource.h"

namespace halvaro {

namespace {

bool IsSystemSid(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// Whether `sid` is this process's account: its token's user, or the owner that the token
// gives the objects it creates.
bool IsOwnAccount(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  UniqueHandle owned_token(token);
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  if (GetTokenInformation(owned_token.get(), TokenUser, &info, sizeof(info), &size) &&
      EqualSid(info.user.User.Sid, sid)) {
    return true;
  }
  return GetTokenInformation(owned_token.get(), TokenOwner, &info, sizeof(info), &size) &&
         EqualSid(info.owner.Owner, sid);
}

}  // namespace

SystemOnlyAttributes::SystemOnlyAttributes() {
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid system;
  UniqueSid administrators;
  if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                system.put()) ||
      !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, administrators.put())) {
    return;
  }
  auto* acl = reinterpret_cast<PACL>(acl_);
  if (!InitializeAcl(acl, sizeof(acl_), ACL_REVISION)) return;
  if (!AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system.get())) return;
  if (!AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, administrators.get())) return;
  if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) return;
  if (!IsValidSecurityDescriptor(&descriptor_)) return;
  attributes_.nLength = sizeof(attributes_);
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
  valid_ = true;
}

bool OwnedBySystemOrSelf(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // Every Windows records an owner; a system that records none (wine) gives nothing to tell
  // a stranger's object by, and it is taken as ours, as before the check.
  const bool trusted = owner == nullptr || IsSystemSid(owner) || IsOwnAccount(owner);
  LocalFree(descriptor);
  return trusted;
}

}  // namespace halvaro
