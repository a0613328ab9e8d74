// What the psychoacoustic models need to know about the frames being coded.
#pragma once

#include <cstdint>

namespace quillon::audio {

struct FrameShape {
    int layer = 2;              // 1 or 2
    int channels = 2;           // 1 or 2
    int samplingFrequency = 0;  // header code: 0 44.1 kHz, 1 48 kHz, 2 32 kHz
    int rateHz = 44100;
    int bitrateKbps = 224;
    // The routine set of the transforms (MMXMode, detectCpuFeatures bits).
    int MMXMode = 0;
    uint32_t cpuFeatures = 0;
};

}  // namespace quillon::audio
