#include "audio/pcm_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/engine.h"
#include "engine/format.h"

namespace quillon::audio {

PcmInput::PcmInput(Engine& engine) : engine_(engine) {}

bool PcmInput::start() {
    source_ = engine_.request.sampleSource;
    nextSample_ = static_cast<uint32_t>(engine_.job.firstSample);
    lastSample_ = static_cast<uint32_t>(engine_.job.lastSample);
    sampleCount_ = engine_.job.lastSample >= engine_.job.firstSample
                       ? static_cast<uint32_t>(engine_.job.lastSample - engine_.job.firstSample + 1)
                       : 0;
    block_ = nullptr;
    blockSize_ = blockPosition_ = 0;
    ended_ = false;
    std::memset(pcm, 0, sizeof pcm);
    if (!source_ || sampleCount_ == 0) return false;
    return fetchBlock();
}

bool PcmInput::fetchBlock() {
    block_ = nullptr;
    blockSize_ = blockPosition_ = 0;
    if (ended_ || nextSample_ > lastSample_) {
        ended_ = true;
        return false;
    }
    int32_t consumed = 0, bytes = 0;
    const uint8_t* data = nullptr;
    int result = source_->getSamples(static_cast<int>(nextSample_), &consumed, &bytes, &data);
    if (result != kSourceOk || bytes <= 0 || !data) {
        ended_ = true;
        return false;
    }
    // Whole sample frames only, and nothing past the job's last sample.
    uint64_t wanted = (static_cast<uint64_t>(lastSample_) + 1 - nextSample_) * 4;
    uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint32_t>(bytes) & ~3u, wanted));
    if (size == 0) {
        ended_ = true;
        return false;
    }
    block_ = data;
    blockSize_ = size;
    nextSample_ += consumed > 0 ? static_cast<uint32_t>(consumed) : size / 4;

    int percent = static_cast<int>(std::floor(static_cast<double>(nextSample_) / sampleCount_ * 100)) % 100;
    engine_.setProgress(formatText("Audio Conversion Progress: %d%% \n\nCurrent Sample: %d / Total Sample: %d.",
                                   percent, static_cast<int>(nextSample_ % sampleCount_),
                                   static_cast<int>(sampleCount_)),
                        percent);
    return true;
}

int PcmInput::readValues(int count) {
    uint32_t wanted = static_cast<uint32_t>(count) * 2, copied = 0;
    auto* out = reinterpret_cast<uint8_t*>(staging_);
    // Blocks of any size are taken in turn until the frame is full or the
    // sound ends.
    while (copied < wanted) {
        if (blockPosition_ >= blockSize_ && !fetchBlock()) break;
        uint32_t n = std::min(wanted - copied, blockSize_ - blockPosition_);
        std::memcpy(out + copied, block_ + blockPosition_, n);
        copied += n;
        blockPosition_ += n;
    }
    if (copied < 2) return 0;
    if (copied < wanted) std::memset(out + copied, 0, wanted - copied);
    return count;
}

// The source always delivers stereo; a single-channel stream takes the mean
// of the two (for a mono source both carry the same sound).
void PcmInput::split(int channels, int count, int offset) {
    for (int i = 0; i < count; ++i) {
        int left = staging_[2 * i], right = staging_[2 * i + 1];
        if (channels == 2) {
            pcm[0][offset + i] = static_cast<int16_t>(left);
            pcm[1][offset + i] = static_cast<int16_t>(right);
        } else {
            pcm[0][offset + i] = static_cast<int16_t>((left + right) >> 1);
            pcm[1][offset + i] = 0;
        }
    }
}

int PcmInput::fetchFrame(int channels, int layer) {
    if (layer == 1) {
        for (int c = 0; c < 2; ++c) std::memmove(pcm[c], pcm[c] + 384, 64 * sizeof(int16_t));
        if (readValues(384 * 2) == 0) return 0;
        split(channels, 384, 64);
        return 384 * channels;
    }
    if (readValues(2304) == 0) return 0;
    split(channels, 1152, 0);
    return 1152 * channels;
}

}  // namespace quillon::audio
