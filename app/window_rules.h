// The main window's rules for its fields and targets, apart from the
// widgets so they read as what they are.
#pragma once

#include <string>

namespace quillon::app {

enum WindowTarget : int { kMpeg1 = 0, kVcd = 1, kMpeg2 = 2, kSvcd = 3, kDvd = 4 };

inline constexpr int kMinWidth = 32, kMaxWidth = 1920;
inline constexpr int kMinHeight = 32, kMaxHeight = 1152;
inline constexpr int kMinSplit = 1, kMaxSplit = 4096;
inline constexpr const char* kSplitRangeMessage = "Max File size range is (1M .. 4096M).";

inline int engineCode(int pal, int target) { return pal * 16 + target; }

struct Size {
    int width = 0, height = 0;
};

// The size a target radio sets; MPEG-1 and MPEG-2 take the selected
// input's size (the fixed VCD size of the standard when none is open). The
// rules themselves are shared with the command line (input/conversion_start).
Size targetSize(int target, int pal, const Size* selectedInput);

// Whole decimal integer with optional surrounding blanks, else false.
bool parseField(const std::string& text, int& value);

// Width and height edits: the value to store, or `previous` when the text is
// not an integer in range (rounding as the shared rules say).
int widthFromField(const std::string& text, int previous, int target, bool perEntry);
int heightFromField(const std::string& text, int previous, int target, bool perEntry);

// The MAXLEN field: true with the new maximum, false when out of range.
bool splitFromField(const std::string& text, int& megabytes);

// The message of a failed engine start for a target or standard change.
std::string engineErrorForTarget(int target);
std::string engineErrorForStandard(int pal);

}  // namespace quillon::app
