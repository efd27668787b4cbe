// The event code of a firmware hotkey event, read from its `EC_RAM_Data_1` property.
//
// Threading: reentrant.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>

namespace halvaro {

// Converts the property by its type: integers (signed ones as their 32-bit pattern,
// unsigned ones zero-extended) and decimal strings (how WMI hands over 64-bit values).
// False when the VARIANT holds no usable number.
bool EventCodeFromVariant(const VARIANT& value, uint32_t* code);

}  // namespace halvaro
