#include "audio/psycho_model_two.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "audio/hearing_curves.h"
#include "engine/engine.h"
#include "engine/format.h"

namespace quillon::audio {

namespace {

// Energies carry the scale of model 1: 10 log10(e) + 90.309 is the level in dB.
constexpr double kLevelOffset = 90.309;

double minimumSnr(double bark) {
    int z = static_cast<int>(std::lround(bark));
    if (z <= 4) return 20;
    switch (z) {
        case 5: return 17;
        case 6: return 15;
        case 7: return 10;
        case 8: return 7;
        case 9: return 4.4;
        default: return z <= 23 ? 4.5 : 3.5;
    }
}

}  // namespace

PsychoModelTwo::PsychoModelTwo(const FrameShape& shape) : shape_(shape),
      fft_(1024, shape.MMXMode, shape.cpuFeatures),
      spreadMasker_(selectSpreadRoutine(shape.MMXMode, shape.cpuFeatures)) {}

double PsychoModelTwo::spreading(double maskerBark, double maskeeBark) {
    double t = 1.05 * (maskeeBark - maskerBark);
    double x = (t >= 0.5 && t <= 2.5) ? 8 * ((t - 0.5) * (t - 0.5) - 2 * (t - 0.5)) : 0;
    double u = t + 0.474;
    double y = 15.811389 + 7.5 * u - 17.5 * std::sqrt(1 + u * u);
    return y <= -100 ? 0 : std::pow(10.0, (x + y) / 10);
}

// The part of the spread energy a partition's threshold keeps, by how
// tonal the partition is: c runs from 0.05 (a tone) to 0.5 (noise).
double PsychoModelTwo::maskFactor(int p, double c) const {
    double tb = -0.301029996 - 0.434294482 * std::log(c);
    double bark = partitionBark_[p];
    double snr = std::max(minimumSnr(bark), tb * std::max(15.5 + bark, 24.5) + (1 - tb) * 5.5);
    return std::pow(10.0, -snr / 10);
}

void PsychoModelTwo::build(Engine& engine) {
    int rate = shape_.rateHz;
    int index = rate == 32000 ? 0 : rate == 44100 ? 1 : 2;
    if (engine.work.verbose) engine.logLine(formatText("   absthr[][] sampling frequency index: %d.", index));

    window_.resize(1024);
    for (int i = 0; i < 1024; ++i)
        window_[i] = 0.5 * (1 - std::cos(2 * M_PI * (i - 0.5) / 1024)) * std::sqrt(8.0 / 3.0) / 1024 / 32768;

    lineQuiet_.resize(kLines);
    linePartition_.resize(kLines);
    std::vector<double> lineBark(kLines);
    for (int k = 0; k < kLines; ++k) {
        double hz = std::max(k, 1) * static_cast<double>(rate) / 1024;
        lineBark[k] = barkOf(hz);
        lineQuiet_[k] = std::pow(10.0, (thresholdInQuietDb(hz) - kLevelOffset) / 10);
    }
    partitionStart_.clear();
    partitionWidth_.clear();
    partitionBark_.clear();
    partitionQuiet_.clear();
    for (int k = 0; k < kLines;) {
        int start = k;
        while (k < kLines && lineBark[k] <= lineBark[start] + 0.33) {
            linePartition_[k] = static_cast<int>(partitionStart_.size());
            ++k;
        }
        partitionStart_.push_back(start);
        partitionWidth_.push_back(k - start);
        partitionBark_.push_back((lineBark[start] + lineBark[k - 1]) / 2);
        double quiet = lineQuiet_[start];
        for (int j = start; j < k; ++j) quiet = std::min(quiet, lineQuiet_[j]);
        partitionQuiet_.push_back(quiet * (k - start));
    }
    int count = partitionCount();
    spread_.assign(static_cast<size_t>(count) * count, 0.0);
    spreadNorm_.assign(count, 0.0);
    for (int masker = 0; masker < count; ++masker)
        for (int maskee = 0; maskee < count; ++maskee)
            spread_[masker * count + maskee] = spreading(partitionBark_[masker], partitionBark_[maskee]);
    for (int maskee = 0; maskee < count; ++maskee) {
        double sum = 0;
        for (int masker = 0; masker < count; ++masker) sum += spread_[masker * count + maskee];
        spreadNorm_[maskee] = sum > 0 ? 1 / sum : 1;
    }
    // Partitions at either end of the tonality range are common enough to
    // keep their factors.
    noiseFactor_.resize(count);
    toneFactor_.resize(count);
    for (int p = 0; p < count; ++p) {
        noiseFactor_[p] = maskFactor(p, 0.5);
        toneFactor_[p] = maskFactor(p, 0.05);
    }
    // Each masker's maskees with a spreading above zero lie in one run.
    spreadFrom_.assign(count, 0);
    spreadTo_.assign(count, 0);
    for (int masker = 0; masker < count; ++masker) {
        const double* row = spread_.data() + static_cast<size_t>(masker) * count;
        int from = 0, to = count;
        while (from < count && row[from] == 0) ++from;
        while (to > from && row[to - 1] == 0) --to;
        spreadFrom_[masker] = from;
        spreadTo_[masker] = to;
    }
    re_.assign(1024, 0.0);
    im_.assign(1024, 0.0);
    energy_.assign(kLines, 0.0);
    unpredictability_.assign(kLines, 0.0);
    lineThreshold_.assign(kLines, 0.0);
    eb_.assign(count, 0.0);
    cb_.assign(count, 0.0);
    ecb_.assign(count, 0.0);
    ct_.assign(count, 0.0);
    for (ChannelState& s : state_) {
        std::fill(s.history.begin(), s.history.end(), 0.0);
        for (int i = 0; i < 2; ++i) {
            s.magnitude[i].assign(kLines, 0.0);
            s.phase[i].assign(kLines, 0.0);
        }
        s.keptThreshold.assign(kLines, 1e30);
    }
    built_ = true;
}

void PsychoModelTwo::analyse(Engine& engine, const int16_t* pcm, int channel, double* smr) {
    if (!built_) build(engine);
    std::vector<double>& h = state_[channel].history;
    int fresh = shape_.layer == 2 ? 1152 : 384;
    const int16_t* samples = pcm + (shape_.layer == 2 ? 0 : 64);
    std::memmove(h.data(), h.data() + fresh, (kHistory - fresh) * sizeof(double));
    for (int i = 0; i < fresh; ++i) h[kHistory - fresh + i] = samples[i];
    int first = kHistory - fresh;
    // The analyses are centred on the sound the frame's sub-band samples
    // carry, which lags the input by the filter bank's 256 samples.
    if (shape_.layer == 2) {
        double second[32];
        analyseWindow(channel, h.data() + first - 480, smr);
        analyseWindow(channel, h.data() + first + 96, second);
        for (int sb = 0; sb < 32; ++sb) smr[sb] = std::max(smr[sb], second[sb]);
    } else {
        analyseWindow(channel, h.data() + first - 640, smr);
    }
}

void PsychoModelTwo::analyseWindow(int channel, const double* samples, double* smr) {
    ChannelState& s = state_[channel];
    double* re = re_.data();
    double* im = im_.data();
    for (int i = 0; i < 1024; ++i) {
        re[i] = samples[i] * window_[i];
        im[i] = 0.0;
    }
    fft_.transform(re, im);

    // The newest magnitudes and phases overwrite the oldest, which are read
    // first; the two then trade places.
    double* energy = energy_.data();
    double* unpredictability = unpredictability_.data();
    double* m0 = s.magnitude[0].data();
    double* m1 = s.magnitude[1].data();
    double* p0 = s.phase[0].data();
    double* p1 = s.phase[1].data();
    for (int k = 0; k < kLines; ++k) {
        double r = std::sqrt(re[k] * re[k] + im[k] * im[k]);
        double phi = std::atan2(im[k], re[k]);
        double rPred = 2 * m0[k] - m1[k];
        double phiPred = 2 * p0[k] - p1[k];
        double denominator = r + std::fabs(rPred);
        if (denominator > 0) {
            double dx = r * std::cos(phi) - rPred * std::cos(phiPred);
            double dy = r * std::sin(phi) - rPred * std::sin(phiPred);
            unpredictability[k] = std::sqrt(dx * dx + dy * dy) / denominator;
        } else {
            unpredictability[k] = 1;
        }
        energy[k] = r * r;
        m1[k] = r;
        p1[k] = phi;
    }
    std::swap(s.magnitude[0], s.magnitude[1]);
    std::swap(s.phase[0], s.phase[1]);

    const int count = partitionCount();
    double* eb = eb_.data();
    double* cb = cb_.data();
    std::fill(eb, eb + count, 0.0);
    std::fill(cb, cb + count, 0.0);
    for (int k = 0; k < kLines; ++k) {
        eb[linePartition_[k]] += energy[k];
        cb[linePartition_[k]] += energy[k] * unpredictability[k];
    }
    // Spread energies: every maskee adds its maskers in order; a masker
    // adds nothing where its spreading is zero or it has no energy.
    double* ecb = ecb_.data();
    double* ct = ct_.data();
    std::fill(ecb, ecb + count, 0.0);
    std::fill(ct, ct + count, 0.0);
    for (int masker = 0; masker < count; ++masker) {
        if (eb[masker] == 0 && cb[masker] == 0) continue;
        spreadMasker_(spread_.data() + static_cast<size_t>(masker) * count, spreadFrom_[masker], spreadTo_[masker],
                      eb[masker], cb[masker], ecb, ct);
    }
    double* lineThreshold = lineThreshold_.data();
    for (int p = 0; p < count; ++p) {
        double c = ecb[p] > 0 ? std::clamp(ct[p] / ecb[p], 0.05, 0.5) : 0.5;
        const double factor = c == 0.5 ? noiseFactor_[p] : c == 0.05 ? toneFactor_[p] : maskFactor(p, c);
        double nb = std::max(ecb[p] * spreadNorm_[p] * factor, partitionQuiet_[p]);
        double perLine = nb / partitionWidth_[p];
        for (int k = partitionStart_[p]; k < partitionStart_[p] + partitionWidth_[p]; ++k)
            lineThreshold[k] = std::max(perLine, lineQuiet_[k]);
    }
    // Layer I holds each line's threshold near the last one's; Layer II
    // keeps none.
    if (shape_.layer == 1)
        for (int k = 0; k < kLines; ++k) {
            double computed = lineThreshold[k];
            lineThreshold[k] = std::max(std::min(computed, s.keptThreshold[k]), 0.00316 * computed);
            s.keptThreshold[k] = 32 * computed;
        }

    for (int sb = 0; sb < 32; ++sb) {
        double sum = 0, thresholdSum = 0, thresholdMin = 1e300;
        for (int k = 16 * sb; k <= 16 * sb + 16; ++k) {
            sum += energy[k];
            thresholdSum += lineThreshold[k];
            thresholdMin = std::min(thresholdMin, lineThreshold[k]);
        }
        double ratio = sb < 13 ? sum / (17 * thresholdMin) : sum / thresholdSum;
        smr[sb] = std::clamp(10 * std::log10(std::max(ratio, 1e-30)), -200.0, 200.0);
    }
}

}  // namespace quillon::audio
