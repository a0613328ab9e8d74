// Derives the tables of audio_tables.cpp and psycho_tables.cpp that are
// defined by a formula rather than listed: the analysis window (a Kaiser-
// windowed prototype low-pass of the 32-band pseudo-QMF bank, cut-off chosen
// for the flattest power complementarity) and the model-1 frequency and
// critical-band tables (spectral lines sampled densely at low frequencies,
// Bark and threshold in quiet from hearing_curves.h).
//
//   g++ -std=c++20 -O2 -I. audio/tools/derive_tables.cpp -o /tmp/derive && /tmp/derive window
//   /tmp/derive psycho
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/hearing_curves.h"

using namespace quillon::audio;

namespace {

constexpr double kPi = 3.14159265358979323846;

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Prototype of length 512, h[0] = 0, symmetric about 256.
std::vector<double> prototype(double cutoff, double beta) {
    std::vector<double> h(512, 0.0);
    for (int n = 1; n < 512; ++n) {
        int m = n - 256;
        double ideal = m == 0 ? cutoff / kPi : std::sin(cutoff * m) / (kPi * m);
        double r = m / 256.0;
        h[n] = ideal * besselI0(beta * std::sqrt(1 - r * r)) / besselI0(beta);
    }
    return h;
}

double response(const std::vector<double>& h, double w) {
    double s = h[256];
    for (int m = 1; m < 256; ++m) s += 2 * h[256 + m] * std::cos(w * m);
    return s;
}

// Largest deviation of |H(w)|^2 + |H(pi/32 - w)|^2 from its mean on [0, pi/32].
double complementarityError(const std::vector<double>& h) {
    double h0 = response(h, 0);
    std::vector<double> v;
    for (int i = 0; i <= 200; ++i) {
        double w = kPi / 32 * i / 200.0;
        double a = response(h, w) / h0, b = response(h, kPi / 32 - w) / h0;
        v.push_back(a * a + b * b);
    }
    double mean = 0;
    for (double x : v) mean += x;
    mean /= v.size();
    double err = 0;
    for (double x : v) err = std::fmax(err, std::fabs(x / mean - 1));
    return err;
}

double stopbandPeak(const std::vector<double>& h) {
    double h0 = response(h, 0), peak = 0;
    for (int i = 0; i <= 4000; ++i) {
        double w = 1.5 * kPi / 32 + (kPi - 1.5 * kPi / 32) * i / 4000.0;
        peak = std::fmax(peak, std::fabs(response(h, w) / h0));
    }
    return peak;
}

// Runs the encoder's analysis and the decoder's synthesis of ISO/IEC 11172-3
// with window c (synthesis window 32c) over a random signal; returns the
// gain and the error power ratio after the 481-sample delay.
void roundTrip(const std::vector<double>& c, double* gain, double* errorRatio) {
    static double m[32][64], n[64][32];
    for (int k = 0; k < 32; ++k)
        for (int i = 0; i < 64; ++i) {
            m[k][i] = std::cos((2 * k + 1) * (i - 16) * kPi / 64);
            n[i][k] = std::cos((16 + i) * (2 * k + 1) * kPi / 64);
        }
    const int total = 32 * 400;
    std::vector<double> in(total), out(total);
    unsigned seed = 1;
    for (double& x : in) {
        seed = seed * 1103515245u + 12345u;
        x = ((seed >> 8) & 0xFFFF) / 32768.0 - 1;
    }
    std::vector<double> x(512, 0), v(1024, 0);
    for (int b = 0; b < total / 32; ++b) {
        for (int i = 511; i >= 32; --i) x[i] = x[i - 32];
        for (int i = 31; i >= 0; --i) x[i] = in[b * 32 + 31 - i];
        double y[64] = {};
        for (int i = 0; i < 64; ++i)
            for (int j = 0; j < 8; ++j) y[i] += c[i + 64 * j] * x[i + 64 * j];
        double s[32];
        for (int k = 0; k < 32; ++k) {
            s[k] = 0;
            for (int i = 0; i < 64; ++i) s[k] += m[k][i] * y[i];
        }
        for (int i = 1023; i >= 64; --i) v[i] = v[i - 64];
        for (int i = 0; i < 64; ++i) {
            v[i] = 0;
            for (int k = 0; k < 32; ++k) v[i] += n[i][k] * s[k];
        }
        double u[512];
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 32; ++j) {
                u[i * 64 + j] = v[i * 128 + j];
                u[i * 64 + 32 + j] = v[i * 128 + 96 + j];
            }
        for (int j = 0; j < 32; ++j) {
            double sum = 0;
            for (int i = 0; i < 16; ++i) sum += u[j + 32 * i] * 32 * c[j + 32 * i];
            out[b * 32 + j] = sum;
        }
    }
    const int delay = 481;
    double xy = 0, xx = 0;
    for (int t = 2000; t < total; ++t) {
        xy += in[t - delay] * out[t];
        xx += in[t - delay] * in[t - delay];
    }
    double g = xy / xx, e = 0;
    for (int t = 2000; t < total; ++t) {
        double d = out[t] - g * in[t - delay];
        e += d * d;
    }
    *gain = g;
    *errorRatio = e / (g * g * xx);
}

std::vector<double> windowFrom(const std::vector<double>& h) {
    std::vector<double> c(512);
    for (int i = 0; i < 512; ++i) c[i] = ((i / 64) % 2 ? -1 : 1) * h[i];
    return c;
}

// beta = 10.75 gives the prototype the shape of the standard's window (its
// samples every 32 taps, as far as they are known, agree within about 1 %);
// the cut-off is then the one of flattest power complementarity.
void deriveWindow() {
    const double bestBeta = 10.75;
    double lo = 0.85 * kPi / 64, hi = 1.25 * kPi / 64;
    for (int it = 0; it < 80; ++it) {
        double a = lo + (hi - lo) / 3, b = hi - (hi - lo) / 3;
        if (complementarityError(prototype(a, bestBeta)) < complementarityError(prototype(b, bestBeta)))
            hi = b;
        else
            lo = a;
    }
    const double bestCut = (lo + hi) / 2;
    std::vector<double> h = prototype(bestCut, bestBeta);
    std::fprintf(stderr, "complementarity %.3g stopband %.1f dB\n", complementarityError(h),
                 20 * std::log10(stopbandPeak(h)));
    std::vector<double> c = windowFrom(prototype(bestCut, bestBeta));
    double gain, ratio;
    roundTrip(c, &gain, &ratio);
    for (double& x : c) x /= std::sqrt(gain);
    roundTrip(c, &gain, &ratio);
    std::fprintf(stderr, "chosen beta %.2f cut %.9f*pi/64; round trip gain %.6f, error %.1f dB\n", bestBeta,
                 bestCut / (kPi / 64), gain, 10 * std::log10(ratio));
    std::printf("// beta %.2f, cut-off %.9f * pi/64\n", bestBeta, bestCut / (kPi / 64));
    for (int i = 0; i < 512; ++i) std::printf("%s%.9f,%s", i % 8 ? " " : "    ", c[i], i % 8 == 7 ? "\n" : "");
}

// Model-1 lines: every line up to 48, every second up to 96, every fourth
// (Layer I) or, for Layer II, every fourth up to 192 and every eighth beyond.
std::vector<int> modelOneLines(int layer, int lastLine) {
    std::vector<int> lines;
    for (int k = 1; k <= lastLine;) {
        lines.push_back(k);
        int step = k < 48 ? 1 : k < 96 ? 2 : (layer == 1 || k < 192) ? 4 : 8;
        k += step;
    }
    return lines;
}

void derivePsycho() {
    struct T { const char* name; int layer; int rate; int last; };
    const T tables[] = {{"D1a", 1, 32000, 224}, {"D1b", 1, 44100, 240}, {"D1c", 1, 48000, 224},
                        {"D1d", 2, 32000, 496}, {"D1e", 2, 44100, 480}, {"D1f", 2, 48000, 448}};
    for (const T& t : tables) {
        int n = t.layer == 1 ? 512 : 1024;
        std::vector<int> lines = modelOneLines(t.layer, t.last);
        std::printf("constexpr FrequencyEntry kTable%s[%zu] = {\n", t.name, lines.size());
        std::vector<int> bounds;
        int prevBand = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            double f = lines[i] * double(t.rate) / n;
            double z = std::round(barkOf(f) * 1000) / 1000;
            double thr = std::round(thresholdInQuietDb(f) * 100) / 100;
            std::printf("%s{%d, %.3f, %.2f},%s", i % 4 ? " " : "    ", lines[i], z, thr,
                        i % 4 == 3 || i + 1 == lines.size() ? "\n" : "");
            int band = static_cast<int>(std::floor(z));
            if (band != prevBand) bounds.push_back(static_cast<int>(i));
            prevBand = band;
        }
        if (bounds.back() != static_cast<int>(lines.size()) - 1) bounds.push_back(static_cast<int>(lines.size()) - 1);
        std::printf("};\nconstexpr int kTable%c%c%c[%zu] = {", 'D', '2', t.name[2], bounds.size());
        for (size_t i = 0; i < bounds.size(); ++i) std::printf("%s%d", i ? ", " : "", bounds[i]);
        std::printf("};\n\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) deriveWindow();
    if (argc > 1 && std::strcmp(argv[1], "psycho") == 0) derivePsycho();
    return 0;
}
