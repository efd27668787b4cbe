// Command-line numbers of the simulated machine's control programs.
//
// Threading: pure.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <optional>

namespace simcom {

// A 32-bit value: decimal, or hexadecimal after 0x. (Not strtoul's base 0, which would read a
// leading 0 as octal.) Nothing else may follow the digits.
inline std::optional<uint32_t> ParseNumber(const wchar_t* text) {
  if (text == nullptr) return std::nullopt;
  int base = 10;
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text += 2;
  }
  if (*text == L'\0' || *text == L'-' || *text == L'+' || std::iswspace(*text)) {
    return std::nullopt;
  }
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long value = std::wcstoull(text, &end, base);
  if (errno != 0 || *end != L'\0' || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace simcom
