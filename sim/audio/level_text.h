// Volume levels as text: the shortest decimal that reads back as exactly the stored float, so
// that a test comparing printed levels compares the very values that were set.
//
// Threading: reentrant.
#pragma once

#include <cwchar>

namespace simaudio {

inline constexpr size_t kLevelTextSize = 32;

inline void FormatLevel(float level, wchar_t (&text)[kLevelTextSize]) {
  // 9 significant digits always round-trip a float; fewer usually do.
  for (int digits = 6; digits <= 9; ++digits) {
    std::swprintf(text, kLevelTextSize, L"%.*g", digits, static_cast<double>(level));
    if (std::wcstof(text, nullptr) == level) return;
  }
}

}  // namespace simaudio
