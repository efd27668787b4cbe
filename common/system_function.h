// Functions of a system DLL that not every supported Windows has, looked up at run time so
// that the program still loads where they are missing (the loader refuses a program that
// imports a function the DLL lacks). Each caller says what it does without the function.
//
// Threading: reentrant; the module must be one that the program has loaded already
// (kernel32.dll, advapi32.dll, ...), so the address stays valid for the process's life.
#pragma once

#include <windows.h>

namespace halvaro {

// The address of `name` in the loaded module `module` as a `Function`, or null.
template <typename Function>
Function LookUpSystemFunction(const wchar_t* module, const char* name) {
  const HMODULE loaded = GetModuleHandleW(module);
  if (!loaded) return nullptr;
  // Through void*: a FARPROC's own type says nothing about the function's.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(loaded, name)));
}

}  // namespace halvaro
