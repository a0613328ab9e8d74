// Turning the user's choices into one ConversionRequest per output: the
// target table sizes, the audio rate, the joiner's and the batch's frame and
// sample counts, and the batch that stops at the first output that does not
// complete. Shared by the command line and the desktop program.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/job_driver.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "input/frame_delivery.h"
#include "input/input_table.h"

namespace quillon {

// Targets as the window numbers them.
enum Target : int { kTargetMpeg1 = 0, kTargetVcd = 1, kTargetMpeg2 = 2, kTargetSvcd = 3, kTargetDvd = 4 };

inline constexpr int kEngineCompleted = 31;
inline constexpr int kMinOutputWidth = 32, kMaxOutputWidth = 1920;
inline constexpr int kMinOutputHeight = 32, kMaxOutputHeight = 1152;
inline constexpr int kMinSplitMB = 1, kMaxSplitMB = 4096;

struct OutputSize {
    int width = 0;
    int height = 0;
};

// The size the target's radio sets; MPEG-1 and MPEG-2 take the selected
// input's size rounded down to even sides (352x240 / 352x288 when there is
// none).
OutputSize targetSize(int target, int pal, const InputFileEntry* selected);

// A size-field edit. Returns the value to store, or the previous value when
// the text is not an integer in range. With per-entry settings the width is
// rounded down to a multiple of 16 for MPEG-1 and MPEG-2, the height only for
// MPEG-1.
int widthFieldValue(const std::string& text, int previous, int target, bool perEntrySettings);
int heightFieldValue(const std::string& text, int previous, int target, bool perEntrySettings);

// The audio rate of a request: 44100 for VCD and SVCD, 48000 for DVD, else
// the first input's rate after doubling (44100 when it has no sound).
int requestSampleRate(int target, const InputFileEntry* first);

// 25 for PAL, 29.97 for NTSC.
double outputFrameRate(int pal);
// The pictures an entry gives at the output rate:
// floor(selectedFrames x F / frameRate + 0.005).
int outputFrameCount(const InputFileEntry& entry, int pal);
// The last output frame number of an entry converted alone: the count - 1.
int lastOutputFrame(const InputFileEntry& entry, int pal);

struct ConversionChoice {
    int target = kTargetVcd;
    int pal = 0;
    int width = 352;
    int height = 240;
    bool joiner = true;
    bool splitEnabled = false;
    int maxFileSizeMB = 600;
    std::string outputName;  // joiner output
    std::string outputDir;   // batch outputs, when their entries name none
    // Batch: an entry's own outputWidth/outputHeight, when set, replace the
    // common size.
    bool perEntrySizes = false;
};

// One output to produce: the request and the delivery that serves its
// callbacks (the request points into the delivery and the name).
struct PlannedOutput {
    std::string outputName;
    // Generic MPEG-1: the pel aspect code that keeps the first input's shape
    // (see mpeg1PelAspectCode); 0 for the other targets.
    int pelAspectCode = 0;
    std::vector<int> entries;  // table indices served, in order
    std::unique_ptr<EntryDelivery> delivery;
    ConversionRequest request;
};

// The MPEG-1 pel aspect code (1..14, the pel's height / width) nearest to
// the pixels a picture of width x height shows of the entry: proportional
// scaling keeps the source's pixels (square ones give code 1), stretching
// changes them by the ratio of the two shapes.
int mpeg1PelAspectCode(const InputFileEntry& entry, int width, int height);

// Puts a planned pel aspect code into the settings of a generic MPEG-1 job.
// initialCode is the code the settings had after start-up: one other than
// the preset's 8 or 12 was the user's and stays. False when nothing changed.
bool applyPelAspectCode(EncoderSettings& s, int code, int initialCode);

// Builds the outputs. Joiner: one output over every entry (outputFrames set
// in each entry, and the output has their sum). Batch: one per entry, named by the entry's outputName.
std::vector<PlannedOutput> planConversions(InputTable& table, const ConversionChoice& choice,
                                           const DeliveryHooks& hooks);

// Runs the plan: convert is called once per output with its request and
// returns the engine's result; a batch stops at the first result other than
// 31. Returns the number of outputs that completed. The first entry is
// selected again afterwards.
int runConversions(InputTable& table, std::vector<PlannedOutput>& plan,
                   const std::function<int(PlannedOutput&)>& convert);

// Gives every output of a batch a name of its own: an output whose name is
// already taken by an earlier output of the batch (the same path, or the
// same file) gets "-2", "-3", ... before its extension. Returns the outputs
// renamed, by plan index.
std::vector<int> giveBatchOutputsOwnNames(std::vector<PlannedOutput>& plan);

// What the checks before any work found.
struct OutputFilesCheck {
    std::string refusal;                // non-empty: the conversion must not start
    bool conflict = false;              // the refusal is of names given (not of a folder)
    std::vector<std::string> existing;  // files the conversion would replace
};

// Checks every file the plan would write (filesOf gives an output's files as
// the engine would write them): none may be
// an input (by path, link or hard link) or a file the conversion reads, no
// program stream may have the name of one of its job's streams,
// none may be written twice (the statistics file excepted, which every
// output of a batch rewrites), and each folder must take new files. Lists
// the files that exist already.
OutputFilesCheck checkOutputFiles(const InputTable& table, const std::vector<PlannedOutput>& plan,
                                  const std::function<PlannedJobFiles(const PlannedOutput&)>& filesOf);

// The default output name for an input path: its extension replaced by ".mpg"
// (in outputDir when given).
std::string defaultOutputName(const std::string& inputPath, const std::string& outputDir = {});

}  // namespace quillon
