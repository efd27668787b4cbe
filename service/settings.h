// The values kept under the service's own registry key: four settings read at start and the
// status values that tell other programs what the service is doing.
//
// Threading: ReadSettings runs on the start sequence's thread before any other thread
// exists. The writers open and close a key handle of their own per call, so they may run on
// any thread.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/unique_resource.h"

namespace halvaro {

// "SYSTEM\CurrentControlSet\Services\Orva WMI Service" under HKEY_LOCAL_MACHINE.
extern const wchar_t kServiceKeyPath[];

void ReadSettings();
void ClearListenerStatus();
void WriteListenerStatus();
LONG WriteAvMode();

// A setting's stored data as a number: exactly 4 bytes, taken little-endian whatever the
// stored type. Anything else (absent, longer, shorter) leaves `value` unchanged.
bool DecodeSettingDword(LONG query_result, const BYTE* data, DWORD size, uint32_t* value);

}  // namespace halvaro
