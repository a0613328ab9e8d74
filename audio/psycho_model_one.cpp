#include "audio/psycho_model_one.h"

#include <algorithm>
#include <cmath>

#include "audio/audio_tables.h"

namespace quillon::audio {

namespace {

constexpr double kFloorDb = -200.0;

double power(double db) { return std::pow(10.0, db / 10.0); }
double level(double p) { return 10.0 * std::log10(p); }

// How far a tonal candidate must stand out, by line.
int tonalRange(int layer, int k) {
    if (layer == 2) {
        if (k < 3 || k > 500) return 0;
        if (k <= 62) return 2;
        if (k <= 126) return 3;
        if (k < 255) return 6;
        return 12;
    }
    if (k < 3 || k > 250) return 0;
    if (k <= 62) return 2;
    if (k < 127) return 3;
    return 6;
}

}  // namespace

PsychoModelOne::PsychoModelOne(const FrameShape& shape)
    : shape_(shape),
      n_(shape.layer == 2 ? 1024 : 512),
      lines_(n_ / 2),
      linesPerBand_(shape.layer == 2 ? 16 : 8),
      newSamples_(shape.layer == 2 ? 1152 : 384),
      ringSize_(shape.layer == 2 ? 1408 : 640),
      readOffset_(shape.layer == 2 ? 1216 : 448),
      tables_(modelOneTables(shape.layer, shape.samplingFrequency)),
      fft_(n_, shape.MMXMode, shape.cpuFeatures),
      window_(n_),
      lineEntry_(lines_),
      lineBark_(lines_),
      global_(tables_.entryCount),
      reachFrom_(tables_.entryCount),
      reachTo_(tables_.entryCount) {
    for (int i = 0; i < n_; ++i)
        window_[i] = std::sqrt(8.0 / 3.0) * (1 - std::cos(2 * M_PI * i / n_)) / (shape.layer == 2 ? 2048 : 1024);
    // Lines between two entries take the critical-band rate interpolated
    // between theirs; lines outside the table, that of the nearest entry.
    const FrequencyEntry* table = tables_.entries;
    int e = 0;
    for (int k = 0; k < lines_; ++k) {
        while (e + 1 < tables_.entryCount && table[e + 1].line <= k) ++e;
        lineEntry_[k] = e;
        lineBark_[k] = table[e].bark;
        if (k > table[e].line && e + 1 < tables_.entryCount)
            lineBark_[k] += (table[e + 1].bark - table[e].bark) * (k - table[e].line) / (table[e + 1].line - table[e].line);
    }
    if (shape.bitrateKbps / shape.channels >= 96) quietOffset_ = -12.0;
    quietPower_.resize(tables_.entryCount);
    for (int i = 0; i < tables_.entryCount; ++i) quietPower_[i] = power(table[i].quietDb + quietOffset_);
    for (int i = 0; i < 64; ++i) scaleLevel_[i] = 20 * std::log10(kTableB1[i] * 32768) - 10;
    floorPower_ = power(kFloorDb);
    silentLevel_ = level(1e-20) + 90.309;
    silentPower_ = power(silentLevel_);
    // Entries lie in rising line order, so each sub-band's are one run.
    for (int sb = 0, i = 0; sb <= 32; ++sb) {
        while (i < tables_.entryCount && table[i].line / linesPerBand_ < sb) ++i;
        bandEntries_[sb] = i;
    }
    re_.resize(n_);
    im_.resize(n_);
    x_.resize(lines_);
    px_.resize(lines_);
    tonal_.resize(lines_);
    for (auto& r : ring_) r.assign(ringSize_, 0.0);
}

void PsychoModelOne::analyse(const int16_t (*pcm)[1152], const int (*scaleIndices)[32], double (*smr)[32]) {
    int offset = shape_.layer == 2 ? 0 : 64;
    for (int ch = 0; ch < shape_.channels; ++ch) analyseChannel(ch, pcm[ch] + offset, scaleIndices[ch], smr[ch]);
}

void PsychoModelOne::analyseChannel(int ch, const int16_t* samples, const int* scaleIndices, double* smr) {
    double* ring = ring_[ch].data();
    int& write = writePosition_[ch];
    for (int i = 0, p = write; i < newSamples_; ++i, ++p) {
        if (p == ringSize_) p = 0;
        ring[p] = samples[i] / 32768.0;
    }
    double* re = re_.data();
    double* im = im_.data();
    for (int i = 0, p = (write + readOffset_) % ringSize_; i < n_; ++i, ++p) {
        if (p == ringSize_) p = 0;
        re[i] = ring[p] * window_[i];
        im[i] = 0.0;
    }
    write = (write + newSamples_) % ringSize_;
    fft_.transform(re, im);

    // px[k] is power(x[k]) kept beside it, so that each line's power is
    // taken once however many sums use it.
    double* x = x_.data();
    double* px = px_.data();
    // Lines at the energy floor (silence) share one level and power.
    for (int k = 0; k < lines_; ++k) {
        const double energy = re[k] * re[k] + im[k] * im[k];
        if (energy < 1e-20) {
            x[k] = silentLevel_;
            px[k] = silentPower_;
        } else {
            x[k] = level(energy) + 90.309;
            px[k] = power(x[k]);
        }
    }
    const double floorPower = floorPower_;
    auto clear = [&](int k) {
        x[k] = kFloorDb;
        px[k] = floorPower;
    };

    double bandLevel[32];
    for (int sb = 0; sb < 32; ++sb) {
        double sum = 0;
        for (int k = sb * linesPerBand_; k < (sb + 1) * linesPerBand_; ++k) sum += px[k];
        bandLevel[sb] = level(1e-20 + sum);
    }

    // Tonal components: local maxima standing 7 dB above their range.
    std::vector<Component>& components = components_;
    components.clear();
    char* tonal = tonal_.data();
    std::fill(tonal, tonal + lines_, 0);
    int lastCandidate = shape_.layer == 2 ? 499 : 249;
    for (int k = 2; k <= lastCandidate; ++k) {
        if (!(x[k] > x[k - 1] && x[k] >= x[k + 1])) continue;
        int range = tonalRange(shape_.layer, k);
        if (range == 0) continue;
        bool isTonal = true;
        for (int j = 2; j <= range && isTonal; ++j)
            if (x[k] - 7 < x[k - j] || (k + j < lines_ && x[k] - 7 < x[k + j])) isTonal = false;
        if (!isTonal) continue;
        double l = level(px[k - 1] + px[k] + px[k + 1]);
        components.push_back({k, lineEntry_[k], l, true});
        tonal[k] = 1;
        for (int j = 1; j <= range; ++j) {
            clear(k - j);
            if (k + j < lines_) clear(k + j);
        }
        clear(k);
    }

    // Non-tonal components: what is left of each critical band, placed at
    // the band's power-weighted mean critical-band rate.
    for (int b = 0; b + 1 < tables_.boundaryCount; ++b) {
        auto [first, last] = criticalBandLines(tables_, b);
        double sum = 0, weighted = 0;
        for (int k = first; k <= last; ++k) {
            if (tonal[k]) continue;
            double p = px[k];
            sum += p;
            weighted += p * lineBark_[k];
        }
        int line = (first + last) / 2;
        if (sum > 0 && last > first) {
            double zMean = weighted / sum;
            double span = lineBark_[last] - lineBark_[first];
            double pos = span > 0 ? (zMean - lineBark_[first]) / span : 0.5;
            line = first + static_cast<int>(std::lround(std::clamp(pos, 0.0, 1.0) * (last - first)));
        }
        if (tonal[line]) line = (line + 1 < lines_ && !tonal[line + 1]) ? line + 1 : std::max(line - 1, 0);
        components.push_back({line, lineEntry_[line], level(std::max(sum, 1e-20)), false});
    }

    // Decimation: below the threshold in quiet, then the weaker of two tonal
    // components closer than half a Bark.
    const FrequencyEntry* table = tables_.entries;
    std::erase_if(components, [&](const Component& c) { return c.level < table[c.entry].quietDb + quietOffset_; });
    std::sort(components.begin(), components.end(),
              [](const Component& a, const Component& b) { return a.line < b.line; });
    int previous = -1;
    for (size_t i = 0; i < components.size(); ++i) {
        Component& c = components[i];
        if (!c.tonal) continue;
        if (previous >= 0) {
            Component& p = components[previous];
            if (table[c.entry].bark - table[p.entry].bark < 0.5) {
                if (c.level > p.level) {
                    p.level = kFloorDb - 1;  // removed below
                    previous = static_cast<int>(i);
                } else {
                    c.level = kFloorDb - 1;
                }
                continue;
            }
        }
        previous = static_cast<int>(i);
    }
    std::erase_if(components, [](const Component& c) { return c.level < kFloorDb - 0.5; });
    tonalLines_.clear();
    for (const Component& c : components)
        if (c.tonal) tonalLines_.push_back(c.line);

    // Global threshold at every table entry. What a masker brings to every
    // entry is worked out once: its critical-band rate, its level less its
    // offset, and the two level-dependent slopes of its masking function.
    const int count = static_cast<int>(components.size());
    maskers_.resize(count);
    for (int j = 0; j < count; ++j) {
        const Component& c = components[j];
        const double zj = table[c.entry].bark, x = c.level;
        maskers_[j] = {zj, c.tonal ? x - 0.275 * zj - 6.025 : x - 0.175 * zj - 2.025, 0.4 * x + 6, 17 - 0.15 * x};
    }
    // The maskers lie in rising critical-band rate, so those within reach of
    // an entry (dz in [-3, 8)) form one run that moves up with the entry.
    int from = 0, to = 0;
    for (int i = 0; i < tables_.entryCount; ++i) {
        const double zi = table[i].bark;
        while (from < count && zi - maskers_[from].z >= 8) ++from;
        if (to < from) to = from;
        while (to < count && !(zi - maskers_[to].z < -3)) ++to;
        reachFrom_[i] = from;
        reachTo_[i] = to;
    }

    // Minimum threshold and signal-to-mask ratio per sub-band. Only the
    // lowest threshold of a sub-band's entries counts, so an entry whose sum
    // of powers already stands clearly above the lowest sum found (by far
    // more than the logarithm's rounding could undo) is left unfinished. The
    // sub-band's lowest entry of the last frame goes first, as it most often
    // is the lowest again.
    const int last = tables_.entryCount - 1;
    double lastThreshold = 0;
    double minimum[32];
    for (int sb = 0; sb < 32; ++sb) {
        minimum[sb] = 1e9;
        const int first = bandEntries_[sb], end = bandEntries_[sb + 1];
        if (first == end) continue;
        int& lowest = lowestEntry_[ch][sb];
        const int hint = lowest >= first && lowest < end ? lowest : first;
        double least = HUGE_VAL;
        for (int n = first - 1; n < end; ++n) {
            const int i = n < first ? hint : n;
            if (n >= first && i == hint) continue;
            const double bound = i == last || least == HUGE_VAL ? HUGE_VAL : least * (1 + 1e-9);
            const double sum = maskedPower(i, bound);
            if (sum > bound) continue;
            const double threshold = level(sum);
            if (i == last) lastThreshold = threshold;
            minimum[sb] = std::min(minimum[sb], threshold);
            if (sum < least) {
                least = sum;
                lowest = i;
            }
        }
    }
    int lastBand = table[last].line / linesPerBand_;
    for (int sb = 0; sb < 32; ++sb) {
        if (sb > lastBand || minimum[sb] > 1e8) minimum[sb] = sb > 0 && sb <= lastBand ? minimum[sb - 1] : lastThreshold;
        double fromScale = scaleLevel_[scaleIndices[sb]];
        smr[sb] = std::max(bandLevel[sb], fromScale) - minimum[sb];
    }
}

// The threshold in quiet and every masker within reach, as powers, summed
// in rising masker order; the sum stops once it passes bound. Under a
// bound, the loudest masker's power goes first on its own: the whole sum
// cannot be smaller than it added to the threshold in quiet (every term is
// positive and rounding keeps order), which often settles the matter.
double PsychoModelOne::maskedPower(int i, double bound) const {
    const double zi = tables_.entries[i].bark;
    const int from = reachFrom_[i], to = reachTo_[i];
    auto maskingLevel = [&](const Masker& m) {
        const double dz = zi - m.z;
        double spread;
        if (dz < -1)
            spread = 17 * (dz + 1) - m.lowSlope;
        else if (dz < 0)
            spread = m.lowSlope * dz;
        else if (dz < 1)
            spread = -17 * dz;
        else
            spread = -(dz - 1) * m.highSlope - 17;
        return m.offsetLevel + spread;
    };
    int loudest = -1;
    double loudestPower = 0;
    if (bound < HUGE_VAL && to > from) {
        double top = maskingLevel(maskers_[from]);
        loudest = from;
        for (int j = from + 1; j < to; ++j) {
            const double l = maskingLevel(maskers_[j]);
            if (l > top) {
                top = l;
                loudest = j;
            }
        }
        loudestPower = power(top);
        const double least = quietPower_[i] + loudestPower;
        if (least > bound) return least;
    }
    double sum = quietPower_[i];
    for (int j = from; j < to; ++j) {
        sum += j == loudest ? loudestPower : power(maskingLevel(maskers_[j]));
        if (sum > bound) break;
    }
    return sum;
}

const std::vector<double>& PsychoModelOne::globalThreshold() const {
    for (int i = 0; i < tables_.entryCount; ++i) global_[i] = level(maskedPower(i, HUGE_VAL));
    return global_;
}

}  // namespace quillon::audio
