// The directory of the running program, where its companion programs are installed.
//
// Threading: reentrant.
#pragma once

#include <string>

namespace halvaro {

// The program's full path cut after its last backslash (the backslash is kept), or an
// empty string when the path cannot be read.
std::wstring OwnDirectory();

}  // namespace halvaro
