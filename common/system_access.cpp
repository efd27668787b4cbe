#include "common/system_access.h"

#include <aclapi.h>

#include "common/token_sid.h"
#include "common/unique_resource.h"

namespace halvaro {

namespace {

bool IsSystemSid(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// Whether `sid` is this process's account: its token's user, or the owner that the token
// gives the objects it creates.
bool IsOwnAccount(PSID sid) {
  const UniqueHandle token = QueryToken(GetCurrentProcess());
  const TokenSid user(token.get(), TokenUser);
  if (user.get() && EqualSid(user.get(), sid)) return true;
  const TokenSid owner(token.get(), TokenOwner);
  return owner.get() && EqualSid(owner.get(), sid);
}

}  // namespace

SystemOnlyAttributes::SystemOnlyAttributes() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid system;
  UniqueSid administrators;
  if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                system.put()) ||
      !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, administrators.put())) {
    return;
  }
  const PACL acl = StartAcl();
  if (!acl) return;
  if (!AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system.get())) return;
  if (!AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, administrators.get())) return;
  FinishAcl();
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
