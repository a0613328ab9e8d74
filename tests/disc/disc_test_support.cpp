#include "tests/disc/disc_test_support.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillon::testing {

namespace {

void putTime(std::vector<uint8_t>& out, int prefix, int64_t t) {
    out.push_back(static_cast<uint8_t>(prefix << 4 | ((t >> 29) & 0x0E) | 1));
    out.push_back(static_cast<uint8_t>(t >> 22));
    out.push_back(static_cast<uint8_t>(((t >> 14) & 0xFE) | 1));
    out.push_back(static_cast<uint8_t>(t >> 7));
    out.push_back(static_cast<uint8_t>(((t << 1) & 0xFE) | 1));
}

void putPacket(std::vector<uint8_t>& out, int id, const std::vector<uint8_t>& body) {
    out.insert(out.end(), {0, 0, 1, static_cast<uint8_t>(id), static_cast<uint8_t>(body.size() >> 8),
                           static_cast<uint8_t>(body.size())});
    out.insert(out.end(), body.begin(), body.end());
}

void padTo(std::vector<uint8_t>& pack, size_t size) {
    const size_t left = size - pack.size();
    putPacket(pack, 0xBE, std::vector<uint8_t>(left - 6, 0xFF));
}

}  // namespace

std::vector<uint8_t> mpeg2Pack(int64_t pts, const std::vector<uint8_t>& audioPayload) {
    std::vector<uint8_t> pack = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0x01, 0x89, 0xC3, 0xF8};
    std::vector<uint8_t> video = {0x81, static_cast<uint8_t>(pts >= 0 ? 0x80 : 0), static_cast<uint8_t>(pts >= 0 ? 5 : 0)};
    if (pts >= 0) putTime(video, 2, pts);
    video.insert(video.end(), {0, 0, 1, 0x00, 0x12, 0x34});  // a picture start in the payload
    putPacket(pack, 0xE0, video);
    if (!audioPayload.empty()) {
        std::vector<uint8_t> audio = {0x81, 0x00, 0x00};
        audio.insert(audio.end(), audioPayload.begin(), audioPayload.end());
        putPacket(pack, 0xC0, audio);
    }
    padTo(pack, 2048);
    return pack;
}

std::vector<uint8_t> mpeg1Pack(int64_t pts) {
    std::vector<uint8_t> pack = {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0x1B, 0x91};
    std::vector<uint8_t> video = {0xFF, 0xFF, 0x60, 0x2E};  // stuffing, buffer size
    putTime(video, 2, pts);
    video.insert(video.end(), 100, 0x55);
    putPacket(pack, 0xE0, video);
    padTo(pack, 2324);
    return pack;
}

std::vector<uint8_t> mpeg2Stream(int64_t firstPts, int pictures, int paddingPacks) {
    std::vector<uint8_t> out;
    for (int i = 0; i < pictures; ++i) {
        const std::vector<uint8_t> p = mpeg2Pack(firstPts + 3600LL * i);
        out.insert(out.end(), p.begin(), p.end());
        for (int k = 0; i == 0 && k < paddingPacks; ++k) {
            const std::vector<uint8_t> pad = mpeg2Pack(-1);
            out.insert(out.end(), pad.begin(), pad.end());
        }
    }
    return out;
}

void writeTool(const std::string& folder, const std::string& name, const std::string& body) {
    const std::string path = folder + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        had_ = true;
        old_ = old;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
    else ::unsetenv(name_.c_str());
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace quillon::testing
