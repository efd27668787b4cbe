#include "service/service_state.h"

namespace halvaro {

ServiceState& Service() {
  static ServiceState* const state = new ServiceState();
  return *state;
}

}  // namespace halvaro
