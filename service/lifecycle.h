// The start and stop sequences that bring every subsystem of the service up and down in a
// fixed order.
//
// Threading: StartSequence runs once on the service main thread before its message loop;
// StopSequence runs once on the control handler's thread. The stop path ends every worker
// thread that uses an object before it releases that object.
#pragma once

#include <cstdint>

namespace halvaro {

uint32_t StartSequence();
void StopSequence();

}  // namespace halvaro
