#include "video/encoder/row_threads.h"

#include "platform/cpu_features.h"

namespace quillon {

int encoderThreadCount() { return configuredThreadCount(); }

}  // namespace quillon
