#include "tests/input/test_media.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "input/avi_writer.h"
#include "tests/support/temp_dir.h"

namespace quillon::testing {

namespace {

TempDir& folder() {
    static TempDir dir;
    return dir;
}

constexpr uint8_t kRegions[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {0, 255, 255}};  // B, G, R

}  // namespace

const std::string& mediaDir() {
    static const std::string dir = folder().path().string();
    return dir;
}

void drawPattern(Bitmap& picture, int width, int height, int frame) {
    picture.allocate(width, height);
    const int band = height / 4;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture.topRow(y);
        for (int x = 0; x < width; ++x) {
            uint8_t b, g, r;
            if (y < band) {
                const int bit = 7 - x * 8 / width;
                const bool on = (frame >> bit) & 1;
                b = g = r = on ? 255 : 0;
            } else {
                const bool right = x >= width / 2;
                const bool lower = y >= band + (height - band) / 2;
                const uint8_t* c = kRegions[(lower ? 2 : 0) + (right ? 1 : 0)];
                b = c[0];
                g = c[1];
                r = c[2];
            }
            row[x * 4] = b;
            row[x * 4 + 1] = g;
            row[x * 4 + 2] = r;
            row[x * 4 + 3] = 0;
        }
    }
}

int readFrameNumber(const Bitmap& picture, int x0, int y0, int width, int height) {
    if (width < 0) width = picture.width;
    if (height < 0) height = picture.height;
    const int band = height / 4;
    int value = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const int x = x0 + (bit * width + width / 2) / 8;
        const int y = y0 + band / 2;
        const Bgr c = pixelAt(picture, x, y);
        const int luma = (c.b + c.g + c.r) / 3;
        if (luma > 96 && luma < 160) return -1;
        value = value * 2 + (luma >= 160 ? 1 : 0);
    }
    return value;
}

int16_t patternSample(int64_t index, int channel) {
    const int v = static_cast<int>((index * 7) % 60000) - 30000;
    return static_cast<int16_t>(channel == 0 ? v : -v);
}

Bgr pixelAt(const Bitmap& picture, int x, int y) {
    const uint8_t* p = picture.topRow(y) + x * 4;
    return {p[0], p[1], p[2]};
}

Bgr pixelAt(const uint8_t* bottomUp, int rowBytes, int height, int x, int y) {
    const uint8_t* p = bottomUp + static_cast<ptrdiff_t>(height - 1 - y) * rowBytes + x * 4;
    return {p[0], p[1], p[2]};
}

bool near(const Bgr& c, int b, int g, int r, int tolerance) {
    return std::abs(c.b - b) <= tolerance && std::abs(c.g - g) <= tolerance && std::abs(c.r - r) <= tolerance;
}

std::string patternAvi(const std::string& name, const PatternClip& clip) {
    const std::string path = mediaDir() + "/" + name;
    if (std::filesystem::exists(path)) return path;
    AviFormat format;
    format.width = clip.width;
    format.height = clip.height;
    format.rateNumerator = clip.rateNumerator;
    format.rateDenominator = clip.rateDenominator;
    format.audioChannels = clip.audioChannels;
    format.audioRate = clip.audioRate;
    format.audioBits = clip.audioBits;
    AviWriter writer;
    if (!writer.open(path, format)) return {};
    Bitmap picture;
    int64_t written = 0;
    std::vector<uint8_t> pcm;
    for (int f = 0; f < clip.frames; ++f) {
        drawPattern(picture, clip.width, clip.height, f);
        writer.writeFrame(picture);
        if (clip.audioChannels > 0) {
            const int64_t until = static_cast<int64_t>(f + 1) * clip.audioRate * clip.rateDenominator / clip.rateNumerator;
            pcm.clear();
            for (; written < until; ++written) {
                for (int ch = 0; ch < clip.audioChannels; ++ch) {
                    const int16_t v = patternSample(written, ch);
                    if (clip.audioBits == 8) {
                        pcm.push_back(static_cast<uint8_t>((v + 32768) >> 8));
                    } else {
                        pcm.push_back(static_cast<uint8_t>(v & 0xFF));
                        pcm.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
                    }
                }
            }
            writer.writeAudio(pcm.data(), pcm.size());
        }
    }
    if (!writer.close()) return {};
    return path;
}

std::string transcode(const std::string& name, const std::string& source, const std::string& args) {
    const std::string path = mediaDir() + "/" + name;
    if (std::filesystem::exists(path)) return path;
    const std::string command =
        "ffmpeg -nostdin -y -v error -i '" + source + "' " + args + " -threads 1 '" + path + "' 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    return path;
}

}  // namespace quillon::testing
