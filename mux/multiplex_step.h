// The multiplex step of a conversion: input checks, the scans of the
// elementary streams and the multiplexer.
#pragma once

namespace quillon {

class Engine;

// Streams and settings come from engine.job and engine.work. Reports its
// failures; returns false on failure or stop.
bool runMultiplexStep(Engine& engine, bool multiplexVideo, bool multiplexAudio);

}  // namespace quillon
