// Model-1 tables of ISO/IEC 11172-3 Annex D: the frequency tables D.1a-f
// (spectral line, critical-band rate, threshold in quiet) and the critical-
// band boundaries D.2a-f (indices into the frequency table). Tables a-c are
// Layer I at 32, 44.1 and 48 kHz; d-f Layer II at the same rates.
#pragma once

namespace quillon::audio {

struct FrequencyEntry {
    int line;
    double bark;
    double quietDb;
};

struct ModelOneTables {
    const FrequencyEntry* entries;
    int entryCount;
    const int* bandStarts;  // first entry of each critical band
    int bandCount;
};

// layer 1 or 2; samplingFrequency 0 (44.1 kHz), 1 (48 kHz), 2 (32 kHz).
ModelOneTables modelOneTables(int layer, int samplingFrequency);

}  // namespace quillon::audio
