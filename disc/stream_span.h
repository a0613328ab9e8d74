// How long a program stream file plays, read from its video: the chapter
// marks of a title whose parts are split files are placed against each
// part's own start. Streams may stamp only some pictures (only the I
// pictures, say); the others are placed by their temporal reference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::disc {

// A picture of the video stream as found in a run of packs.
struct StreamPicture {
    bool groupStart = false;    // a group of pictures header came before it
    int temporalReference = 0;  // display position within its group
    int64_t pts = -1;           // 90 kHz presentation time; -1 when unstamped
};

// The pictures of the video packets in a run of whole packs, MPEG-1 or
// MPEG-2, starting anywhere: bytes before the first pack start code are
// skipped, and a pack cut off at the end is ignored.
std::vector<StreamPicture> videoPictures(const uint8_t* data, size_t size);

// First and end display times (90 kHz) of the pictures, the end being
// when the last picture shown stops being shown; false when no picture of
// a stamped group is among them. framePeriod: one picture in 90 kHz ticks.
bool displaySpan(const std::vector<StreamPicture>& pictures, int64_t framePeriod, int64_t* first, int64_t* end);

// Seconds from the first picture shown to the end of the last, read from
// the start and the end of the file (a few megabytes each, not the whole
// file). -1 when the file cannot be read or holds no stamped picture.
double playingSeconds(const std::string& path, int64_t framePeriod);

}  // namespace quillon::disc
