// Vector forms used by the psychoacoustic models, each with the plain form
// it must match bit for bit, chosen once per run by the routine set.
#pragma once

#include <cstdint>

namespace quillon::audio {

// Model 2's spreading of one masker: for p in [from, to),
// spread[p] += row[p] * energy and weighted[p] += row[p] * tonalEnergy,
// each product rounded on its own.
using SpreadRoutine = void (*)(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                               double* weighted);
void spreadMaskerPlain(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                       double* weighted);
void spreadMaskerSse2(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                      double* weighted);
void spreadMaskerAvx2(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                      double* weighted);

// 0 plain, 1 and 2 SSE2, 3 and 4 AVX2, falling back to what the processor
// (detectCpuFeatures bits) has.
SpreadRoutine selectSpreadRoutine(int MMXMode, uint32_t features);

}  // namespace quillon::audio
