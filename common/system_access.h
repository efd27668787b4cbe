// Kernel objects that only the system may change: security attributes whose DACL grants all
// access to LocalSystem and the Administrators group and nothing to anyone else, and a check
// of who owns an object that already existed under a name.
//
// The agent and the service run as LocalSystem; a named object that another account made
// first under the same name is somebody else's, and is not trusted as ours.
//
// Threading: SystemOnlyAttributes as DaclAttributes (common/dacl_attributes.h); when its
// get() is null, the default security of LocalSystem also keeps others out.
// OwnedBySystemOrSelf is reentrant.
#pragma once

#include <windows.h>

#include "common/dacl_attributes.h"

namespace halvaro {

class SystemOnlyAttributes : public DaclAttributes {
 public:
  SystemOnlyAttributes();
};

// Whether the owner of the object behind `object` is LocalSystem, the Administrators group
// or this process's own account (the one the service and the agent share). False when the
// owner cannot be read (the handle lacks READ_CONTROL); true when the system records no owner.
bool OwnedBySystemOrSelf(HANDLE object);

}  // namespace halvaro
