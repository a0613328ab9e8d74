// Psychoacoustic model 2 of ISO/IEC 11172-3 Annex D: per channel, a
// 1024-line spectrum grouped into partitions of a third of a Bark, its
// unpredictability from the two previous analyses deciding how tonal each
// partition is, the spread energy lowered by the required signal-to-noise
// ratio giving the threshold, and one signal-to-mask ratio per sub-band.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/fft.h"
#include "audio/frame_shape.h"
#include "audio/psycho_routines.h"

namespace quillon {
class Engine;
}

namespace quillon::audio {

class PsychoModelTwo {
public:
    explicit PsychoModelTwo(const FrameShape& shape);

    // pcm of one channel (Layer I: 64 lookback samples, then 384 new);
    // writes smr[sub-band]. Layer II runs two analyses per frame and keeps
    // the larger ratio of each sub-band.
    void analyse(Engine& engine, const int16_t* pcm, int channel, double* smr);

    int partitionCount() const { return static_cast<int>(partitionStart_.size()); }
    // Spreading value from a masker at masker Bark to a maskee at maskee Bark.
    static double spreading(double maskerBark, double maskeeBark);

private:
    void build(Engine& engine);
    void analyseWindow(int channel, const double* samples, double* smr);
    double maskFactor(int partition, double c) const;

    static constexpr int kLines = 513;
    static constexpr int kHistory = 2048;
    FrameShape shape_;
    Fft fft_;
    SpreadRoutine spreadMasker_;
    bool built_ = false;
    std::vector<double> window_;
    std::vector<double> lineQuiet_;      // threshold in quiet per line, as energy
    std::vector<int> linePartition_;
    std::vector<int> partitionStart_, partitionWidth_;
    std::vector<double> partitionBark_, partitionQuiet_, spreadNorm_;
    std::vector<double> noiseFactor_, toneFactor_;  // maskFactor at c = 0.5 and 0.05
    std::vector<double> spread_;         // [masker * count + maskee]
    std::vector<int> spreadFrom_, spreadTo_;  // per masker: maskees with a spreading above zero
    // Working arrays of one analysis.
    std::vector<double> re_, im_, energy_, unpredictability_, lineThreshold_, eb_, cb_, ecb_, ct_;
    struct ChannelState {
        std::vector<double> history = std::vector<double>(kHistory, 0.0);
        std::vector<double> magnitude[2], phase[2];  // the last two analyses
        std::vector<double> keptThreshold;           // 32 x the last threshold
    };
    ChannelState state_[2];
};

}  // namespace quillon::audio
