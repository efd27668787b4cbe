// Kernel objects that only the system may change: security attributes whose DACL grants all
// access to LocalSystem and the Administrators group and nothing to anyone else, and a check
// of who owns an object that already existed under a name.
//
// The agent and the service run as LocalSystem; a named object that another account made
// first under the same name is somebody else's, and is not trusted as ours.
//
// Threading: build and use SystemOnlyAttributes on one thread; the object must outlive every
// Create* call that is handed get(). OwnedBySystemOrSelf is reentrant.
#pragma once

#include <windows.h>

namespace halvaro {

class SystemOnlyAttributes {
 public:
  SystemOnlyAttributes();
  SystemOnlyAttributes(const SystemOnlyAttributes&) = delete;
  SystemOnlyAttributes& operator=(const SystemOnlyAttributes&) = delete;

  // The attributes, or null when building them failed (the object then gets the default
  // security of the caller's account, which for LocalSystem also keeps others out).
  SECURITY_ATTRIBUTES* get() { return valid_ ? &attributes_ : nullptr; }

 private:
  bool valid_ = false;
  SECURITY_DESCRIPTOR descriptor_{};
  alignas(DWORD) BYTE acl_[256]{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Whether the owner of the object behind `object` is LocalSystem, the Administrators group
// or this process's own account (the one the service and the agent share). False when the
// owner cannot be read (the handle lacks READ_CONTROL); true when the system records no owner.
bool OwnedBySystemOrSelf(HANDLE object);

}  // namespace halvaro
