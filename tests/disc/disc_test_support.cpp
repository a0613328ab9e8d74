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

std::vector<uint8_t> pictureStart(int tr, bool group) {
    std::vector<uint8_t> out;
    if (group) out.insert(out.end(), {0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x40});
    out.insert(out.end(), {0, 0, 1, 0x00, static_cast<uint8_t>(tr >> 2), static_cast<uint8_t>((tr & 3) << 6 | 0x08),
                           0xFF, 0xF8, 0x55, 0x55});
    return out;
}

std::vector<uint8_t> mpeg2Pack(int64_t pts, const std::vector<uint8_t>& video, const std::vector<uint8_t>& audio) {
    std::vector<uint8_t> pack = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0x01, 0x89, 0xC3, 0xF8};
    std::vector<uint8_t> body = {0x81, static_cast<uint8_t>(pts >= 0 ? 0x80 : 0), static_cast<uint8_t>(pts >= 0 ? 7 : 2)};
    if (pts >= 0) putTime(body, 2, pts);
    body.insert(body.end(), {0xFF, 0xFF});  // stuffing in the header
    body.insert(body.end(), video.begin(), video.end());
    putPacket(pack, 0xE0, body);
    if (!audio.empty()) {
        std::vector<uint8_t> a = {0x81, 0x00, 0x00};
        a.insert(a.end(), audio.begin(), audio.end());
        putPacket(pack, 0xC0, a);
    }
    padTo(pack, 2048);
    return pack;
}

std::vector<uint8_t> mpeg1Pack(int64_t pts, const std::vector<uint8_t>& video, bool withDts) {
    std::vector<uint8_t> pack = {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0x1B, 0x91};
    std::vector<uint8_t> body = {0xFF, 0xFF, 0x60, 0x2E};  // stuffing, buffer size
    putTime(body, withDts ? 3 : 2, pts);
    if (withDts) putTime(body, 1, pts - 3600);
    body.insert(body.end(), video.begin(), video.end());
    putPacket(pack, 0xE0, body);
    padTo(pack, 2324);
    return pack;
}

std::vector<uint8_t> mpeg2Stream(int64_t firstPts, int groups, int paddingPacks) {
    constexpr int kGroup = 25;
    // Coding order: each anchor (I, then P every third picture) before the
    // B pictures shown ahead of it.
    std::vector<int> order;
    int previous = -1;
    for (int anchor = 2; anchor < kGroup; anchor += 3) {
        order.push_back(anchor);
        for (int b = previous + 1; b < anchor; ++b) order.push_back(b);
        previous = anchor;
    }
    for (int t = previous + 1; t < kGroup; ++t) order.push_back(t);
    std::vector<uint8_t> out;
    for (int g = 0; g < groups; ++g) {
        for (size_t k = 0; k < order.size(); ++k) {
            const int64_t pts = k == 0 ? firstPts + (g * kGroup + order[k]) * 3600LL : -1;
            const std::vector<uint8_t> p = mpeg2Pack(pts, pictureStart(order[k], k == 0));
            out.insert(out.end(), p.begin(), p.end());
        }
        for (int k = 0; g == 0 && k < paddingPacks; ++k) {
            const std::vector<uint8_t> pad = mpeg2Pack(-1, {0x11, 0x22});
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
