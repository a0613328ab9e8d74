#include "tests/engine/fake_host.h"

#include <cstdio>

namespace quillon::testing {

namespace {
bool writeFile(const std::string& name, const char* bytes) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return false;
    std::fputs(bytes, f);
    return std::fclose(f) == 0;
}
}  // namespace

bool TestPhases::encodeVideo(Engine& e) {
    ++videoRuns;
    if (!writeFile(e.job.videoStreamName, "video")) return false;
    if (duringVideo) duringVideo(e);
    for (int i = 0; i < e.job.frameCount; ++i) {
        e.job.framesEncoded = i + 1;
        e.setProgress("frame", (i + 1) * 100 / e.job.frameCount);
        if (stopAfterPicture && i + 1 == stopAfterPicture) e.pressStop();
        e.pumpMessages();
        if (e.stopRequested()) return false;
    }
    return videoResult;
}

bool TestPhases::encodeAudio(Engine& e) {
    ++audioRuns;
    audioFirst = e.job.firstSample;
    audioLast = e.job.lastSample;
    audioCount = e.job.sampleCount;
    if (!writeFile(e.job.audioStreamName, "audio")) return false;
    if (duringAudio) duringAudio(e);
    e.pumpMessages();
    if (e.stopRequested()) return false;
    return audioResult;
}

bool TestPhases::multiplex(Engine& e, bool v, bool a) {
    ++muxRuns;
    muxVideo = v;
    muxAudio = a;
    if (!writeFile(e.job.programStreamName, "program")) return false;
    return muxResult;
}

}  // namespace quillon::testing
