// The table of opened inputs, in list order, with the selected entry and the
// entry being converted. Messages reach the user through the Host (message
// boxes with the captions of the operation, log lines).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/host.h"
#include "image/bitmap.h"
#include "input/input_file_entry.h"

namespace quillon {

class InputTable {
public:
    InputTable() = default;

    // Opens a path: one ending in ".lst" as an image list, a picture (by
    // its extension) as a one-picture list, any other as a video file.
    // Appends, selects and describes the entry (the information
    // panel goes to host.logLine). False, with a message, on failure; the
    // table is then unchanged.
    bool open(const std::string& path, Host& host);

    int count() const { return static_cast<int>(entries_.size()); }
    bool empty() const { return entries_.empty(); }
    InputFileEntry& entry(int index) { return *entries_.at(static_cast<size_t>(index)); }
    const InputFileEntry& entry(int index) const { return *entries_.at(static_cast<size_t>(index)); }

    void remove(int index);
    void clear();
    // Move an entry up (towards 0) or down; the selection follows it.
    // False when it cannot move.
    bool moveUp(int index);
    bool moveDown(int index);

    int selected() const { return selected_; }  // -1 when empty
    void select(int index);
    InputFileEntry* selectedEntry();

    int converting() const { return converting_; }
    void setConverting(int index) { converting_ = index; }

private:
    std::vector<std::unique_ptr<InputFileEntry>> entries_;
    int selected_ = -1;
    int converting_ = 0;
};

// A path whose extension is ".lst" (any case) names an image list.
bool isImageListPath(const std::string& path);

// The longest picture path a list line may hold (the system's limit).
inline constexpr size_t kMaxListPathLength = 4095;
// Text for a message: bytes that are not printable UTF-8 (control
// characters, broken sequences) are shown as \xNN, so a file's raw bytes
// never reach a terminal.
std::string printableText(const std::string& text);
// Whether text can be a path from a list: no control characters.
bool isPathText(const std::string& text);

// Opens one entry without a table (used by the table and by tests).
// Returns null after reporting through host.
std::unique_ptr<InputFileEntry> openVideoFile(const std::string& path, Host& host);
std::unique_ptr<InputFileEntry> openImageList(const std::string& path, Host& host);
// A single picture: an image list of one line, one second long.
std::unique_ptr<InputFileEntry> openPicture(const std::string& path, Host& host);
// .jpg, .jpeg, .png, .bmp, .gif, .tga, .tif, .tiff (any case).
bool isPicturePath(const std::string& path);
// Whichever of the three the path names.
std::unique_ptr<InputFileEntry> openInput(const std::string& path, Host& host);

// The information panel, lines joined by "\r\n" (the log's line ends are
// added by the caller).
std::vector<std::string> describeEntry(const InputFileEntry& entry);
std::string describeEntryText(const InputFileEntry& entry, const char* lineEnd = "\n");

// The video standard a described entry suggests: 1 PAL when the rate is
// exactly 25.0, else 0 NTSC.
int standardForEntry(const InputFileEntry& entry);

// The last picture an image list loaded, so repeated frames of one line
// are not read again.
struct ListPictureCache {
    const InputFileEntry* entry = nullptr;
    int line = -1;
    Bitmap picture;
};

// The source picture of source frame f, as loaded (not scaled), 32-bit
// bottom-up BGRA with the entry's flip, colour fix and crop applied. For the
// preview panes and the frame callback. Returns the frame callback's result
// code (0 on success) and the reason in *error.
int loadSourcePicture(InputFileEntry& entry, int sourceFrame, Bitmap& out, std::string* error,
                      ListPictureCache* cache = nullptr);

}  // namespace quillon
