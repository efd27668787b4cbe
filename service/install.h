// Installing and removing the service from a command prompt; outcomes are printed on
// standard output.
//
// Threading: called from wmain only.
#pragma once

namespace halvaro {

void InstallService();
void RemoveService();

}  // namespace halvaro
