// The real encoders and multiplexer as the driver's three phases.
#pragma once

#include "engine/engine.h"

namespace quillon {

ConversionPhases& standardPhases();

}  // namespace quillon
