// One conversion job: the job start, which sets the job's values from the
// request and opens the conversion dialog, and the driver the dialog runs
// (video, audio, multiplex, clean-up).
#pragma once

#include <string>
#include <vector>

#include "engine/request.h"

namespace quillon {

class Engine;

// Sets the job values from the request's values (video present, size,
// frames, sound present and format, output name), checks the source format
// and runs the conversion dialog from engine.host().createDialog(). Returns
// 3 when the job completed, 2 when it did not (error, refusal or stop), 4
// after "Unable to create main window.".
int startJob(Engine& engine, const ConversionRequest& values);

// The stream names of a job from the request's output name: the program
// stream name ("temp.mpg" for an empty name), and the same base with
// ".m1v"/".m2v" and ".mpa" (empty without video or sound).
void deriveStreamNames(Engine& engine, const char* outputName);
// The name of split part `counter` (0 for the first) of a program stream:
// the two digits replace a "00" in the file name, else go in front of the
// extension (more digits from part 100 on).
std::string splitPartName(const std::string& programPath, int counter);

// The name cut at its last "." (only a dot of the file name itself counts).
std::string withoutExtension(const std::string& name);

// What a job for a request would write for the user, by final name, as the
// engine's settings stand: for checks before any work (an output that is an
// input, two outputs that are one file, a file that would be replaced).
struct PlannedJobFiles {
    std::string program;               // empty when the job writes no program stream
    bool split = false;                // the program stream goes into numbered parts
    std::vector<std::string> streams;  // elementary streams the job writes and keeps
    std::vector<std::string> reads;    // elementary streams it multiplexes from disk
    std::vector<std::string> streamNames;  // every stream name of the job, written or read
    std::string statistics;            // the statistics file, or empty
};
PlannedJobFiles plannedJobFiles(const Engine& engine, const ConversionRequest& request);

enum class RunOutcome {
    Refused,   // a refusal: nothing ran, the dialog stays in its set-up state
    Finished,  // the run went through its end steps
};

// The driver: refusals, statistics file, the three phases, deletion of
// the intermediate streams, end steps. Reports into engine.activeDialog().
RunOutcome runConversion(Engine& engine);

}  // namespace quillon
