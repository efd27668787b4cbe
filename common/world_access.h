// Security attributes that grant the Everyone group one access mask, for kernel objects and
// pipes that client programs in other sessions and accounts must open; optionally with
// every access denied to network logons first, for objects only local programs may use.
//
// Threading: build and use on one thread; the object must outlive every Create* call that
// is handed get().
#pragma once

#include <windows.h>

namespace halvaro {

class WorldAccessAttributes {
 public:
  enum class Network { kAllowed, kDenied };
  explicit WorldAccessAttributes(DWORD access_mask, Network network = Network::kAllowed);
  WorldAccessAttributes(const WorldAccessAttributes&) = delete;
  WorldAccessAttributes& operator=(const WorldAccessAttributes&) = delete;

  // The attributes, or null when building them failed: the object is then created with the
  // default security of the caller's account.
  SECURITY_ATTRIBUTES* get() { return valid_ ? &attributes_ : nullptr; }

 private:
  bool valid_ = false;
  SECURITY_DESCRIPTOR descriptor_{};
  alignas(DWORD) BYTE acl_[1024]{};
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace halvaro
