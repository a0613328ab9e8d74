// The multiplexer's time value: a 33-bit 90 kHz base and a 27 MHz extension,
// stored in the units files exactly as laid out here.
#pragma once

#include <cmath>
#include <cstdint>

namespace quillon {

constexpr double kTicksPerSecond = 27000000.0;
constexpr double kTicksPerMs = 27000.0;

struct ClockValue {
    uint32_t baseHigh = 0;   // bit 32 of the base
    uint32_t baseLow = 0;    // bits 31..0, 90 kHz units
    uint32_t extension = 0;  // 0..299, 27 MHz units; 0 in MPEG-1 program streams
    uint32_t negative = 0;

    double base() const { return baseHigh * 4294967296.0 + baseLow; }
    double ticks() const {
        double v = base() * 300.0 + extension;
        return negative ? -v : v;
    }
    // mpeg2: keep the extension (program stream types 2..4).
    void set(double v, bool mpeg2) {
        negative = v < 0 ? 1 : 0;
        v = std::fabs(v);
        const double whole = std::floor(v / 300.0);
        // Bases past 33 bits wrap, as the 33-bit field of the streams does;
        // the extension is the remainder of the unwrapped value.
        const double b = std::fmod(whole, 8589934592.0);
        baseHigh = b >= 4294967296.0 ? 1 : 0;
        baseLow = static_cast<uint32_t>(b - baseHigh * 4294967296.0);
        extension = mpeg2 ? static_cast<uint32_t>(v - whole * 300.0) : 0;
        if (extension > 299) extension = 299;
    }
    void clear() { *this = ClockValue(); }
};

static_assert(sizeof(ClockValue) == 16);

inline bool clockLessEqual(const ClockValue& a, const ClockValue& b) { return a.ticks() <= b.ticks(); }
inline ClockValue clockAdd(const ClockValue& a, const ClockValue& b, bool mpeg2) {
    ClockValue r;
    r.set(a.ticks() + b.ticks(), mpeg2);
    return r;
}

}  // namespace quillon
