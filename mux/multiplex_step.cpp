#include "mux/multiplex_step.h"

#include <cstdio>
#include <string>

#include "engine/engine.h"
#include "engine/format.h"
#include "mux/multiplexer.h"
#include "mux/stream_scan.h"
#include "platform/temp_name.h"

namespace quillon {

namespace {

// The units files of one step; whatever is still listed is removed when the
// step ends, so a failed later scan leaves nothing of the earlier ones.
struct UnitsFileNames {
    std::string path[3];
    ~UnitsFileNames() {
        for (const std::string& p : path)
            if (!p.empty()) std::remove(p.c_str());
    }
};

bool makeUnitsName(Engine& engine, const char* prefix, std::string& out) {
    out = createTemporaryFile(prefix);
    if (out.empty()) {
        engine.reportError(formatText("Unable to create a temporary file %sN in %s.", prefix,
                                      temporaryDirectory().c_str()));
        return false;
    }
    return true;
}

}  // namespace

bool runMultiplexStep(Engine& engine, bool multiplexVideo, bool multiplexAudio) {
    const JobValues& job = engine.job;
    int mask = 0;
    if (multiplexVideo) mask |= kMaskVideo;
    if (multiplexAudio && !job.audioStreamName.empty()) mask |= kMaskAudio1;
    if (multiplexAudio && engine.work.programStreamType != 1 && !job.audio2StreamName.empty()) mask |= kMaskAudio2;
    if (mask == 0) return true;

    double sizes[3];
    if (!checkInputTypes(engine, mask, job.videoStreamName, job.audioStreamName, job.audio2StreamName, sizes))
        return false;

    UnitsFileNames names;
    VideoStreamInfo video;
    AudioStreamInfo audio[2];
    MultiplexInputs inputs;
    inputs.mask = mask;
    double startTime = 0;
    if (mask & kMaskVideo) {
        if (!makeUnitsName(engine, "tmp_v", names.path[0])) return false;
        if (!scanVideoStream(engine, job.videoStreamName, names.path[0], video, sizes[0], inputs.unitCounts[0],
                             startTime))
            return false;
        engine.setProgress("", 0);
    }
    const std::string* audioNames[2] = {&job.audioStreamName, &job.audio2StreamName};
    const char* prefixes[2] = {"tmp_a", "tmpa1"};
    for (int i = 0; i < 2; ++i) {
        if (!(mask & (kMaskAudio1 << i))) continue;
        if (!makeUnitsName(engine, prefixes[i], names.path[1 + i])) return false;
        if (!scanAudioStream(engine, *audioNames[i], names.path[1 + i], audio[i], startTime, sizes[1 + i],
                             inputs.unitCounts[1 + i]))
            return false;
        engine.setProgress("", 0);
    }
    // The multiplexer removes the units files itself when it ends. Once it
    // has them they are no longer ours: removing them again afterwards could
    // delete another job's file that took a freed name in the meantime.
    for (int i = 0; i < 3; ++i) inputs.unitsPath[i] = std::move(names.path[i]);
    for (std::string& p : names.path) p.clear();
    inputs.video = &video;
    inputs.audio[0] = &audio[0];
    inputs.audio[1] = &audio[1];
    return runMultiplexer(engine, inputs);
}

}  // namespace quillon
