// Helpers for the video encoder tests: a recording host, synthetic frame
// sources, settings like the presets', and an observer that keeps the
// encoder's own pictures for comparison with a real decoder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/av_reader.h"
#include "video/encoder/video_types.h"

namespace quillon::testing {

class RecordingHost : public Host {
public:
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> lines;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon icon, bool) override;
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    void logLine(const std::string& text) override { lines.push_back(text); }
    void droppedWarning(const std::string& text) override { warnings.push_back(text); }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
    bool hasLine(const std::string& text) const;
};

// Moving gradients, vertical and diagonal edges and a band of small
// glyph-like strokes, shifted a little every frame.
class SyntheticFrames : public FrameSource {
public:
    SyntheticFrames(int width, int height, int frames = 1000);
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override;
    // Every frame a single colour (B, G, R).
    void setUniform(uint8_t b, uint8_t g, uint8_t r);
    int calls = 0;
    int failFrom = -1;  // frames from here on fail with status 5

private:
    int width_, height_, frames_;
    bool uniform_ = false;
    uint8_t colour_[3] = {};
    std::vector<uint8_t> pixels_;
};

// The PAL preset of kind 0..4 (MPEG-1, VCD, MPEG-2, SVCD, DVD), switched
// to variable bitrate with the fixed quantiser mquantValue.
void configureVideo(EncoderSettings& s, int videoType, int mquantValue);

struct CapturedFrame {
    int displayIndex = 0;
    std::vector<uint8_t> sourceY, reconY, reconCb, reconCr;
};

class CapturingObserver : public PictureObserver {
public:
    void frameCoded(const VideoEncoder& enc) override;
    std::vector<CapturedFrame> frames;  // coding order
    int width = 0, height = 0, chromaWidth = 0, chromaHeight = 0, paddedWidth = 0, paddedChromaWidth = 0;
};

// One engine ready for runVideoEncoder on a synthetic source.
struct VideoJob {
    RecordingHost host;
    Engine engine{host};
    std::unique_ptr<SyntheticFrames> source;
    VideoJob(int width, int height, int frames, const std::string& output, int videoType, int mquantValue);
};

struct StreamCheck {
    double psnrY = 0;          // decoded against the encoder's source luminance, mean over frames
    int maxReconDifference = 0;  // decoded against the encoder's reconstruction, all planes
};
// Compares every decoded picture with the captured frame of the same display index.
StreamCheck compareWithEncoder(const DecodedVideo& video, const CapturingObserver& observer);

}  // namespace quillon::testing
