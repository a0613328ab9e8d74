// Test inputs: AVI files whose pictures carry their frame number and a
// pattern of known coloured regions, written by our AVI writer and turned
// into other codecs by the ffmpeg command-line tool. Made once per test
// binary in a scratch folder.
#pragma once

#include <cstdint>
#include <string>

#include "engine/host.h"
#include "image/bitmap.h"

namespace quillon::testing {

struct PatternClip {
    int width = 64;
    int height = 48;
    int rateNumerator = 25;
    int rateDenominator = 1;
    int frames = 25;
    int audioChannels = 0;  // 0: no sound
    int audioRate = 44100;
    int audioBits = 16;
};

// The folder all generated media live in (removed when the binary exits).
const std::string& mediaDir();

// Writes the pattern clip as raw BGR24 AVI (cached by name).
std::string patternAvi(const std::string& name, const PatternClip& clip);
// Transcodes a file with ffmpeg; args go between input and output
// ("-c:v mjpeg -q:v 2"). Cached by name.
std::string transcode(const std::string& name, const std::string& source, const std::string& args);

// The pattern of frame f: the top quarter holds 8 bit cells (frame number,
// white = 1); below it four quadrants: red top-left, green top-right, blue
// bottom-left, yellow bottom-right.
void drawPattern(Bitmap& picture, int width, int height, int frame);
// Reads the frame number back (-1 when the cells are unclear).
int readFrameNumber(const Bitmap& picture, int x0 = 0, int y0 = 0, int width = -1, int height = -1);
// Sound of the clip: a left and a right signal that encode the sample index
// (the left rises by 7 per sample, the right falls), so a test can tell
// which source sample landed where.
int16_t patternSample(int64_t index, int channel);

// Colour at (x, y) counted from the top-left, as B, G, R.
struct Bgr {
    int b, g, r;
};
Bgr pixelAt(const Bitmap& picture, int x, int y);
Bgr pixelAt(const uint8_t* bottomUp, int rowBytes, int height, int x, int y);
bool near(const Bgr& c, int b, int g, int r, int tolerance = 40);

// A Host that records messages instead of showing them.
class RecordingHost : public Host {
public:
    struct Message {
        std::string caption, text;
    };
    std::vector<Message> messages;
    std::vector<std::string> log;
    bool answer = true;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        messages.push_back({caption, text});
    }
    bool askYesNo(const std::string& caption, const std::string& text) override {
        messages.push_back({caption, text});
        return answer;
    }
    void logLine(const std::string& text) override { log.push_back(text); }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

}  // namespace quillon::testing
