#include "audio/psycho_routines.h"

#include "platform/cpu_features.h"

namespace quillon::audio {

void spreadMaskerPlain(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                       double* weighted) {
    for (int p = from; p < to; ++p) {
        spread[p] += row[p] * energy;
        weighted[p] += row[p] * tonalEnergy;
    }
}

SpreadRoutine selectSpreadRoutine(int MMXMode, uint32_t features) {
    if (MMXMode < 1 || MMXMode > 4 || !(features & kCpuSse2)) return spreadMaskerPlain;
    if (MMXMode < 3 || !(features & kCpuAvx2)) return spreadMaskerSse2;
    return spreadMaskerAvx2;
}

}  // namespace quillon::audio
