// The mixer functions of the system's own winmm.dll, loaded from the system directory by
// its full path. winmm is not one of the system's known DLLs: imported by name, it would be
// looked for in the program's own directory first, where a planted copy would run inside a
// LocalSystem service.
//
// Threading: reentrant; the DLL is loaded once, on first use, and stays loaded for the life
// of the process (the table points into it).
#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace halvaro {

struct WinmmFunctions {
  UINT(WINAPI* GetNumDevs)();
  MMRESULT(WINAPI* Open)(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* Close)(HMIXER);
  MMRESULT(WINAPI* GetDevCaps)(UINT_PTR, LPMIXERCAPSW, UINT);
  MMRESULT(WINAPI* GetLineInfo)(HMIXEROBJ, LPMIXERLINEW, DWORD);
  MMRESULT(WINAPI* GetLineControls)(HMIXEROBJ, LPMIXERLINECONTROLSW, DWORD);
  MMRESULT(WINAPI* GetControlDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
  MMRESULT(WINAPI* SetControlDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
};

// The table, or null when the system's winmm.dll or one of its mixer functions is missing
// (the mixer then counts as having no device).
const WinmmFunctions* SystemWinmm();

}  // namespace halvaro
