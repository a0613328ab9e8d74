// The .qlp project file: a little-endian header and one 1112-byte record
// per input, read and written field by field so the layout does not depend
// on the compiler's packing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::app {

inline constexpr int kProjectPathSize = 260;
inline constexpr int kProjectHeaderSize = 4 * 4 + kProjectPathSize + 4 + 4 + 1;  // 285
inline constexpr int kProjectRecordSize = 1112;
inline constexpr int kProjectMaxEntries = 256;

inline constexpr const char* kProjectFilter =
    "quillon project files (*.QLP)|*.qlp|All Files (*.*)|*.*|";
inline constexpr const char* kProjectExtension = ".qlp";
// After the records a project keeps the target and the video standard:
// the tag, then both as 4-byte numbers. Files without it still load (the
// window keeps its choice), and readers that stop after the records never
// see it.
inline constexpr char kProjectChoiceTag[4] = {'Q', 'L', 'T', 'S'};
inline constexpr int kProjectChoiceSize = 12;

struct ProjectHeader {
    int32_t perEntrySettings = 1;
    int32_t entryCount = 0;
    int32_t selected = 0;
    int32_t currentFrame = 0;
    std::string outputName;
    int32_t outputWidth = 352;
    int32_t outputHeight = 240;
    uint8_t displayFlag = 0;
    // Kept after the records; -1 when the file does not say.
    int32_t target = -1;
    int32_t pal = -1;
};

// What a record keeps of one input. Fields the file stores but nobody reads
// back (frame counts, rates, the route) describe the input as it was saved.
struct ProjectEntry {
    std::string path;
    std::string outputName;
    std::string listDirectory;  // image lists: the list's folder, ending in "/"
    uint8_t hasAudio = 0;
    uint8_t isVideoFile = 1;
    uint8_t invert = 0;
    uint8_t colourFix = 0;
    uint8_t optionFlag = 0;
    uint8_t fillIn = 0;
    int32_t cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;
    int32_t selection980 = 0, selection984 = 0;
    int32_t previewFirst = 0, previewLast = 0;
    int32_t selection996 = 0;
    int32_t firstSelectedSample = 0;
    int32_t currentFrame = 0;
    int32_t totalFrames = 0;
    int32_t selectedFrames = 0;
    int32_t totalSamples = 0;
    int32_t selectedSamples = 0;
    int32_t outputWidth = 0, outputHeight = 0;
    int32_t outputFrames = 0;
    double frameRate = 0;
    int64_t durationTicks = 0;
    int32_t decodeRoute = 0;
};

// Byte images of the two parts, for writing and for tests.
std::vector<uint8_t> encodeHeader(const ProjectHeader& h);
std::vector<uint8_t> encodeRecord(const ProjectEntry& e);
ProjectHeader decodeHeader(const uint8_t* bytes);
ProjectEntry decodeRecord(const uint8_t* bytes);

// Where a project is read into: the window's input list.
class ProjectTarget {
public:
    virtual ~ProjectTarget() = default;
    virtual void projectMessage(const std::string& caption, const std::string& text) = 0;
    virtual void clearEntries() = 0;
    // Opens saved.path (an image list when it contains ".lst"); false stops
    // the load. The target shows its own messages.
    virtual bool openEntry(const ProjectEntry& saved) = 0;
    // Copies the saved options back into the entry just opened.
    virtual void restoreEntry(int index, const ProjectEntry& saved) = 0;
    // Called once the records are read (or the load stopped), with the
    // number of entries opened; restoreOutput is set when the header's
    // output name and size apply (entries without their own settings).
    virtual void finishLoad(const ProjectHeader& header, int opened, bool restoreOutput) = 0;
};

// The name a project is saved under: ".qlp" added when the name has no
// extension.
std::string projectFileName(const std::string& chosen);

// Messages go through `messages` (project message caption and text).
bool saveProject(const std::string& path, const ProjectHeader& header,
                 const std::vector<ProjectEntry>& entries, ProjectTarget& messages);
bool openProject(const std::string& path, ProjectTarget& target);

}  // namespace quillon::app
