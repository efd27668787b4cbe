// Security attributes around one DACL that the object holds itself, the common part of the
// programs' kernel-object and pipe descriptors: a derived class starts the list, adds its
// entries and finishes it.
//
// Threading: build and use on one thread; the object must outlive every Create* call that
// is handed get(). It points into itself, so it is neither copied nor moved.
#pragma once

#include <windows.h>

namespace halvaro {

class DaclAttributes {
 public:
  DaclAttributes(const DaclAttributes&) = delete;
  DaclAttributes& operator=(const DaclAttributes&) = delete;

  // The attributes, or null when building them failed: the object is then created with the
  // default security of the caller's account.
  SECURITY_ATTRIBUTES* get() { return valid_ ? &attributes_ : nullptr; }

 protected:
  DaclAttributes() = default;
  ~DaclAttributes() = default;

  // An empty access list in a fresh descriptor, or null when either cannot be initialised.
  PACL StartAcl();
  // Makes the list the descriptor's DACL; get() gives the attributes from then on, when the
  // descriptor is valid.
  void FinishAcl();

 private:
  bool valid_ = false;
  SECURITY_DESCRIPTOR descriptor_{};
  alignas(DWORD) BYTE acl_[1024]{};
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace halvaro
