#include "common/dacl_attributes.h"

namespace halvaro {

PACL DaclAttributes::StartAcl() {
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return nullptr;
  auto* acl = reinterpret_cast<PACL>(acl_);
  return InitializeAcl(acl, sizeof(acl_), ACL_REVISION) ? acl : nullptr;
}

void DaclAttributes::FinishAcl() {
  if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<PACL>(acl_), FALSE)) return;
  if (!IsValidSecurityDescriptor(&descriptor_)) return;
  attributes_.nLength = sizeof(attributes_);
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
  valid_ = true;
}

}  // namespace halvaro
