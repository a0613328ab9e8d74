// The program stream multiplexer: interleaves one video and up to two audio
// elementary streams into fixed-size packs by simulating each decoder
// buffer, splits the output at I pictures, and patches SVCD scan offsets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "mux/units_file.h"

namespace quillon {

class Engine;

struct MultiplexInputs {
    int mask = 0;  // bit 0 video, bit 1 first audio, bit 2 second audio
    std::string unitsPath[3];
    const VideoStreamInfo* video = nullptr;
    const AudioStreamInfo* audio[2] = {nullptr, nullptr};
    uint32_t unitCounts[3] = {};
    std::FILE* output = nullptr;  // used, not closed, when no splitting is asked for
};

// Deletes the units files it was given on every path.
bool runMultiplexer(Engine& engine, const MultiplexInputs& inputs);

// The name of split file `counter` (0 for the first): the two digits replace
// a "00" in the file name, else go in front of the extension.
std::string splitFileName(const std::string& programPath, int counter);

// The settings the multiplexer will need for streams of `mask` made by our
// own encoders (MPEG audio) lasting durationSeconds, checked before they are
// coded: sector size, packet payloads, buffer sizes, start time. Reports
// what is wrong as the multiplexer would and returns false.
bool checkMultiplexSettings(Engine& engine, int mask, double durationSeconds);

}  // namespace quillon
