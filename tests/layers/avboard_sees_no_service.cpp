// Preprocessed by the layers test (tests/CMakeLists.txt) with halvaro_avboard's include roots,
// and expected to stop at the service's header: the board's code reaches its own folder and
// common/ below it, never the service above.
#include "avboard/av_frames.h"
#include "common/little_endian.h"
#include "service/service_state.h"
