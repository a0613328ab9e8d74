// Disc images made from the program streams of a finished conversion:
// a DVD-Video structure (dvdauthor) as an ISO image with the UDF bridge
// (genisoimage) or as a folder, or a VCD or SVCD cue/bin pair (vcdimager).
// The tools run as programs in a work folder beside the image; the image
// appears under its name only when it is whole, and a failure or a stop
// leaves nothing of it behind. Messages and progress go through the
// engine's message functions, in a stage of the conversion dialog of its
// own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {
class Engine;
}

namespace quillon::disc {

enum class DiscFormat { Vcd, Svcd, Dvd };

// What the image's name asks for.
enum class ImageKind {
    CueBin,  // name.cue and name.bin (VCD, SVCD)
    Iso,     // an ISO 9660 image with UDF (DVD, a name ending in .iso)
    Folder,  // a folder holding VIDEO_TS and AUDIO_TS (DVD, any other name)
};

// The disc of target kind 1 (VCD), 3 (SVCD) or 4 (DVD); false for the
// others, which make no disc.
bool discFormatOfTarget(int kind, DiscFormat* format);
// The message that refuses a disc for a target that makes none.
std::string noDiscMessage(const char* targetName);

ImageKind imageKindOf(DiscFormat format, const std::string& path);
// The .bin that goes with a .cue name.
std::string binNameFor(const std::string& cuePath);

// Checks the image's name before any work: the form the format needs, the
// folder it goes into, and nothing of that name already there (with
// `overwrite`, an existing image may be replaced; a folder only when it
// holds nothing but a DVD structure). Empty when fine, else the message.
std::string checkImagePath(DiscFormat format, const std::string& path, bool overwrite);

// The first of `files` (the conversion's outputs and inputs) that the image
// would replace or, for a DVD folder, would hold; empty when none.
std::string imageClash(DiscFormat format, const std::string& path, const std::vector<std::string>& files);

struct DiscOutput {
    // The program stream files of one output in playing order (one, or
    // the numbered files of a split output).
    std::vector<std::string> files;
    int width = 0, height = 0;
};

// The program stream files among the files a conversion put in place
// (`written`, in their order), leaving out its elementary streams
// (`streamNames`), which a DVD conversion keeps beside them.
std::vector<std::string> programStreamFiles(const std::vector<std::string>& written,
                                            const std::vector<std::string>& streamNames);

struct DiscRequest {
    DiscFormat format = DiscFormat::Dvd;
    bool pal = false;
    std::string path;
    double chapterMinutes = 5;
    bool overwrite = false;
    // DVD: one title per output; VCD and SVCD: one track per file.
    std::vector<DiscOutput> outputs;
};

// The ISO volume name made of an image's name: letters and digits in upper
// case, other runs as "_", at most 32 characters ("DVD_VIDEO" when none
// is left).
std::string volumeLabel(const std::string& path);

// A warning when an image of `bytes` (the .bin of a cue/bin pair) is more
// than the disc holds: a single-layer DVD, a CD of 80 minutes. Empty when
// it fits.
std::string capacityWarning(DiscFormat format, uint64_t bytes);

// The Debian package that brings a tool.
const char* packageOfTool(const std::string& tool);
// The tools the request needs, in the order they run.
std::vector<std::string> toolsFor(const DiscRequest& request);

// Makes the image in the stage "Making disc image" of a conversion dialog
// opened for it; true when the image is whole at request.path. Reports
// every failure itself ("Unable to create main window." when the dialog
// cannot be made); a stop returns false without a message.
bool makeDisc(Engine& engine, const DiscRequest& request);

// The same work, run inside an open dialog (the engine's active dialog,
// if any, gets the progress and is pumped for a stop).
bool buildDisc(Engine& engine, const DiscRequest& request);

}  // namespace quillon::disc
