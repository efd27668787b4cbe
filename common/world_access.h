// Security attributes that grant the Everyone group one access mask, for kernel objects and
// pipes that client programs in other sessions and accounts must open; optionally with
// every access denied to network logons first, for objects only local programs may use.
//
// Threading: as DaclAttributes (common/dacl_attributes.h).
#pragma once

#include <windows.h>

#include "common/dacl_attributes.h"

namespace halvaro {

class WorldAccessAttributes : public DaclAttributes {
 public:
  enum class Network { kAllowed, kDenied };
  explicit WorldAccessAttributes(DWORD access_mask, Network network = Network::kAllowed);
};

}  // namespace halvaro
