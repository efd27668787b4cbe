#include "common/world_access.h"

#include "common/unique_resource.h"

namespace halvaro {

WorldAccessAttributes::WorldAccessAttributes(DWORD access_mask, Network network) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  UniqueSid everyone;  // freed once the ACE holds its copy
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                everyone.put())) {
    return;
  }
  const PACL acl = StartAcl();
  if (!acl) return;
  if (network == Network::kDenied) {
    // Deny entries come first. The NETWORK group is in every token of a remote logon, on
    // every system version, so this holds where the pipe flag rejecting remote clients
    // does not exist yet.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    UniqueSid remote;
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_NETWORK_RID, 0, 0, 0, 0, 0, 0, 0,
                                  remote.put())) {
      return;
    }
    if (!AddAccessDeniedAce(acl, ACL_REVISION, GENERIC_ALL | STANDARD_RIGHTS_ALL |
                                                   SPECIFIC_RIGHTS_ALL, remote.get())) {
      return;
    }
  }
  if (!AddAccessAllowedAce(acl, ACL_REVISION, access_mask, everyone.get())) return;
  FinishAcl();
}

}  // namespace halvaro
