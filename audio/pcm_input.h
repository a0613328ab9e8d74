// The engine's side of the sound exchange: pulls blocks of 16-bit
// interleaved stereo PCM from the job's SampleSource in order, cuts them into
// the encoder's frames, splits the channels and reports progress.
#pragma once

#include <cstdint>

namespace quillon {
class Engine;
class SampleSource;
}  // namespace quillon

namespace quillon::audio {

class PcmInput {
public:
    explicit PcmInput(Engine& engine);

    // startAudioFetch: false when there is no sound to fetch.
    bool start();
    // fetchAudioFrame: fills pcm for one frame (Layer II: 1152 samples per
    // channel; Layer I: 64 lookback samples, then 384 new ones). Returns the
    // number of values read, 0 at the end of the sound.
    int fetchFrame(int channels, int layer);

    int16_t pcm[2][1152] = {};

private:
    bool fetchBlock();
    int readValues(int count);
    void split(int channels, int count, int offset);

    Engine& engine_;
    SampleSource* source_ = nullptr;
    uint32_t nextSample_ = 0;
    uint32_t lastSample_ = 0;
    uint32_t sampleCount_ = 0;
    const uint8_t* block_ = nullptr;
    uint32_t blockSize_ = 0;
    uint32_t blockPosition_ = 0;
    bool ended_ = false;
    int16_t staging_[2304] = {};
};

}  // namespace quillon::audio
