#include "service/lifecycle.h"

#include "service/service_state.h"
#include "service/settings.h"

namespace halvaro {

uint32_t StartSequence() {
  ServiceState& s = Service();
  InitializeCriticalSection(&s.listener_lock);
  s.listener_lock_ready = true;
  ClearListenerStatus();
  ReadSettings();
  return 1;
}

void StopSequence() {
  ServiceState& s = Service();
  ClearListenerStatus();
  if (s.listener_lock_ready) {
    s.listener_lock_ready = false;
    DeleteCriticalSection(&s.listener_lock);
  }
}

}  // namespace halvaro
