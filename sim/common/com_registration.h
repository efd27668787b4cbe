// Self-registration of a simulator DLL as the in-process server of one COM class of a (test)
// machine, and back: the code behind DllRegisterServer / DllUnregisterServer.
//
// Registering writes the full path of the DLL that contains this code as the default value of
// HKCR\<server_key> and sets ThreadingModel = Both. Before that it saves the replaced path once
// in the value `saved_value`, so that registering twice keeps the system's own server.
// Unregistering writes the saved path back and deletes `saved_value`; an empty saved path
// means the class had no server before, and its default value is deleted.
//
// Threading: reentrant; the registry serialises concurrent writers.
#pragma once

#include <windows.h>

namespace simcom {

// server_key: "CLSID\{...}\InprocServer32" under HKEY_CLASSES_ROOT.
HRESULT RegisterInprocServer(const wchar_t* server_key, const wchar_t* saved_value);
HRESULT UnregisterInprocServer(const wchar_t* server_key, const wchar_t* saved_value);

}  // namespace simcom
