// Shared pieces of the multiplexer tests: an engine with a recording host,
// target settings, and elementary streams made once per test binary by the
// ffmpeg tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon::testing {

class RecordingHost : public Host {
public:
    std::vector<std::string> errors;
    std::vector<std::string> log;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        errors.push_back(caption + ": " + text);
    }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
    void logLine(const std::string& text) override { log.push_back(text); }
    bool logged(const std::string& text) const;
    bool loggedPrefix(const std::string& prefix) const;
};

// The target preset (kind 0..4, NTSC or PAL), stereo sound.
void setMuxTarget(EncoderSettings& s, int kind, bool pal);

// Elementary streams made by the ffmpeg tool, cached in one directory for
// the whole test binary.
struct MadeStreams {
    std::string video(int kind, bool pal);  // .m1v or .m2v for the target
    std::string mp2(bool pal, int rate = 44100);
    std::string ac3();
    // A long MPEG-1 stream of a small picture at 25 pictures per second,
    // GOPs of 15 with two B pictures, a sequence header in front of each.
    std::string smallMpeg1(int width, int height, int seconds);
};
MadeStreams& madeStreams();

}  // namespace quillon::testing
