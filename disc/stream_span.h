// How long a program stream file plays, read from the presentation times
// of its video packets: the chapter marks of a title whose parts are split
// files are placed against each part's own start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::disc {

// The video presentation times (90 kHz) found in a run of whole packs,
// MPEG-1 or MPEG-2, starting anywhere: bytes before the first pack start
// code are skipped, and a pack cut off at the end is ignored.
std::vector<int64_t> videoTimes(const uint8_t* data, size_t size);

// Seconds from the first picture to the end of the last one, from the
// start and the end of the file (a few megabytes each, not the whole
// file); framePeriod is one picture in 90 kHz ticks. -1 when the file
// cannot be read or holds no stamped video packet.
double playingSeconds(const std::string& path, int64_t framePeriod);

}  // namespace quillon::disc
