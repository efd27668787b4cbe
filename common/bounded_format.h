// printf-style formatting of wide text into a caller's fixed buffer.
//
// Threading: reentrant; touches only its arguments.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvaro {

constexpr uint32_t kFormatOk = 0;
constexpr uint32_t kFormatInvalidSize = 0x80070057;  // size 0 or above 0x7FFFFFFF
constexpr uint32_t kFormatTruncated = 0x8007007A;    // the text was cut to fit

// Formats into `dest`, which holds `size` wide characters. The result is always terminated
// when size is valid; text that does not fit is cut. Only the conversions %d, %u, %x, %08X and %%
// of the platform's wide printf are used by this program.
uint32_t FormatBounded(wchar_t* dest, size_t size, const wchar_t* format, ...);

}  // namespace halvaro
