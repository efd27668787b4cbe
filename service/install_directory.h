// Whether the directory that the service is installed from is safe for a LocalSystem
// service: the service loads from it and starts its companions from it, so anyone who may
// write or create files there could run code as LocalSystem.
//
// A directory is safe when its DACL lets nobody but LocalSystem, the Administrators group,
// TrustedInstaller, the creator-owner placeholder and the installing account itself (an
// administrator, or it could not install a service) write, create, delete or change it.
//
// Threading: reentrant.
#pragma once

#include <windows.h>

namespace halvaro {

// The judgement on one DACL: true when an allow entry that applies to the directory itself
// gives write-like access to another SID than those above (`installer`: the installing
// account's SID, may be null). A null DACL lets everyone do everything.
bool DaclLetsOthersWrite(const ACL* dacl, PSID installer);

// The judgement on `directory` (without a trailing backslash is fine). True when its DACL
// cannot be read either: not known to be safe.
bool DirectoryLetsOthersWrite(const wchar_t* directory);

}  // namespace halvaro
