#include "service/service_state.h"

namespace halvaro {

ServiceState& Service() {
  static ServiceState state;
  return state;
}

}  // namespace halvaro
