// Shared pieces of the multiplexer tests: an engine with a recording host,
// target settings, elementary streams made once per test binary by the
// ffmpeg tool, and a walker over the packs of a program stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
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

// Runs a shell command; true when it exits with 0. Output goes to outFile
// when given.
bool runCommand(const std::string& command, std::string* output = nullptr);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& data);

// Elementary streams made by the ffmpeg tool, cached in one directory for
// the whole test binary.
struct MadeStreams {
    std::string video(int kind, bool pal);  // .m1v or .m2v for the target
    std::string mp2(bool pal, int rate = 44100);
    std::string ac3();
};
MadeStreams& madeStreams();

struct PacketInfo {
    int streamId = 0;
    size_t offset = 0;
    size_t length = 0;  // whole packet, start code included
    size_t payloadOffset = 0, payloadLength = 0;
    bool hasPts = false, hasDts = false;
    int64_t pts = 0, dts = 0;
    bool bufferField = false;
};

struct PackInfo {
    size_t offset = 0;
    size_t length = 0;  // up to the next pack start, trailing zeros included
    int64_t scr = 0;    // 90 kHz base
    bool systemHeader = false;
    int systemHeaderLength = 0;
    std::vector<PacketInfo> packets;
};

// Walks the packs of a program stream; ok is false when the bytes do not
// parse as packs.
std::vector<PackInfo> walkPacks(const std::vector<uint8_t>& file, bool& ok, bool& endCode);

}  // namespace quillon::testing
