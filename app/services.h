// What the window needs of the rest of the system: the table of opened
// inputs, the conversion engine, the user profile and the power switch.
// The program wires the real ones; tests wire their own.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/dib.h"
#include "app/project_file.h"
#include "disc/disc_image.h"
#include "engine/job_driver.h"
#include "engine/request.h"

namespace quillon::app {

// Facts of an opened input the window shows or computes with.
struct EntryFacts {
    std::string path;
    bool isVideoFile = true;
    bool hasVideo = true;
    bool hasAudio = false;
    int width = 0, height = 0;
    double frameRate = 0;
    int sampleRate = 0;
    int totalFrames = 0;
    int selectedFrames = 0;
    int decodeRoute = 0;
};

// The choices one convert command hands over.
struct ConversionPlan {
    int target = 1;
    int pal = 0;
    int width = 352, height = 240;
    bool joiner = true;
    bool splitEnabled = false;
    int maxFileSizeMB = 600;
    std::string outputName;  // joined output
    // What the engine would write for a request, for the checks before any
    // work (unset: no checks).
    std::function<PlannedJobFiles(const ConversionRequest&)> filesOf;
    // Asked with the files that would be replaced; false: nothing starts.
    std::function<bool(const std::vector<std::string>&)> confirmReplace;
};

struct ConversionOutcome {
    int outputs = 0;    // requests sent
    int completed = 0;  // requests the engine completed (31)
    int lastResult = 0;
    std::string refusal;                // the checks refused: nothing ran
    bool declined = false;              // the user kept the files that would be replaced
    std::vector<std::string> renamed;   // "input -> output" for batch outputs given a new name
};

class InputCatalog {
public:
    virtual ~InputCatalog() = default;
    virtual int count() const = 0;
    virtual int selected() const = 0;  // -1 when empty
    virtual void select(int index) = 0;
    // Opens a path (".lst" in it: an image list); shows its own messages.
    virtual bool open(const std::string& path) = 0;
    virtual void remove(int index) = 0;
    virtual bool moveUp(int index) = 0;
    virtual bool moveDown(int index) = 0;
    virtual void clear() = 0;

    virtual EntryFacts facts(int index) const = 0;
    // Everything a project keeps of the entry.
    virtual ProjectEntry record(int index) const = 0;
    // Copies back what a project restores: the four flag bytes, the crop,
    // the selection fields, the first sample, the current frame and the
    // selected frame and sample counts.
    virtual void restore(int index, const ProjectEntry& saved) = 0;
    virtual void setInvert(int index, bool on) = 0;
    virtual void setFillIn(int index, bool on) = 0;
    virtual void setOutputName(int index, const std::string& name) = 0;
    virtual void setOutputSize(int index, int width, int height) = 0;
    virtual void setCurrentFrame(int index, int frame) = 0;
    virtual int currentFrame(int index) const = 0;

    // The decoders the entry is read through, for the filter dialog.
    virtual std::vector<std::string> decoders(int index) const = 0;
    // The information panel text, lines ended by "\n".
    virtual std::string describe(int index) const = 0;
    // Source frame of the entry as loaded (flip and crop applied).
    virtual bool sourcePicture(int index, int frame, TBaseDib& out) = 0;
    // The picture the engine would receive for local output frame `frame`.
    virtual bool outputPicture(int index, int frame, const ConversionPlan& plan, TBaseDib& out) = 0;

    // Builds the requests (one joined, or one per entry) and sends each
    // through `send`, which returns the engine's result; a batch ends at the
    // first result other than 31.
    virtual ConversionOutcome convert(const ConversionPlan& plan,
                                      const std::function<int(const ConversionRequest&)>& send) = 0;
};

class ConversionEngine {
public:
    virtual ~ConversionEngine() = default;
    // engineInit(code); false when the engine could not be started.
    virtual bool init(int code) = 0;
    // engineConvert: 31 completed, 30 not completed, 4 no dialog.
    virtual int convert(const ConversionRequest& request) = 0;
    virtual int batchMode() const = 0;
    // What a conversion of the request would write, as the settings stand.
    virtual PlannedJobFiles plannedFiles(const ConversionRequest& request) const {
        (void)request;
        return {};
    }
    // Whether the next conversions may replace files that exist.
    virtual void setReplaceExisting(bool on) { (void)on; }
    // The bytes each next conversion's program stream must fit in, coded
    // in two passes; 0: the settings' own bitrate.
    virtual void setFitSize(int64_t bytes) { (void)bytes; }
    // The last conversion: the files it put in place, and whether it was
    // stopped (they then hold the part done).
    virtual std::vector<std::string> lastFiles() const { return {}; }
    virtual bool lastStopped() const { return false; }
    // Why the started engine's settings cannot take a w x h picture (what
    // the target allows), or empty when they can.
    virtual std::string outputSizeProblem(int width, int height) const {
        (void)width;
        (void)height;
        return {};
    }
};

class Preferences {
public:
    virtual ~Preferences() = default;
    virtual int getInt(const std::string& section, const std::string& key, int fallback) = 0;
    virtual void setInt(const std::string& section, const std::string& key, int value) = 0;
};

// Asks the session manager to power the machine off; tests put in a
// recorder so that it never runs there.
using PowerOffFunction = std::function<bool()>;
bool systemPowerOff();

// Opens a file with the desktop's default program.
using OpenFileFunction = std::function<bool(const std::string&)>;

// Makes a disc image of finished outputs in the engine's dialog; true when
// the image is whole.
using MakeDiscFunction = std::function<bool(const disc::DiscRequest&)>;

}  // namespace quillon::app
