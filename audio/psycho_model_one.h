// Psychoacoustic model 1 of ISO/IEC 11172-3 Annex D: tonal and non-tonal
// maskers found in a 1024-line (Layer I: 512) spectrum, their individual
// thresholds summed into a global one, and one signal-to-mask ratio per
// sub-band.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/fft.h"
#include "audio/frame_shape.h"
#include "audio/psycho_tables.h"

namespace quillon::audio {

class PsychoModelOne {
public:
    explicit PsychoModelOne(const FrameShape& shape);

    // pcm: the frame's PCM (Layer I: 64 lookback samples, then 384 new);
    // scaleIndices: per channel and sub-band the scale-factor index (Layer II:
    // the smallest of the three). Writes smr[channel][sub-band].
    void analyse(const int16_t (*pcm)[1152], const int (*scaleIndices)[32], double (*smr)[32]);

    // The last analysis's global masking threshold (dB) per table entry
    // (worked out on asking), and the tonal components that survived (line
    // numbers), for inspection.
    const std::vector<double>& globalThreshold() const;
    const std::vector<int>& tonalLines() const { return tonalLines_; }

private:
    struct Component {
        int line;
        int entry;
        double level;
        bool tonal;
    };
    void analyseChannel(int channel, const int16_t* samples, const int* scaleIndices, double* smr);
    double maskedPower(int entry, double bound) const;

    FrameShape shape_;
    int n_, lines_, linesPerBand_, newSamples_, ringSize_, readOffset_;
    ModelOneTables tables_;
    Fft fft_;
    std::vector<double> window_;
    std::vector<int> lineEntry_;     // table entry of each spectral line
    std::vector<double> lineBark_;   // critical-band rate of each line
    double quietOffset_ = 0;         // -12 dB at high bit rates
    std::vector<double> ring_[2];
    int writePosition_[2] = {256, 256};
    mutable std::vector<double> global_;
    // Per entry, the run of maskers within its reach; per sub-band, its
    // entries [bandEntries_[sb], bandEntries_[sb + 1]) and, per channel, the
    // one with the lowest threshold last time.
    std::vector<int> reachFrom_, reachTo_;
    int bandEntries_[33] = {};
    int lowestEntry_[2][32] = {};
    std::vector<int> tonalLines_;

    // A masker's part in the global threshold: its critical-band rate z, its
    // level less the offset of its kind, and the slopes 0.4 X + 6 (below it)
    // and 17 - 0.15 X (above it) of its masking function.
    struct Masker {
        double z, offsetLevel, lowSlope, highSlope;
    };
    std::vector<double> quietPower_;  // threshold in quiet per entry, as power
    double scaleLevel_[64];           // 20 log10(scale factor * 32768) - 10
    double floorPower_ = 0;
    double silentLevel_ = 0, silentPower_ = 0;  // a line at the energy floor
    // Working arrays of one analysis.
    std::vector<double> re_, im_, x_, px_;
    std::vector<char> tonal_;
    std::vector<Component> components_;
    std::vector<Masker> maskers_;
};

}  // namespace quillon::audio
