// The service's settings as they are stored under its registry key: their defaults, and how
// one stored value is read and decoded. The service reads them this way at every start; the
// diagnostic program reads them the same way to say what the service will take.
//
// Threading: reentrant; every function touches only its arguments (QueryStoredDword reads
// the registry through a key handle that the caller owns).
#pragma once

#include <windows.h>

#include <cstdint>

namespace halvaro {

constexpr uint32_t kDefaultMaxSubscribers = 1;  // "EMAMaxRegister"
constexpr uint32_t kDefaultComPort = 1;         // "ComPort"
constexpr uint32_t kDefaultBaudRate = 9600;     // "BuadRate"
constexpr uint32_t kDefaultCmdTimeFrame = 0;    // "ComCmdTimeFrame", milliseconds

// What one value of an open key holds, read as the service reads it: a number when the
// stored data is exactly 4 bytes, taken little-endian whatever the stored type; anything
// else (absent, longer, shorter) is not taken.
struct StoredDword {
  DWORD size = 0;      // the stored data's size when it was found (also when it is not taken)
  bool taken = false;  // exactly 4 bytes
  uint32_t value = 0;  // when taken; else 0
};

StoredDword QueryStoredDword(HKEY key, const wchar_t* name);

// The service keeps a stored 0 in the registry but serves one subscriber at least.
inline uint32_t EffectiveMaxSubscribers(uint32_t stored) { return stored == 0 ? 1 : stored; }

// The longest period between volume updates to the board. A longer stored value counts as
// this: the timer would otherwise hold the update back for up to 25 days (0xFFFFFFFF ms).
constexpr uint32_t kMostCmdTimeFrame = 10000;
inline uint32_t EffectiveCmdTimeFrame(uint32_t stored) {
  return stored > kMostCmdTimeFrame ? kMostCmdTimeFrame : stored;
}

}  // namespace halvaro
