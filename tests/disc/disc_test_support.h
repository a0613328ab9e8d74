// Small program streams with known picture times, and stand-in authoring
// tools, for the disc tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

// One 2048-byte MPEG-2 pack holding a video packet stamped `pts` (or no
// stamp when pts < 0) and an audio packet whose payload is `audioPayload`.
std::vector<uint8_t> mpeg2Pack(int64_t pts, const std::vector<uint8_t>& audioPayload = {});
// A 2324-byte MPEG-1 pack with a stamped video packet (buffer size field
// and stuffing before the stamp).
std::vector<uint8_t> mpeg1Pack(int64_t pts);
// `pictures` video packets 3600 ticks apart from `firstPts`, each in a
// pack of its own, with `paddingPacks` unstamped packs between the first
// and the rest.
std::vector<uint8_t> mpeg2Stream(int64_t firstPts, int pictures, int paddingPacks = 0);

// Writes an executable shell script called `name` into `folder`.
void writeTool(const std::string& folder, const std::string& name, const std::string& body);

// Replaces PATH (and other variables) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

std::string readText(const std::string& path);

}  // namespace quillon::testing
