// Small program streams with known picture times, and stand-in authoring
// tools, for the disc tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

// The start of a picture with temporal reference `tr` as it appears in a
// video stream, after a group of pictures header when `group` is set.
std::vector<uint8_t> pictureStart(int tr, bool group);
// One 2048-byte MPEG-2 pack: a video packet carrying `video`, stamped
// `pts` (unstamped when pts < 0), and an audio packet carrying `audio`
// when that is not empty.
std::vector<uint8_t> mpeg2Pack(int64_t pts, const std::vector<uint8_t>& video, const std::vector<uint8_t>& audio = {});
// A 2324-byte MPEG-1 pack with a stamped video packet (buffer size field
// and stuffing before the stamp; `withDts` adds a decoding time).
std::vector<uint8_t> mpeg1Pack(int64_t pts, const std::vector<uint8_t>& video, bool withDts = false);
// `groups` groups of 25 pictures at 25 per second in coding order (I B B P
// B B ...), only the I pictures stamped, one pack each; the first picture
// shown at `firstPts`; `paddingPacks` unstamped packs after the first group.
std::vector<uint8_t> mpeg2Stream(int64_t firstPts, int groups, int paddingPacks = 0);

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
