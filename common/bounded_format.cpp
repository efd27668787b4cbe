#include "common/bounded_format.h"

#include <cstdarg>
#include <cstdio>

namespace halvaro {

uint32_t FormatBounded(wchar_t* dest, size_t size, const wchar_t* format, ...) {
  if (size == 0 || size > 0x7FFFFFFF) return kFormatInvalidSize;

  const size_t room = size - 1;  // one place is kept for the terminator
  va_list args;
  va_start(args, format);
  // The CRT's _vsnwprintf returns -1 when the text is cut; the C99 flavour returns the full
  // length. Both are read as "cut" when they do not fit in `room`.
  const int written = _vsnwprintf(dest, room, format, args);
  va_end(args);

  dest[room] = L'\0';
  if (written < 0 || static_cast<size_t>(written) > room) return kFormatTruncated;
  dest[written] = L'\0';
  return kFormatOk;
}

}  // namespace halvaro
