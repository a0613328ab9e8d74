// quillon-make-demo OUTPUT.avi [SECONDS]: a moving colour picture with a
// 440 Hz tone, uncompressed video and 16-bit stereo PCM at 44.1 kHz.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "input/avi_writer.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillon-make-demo OUTPUT.avi [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 4;
    if (seconds < 1 || seconds > 600) {
        std::fprintf(stderr, "quillon-make-demo: SECONDS must be 1..600\n");
        return 2;
    }
    quillon::AviFormat format;
    format.width = 320;
    format.height = 240;
    format.rateNumerator = 30000;
    format.rateDenominator = 1001;
    format.audioChannels = 2;
    format.audioRate = 44100;
    format.audioBits = 16;
    quillon::AviWriter writer;
    if (!writer.open(argv[1], format)) {
        std::fprintf(stderr, "quillon-make-demo: %s\n", writer.error().c_str());
        return 1;
    }
    static constexpr uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                            {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    const int frames = static_cast<int>(seconds * 30000LL / 1001);
    quillon::Bitmap picture;
    picture.allocate(format.width, format.height);
    std::vector<int16_t> pcm;
    long long samplesWritten = 0;
    const double pi = std::acos(-1.0);
    for (int f = 0; f < frames; ++f) {
        for (int y = 0; y < format.height; ++y) {
            uint8_t* row = picture.topRow(y);
            for (int x = 0; x < format.width; ++x) {
                const int bar = ((x + f * 4) / 40) % 8;
                // Colour bars drifting left to right (blue, green, red order),
                // a white square travelling across them.
                const bool square = std::abs(x - (f * 3) % format.width) < 20 && std::abs(y - 120) < 20;
                const uint8_t* c = kBars[bar];
                row[x * 4 + 0] = square ? 255 : c[2];
                row[x * 4 + 1] = square ? 255 : c[1];
                row[x * 4 + 2] = square ? 255 : c[0];
                row[x * 4 + 3] = 0;
            }
        }
        if (!writer.writeFrame(picture)) break;
        const long long until = (f + 1) * 44100LL * 1001 / 30000;
        pcm.clear();
        for (; samplesWritten < until; ++samplesWritten) {
            const auto v = static_cast<int16_t>(12000 * std::sin(2 * pi * 440.0 * samplesWritten / 44100.0));
            pcm.push_back(v);
            pcm.push_back(v);
        }
        if (!writer.writeAudio(pcm.data(), pcm.size() * 2)) break;
    }
    if (!writer.close()) {
        std::fprintf(stderr, "quillon-make-demo: %s\n", writer.error().c_str());
        return 1;
    }
    std::printf("%s: %d frames, %d x %d, 29.97 fps, 44.1 kHz stereo tone\n", argv[1], frames, format.width,
                format.height);
    return 0;
}
