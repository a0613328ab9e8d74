// Model-1 tables of ISO/IEC 11172-3 Annex D: the frequency tables D.1a-f
// (spectral line, critical-band rate, threshold in quiet) and the critical-
// band boundaries D.2a-f. The letters run Layer I at 32, 44.1 and 48 kHz
// (a-c), then Layer II at the same rates (d-f).
#pragma once

namespace quillon::audio {

struct FrequencyEntry {
    int line;        // k: the FFT line (512 points in Layer I, 1024 in Layer II)
    double bark;     // z: critical-band rate
    double quietDb;  // threshold in quiet, before the bit-rate offset
};

struct ModelOneTables {
    const FrequencyEntry* entries;
    int entryCount;
    // Entry numbers as the tables print them (1-based): each band runs from
    // its boundary up to the next; the last boundary is the last entry.
    const int* boundaries;
    int boundaryCount;
};

// The spectral lines of critical band b (0 .. boundaryCount - 2): from its
// boundary's line up to the next boundary's, which only the top band takes.
struct LineSpan {
    int first, last;
};
LineSpan criticalBandLines(const ModelOneTables& tables, int band);

// layer 1 or 2; samplingFrequency is the header's code: 0 (44.1 kHz),
// 1 (48 kHz), 2 (32 kHz).
ModelOneTables modelOneTables(int layer, int samplingFrequency);

}  // namespace quillon::audio
