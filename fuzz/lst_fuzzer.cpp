// The image-list reader over arbitrary text. The scratch directory holds a
// 2x2 bitmap "p.bmp" and a broken picture "q.bmp", so lines naming them get
// as far as decoding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "input/input_table.h"

using namespace quillon;

namespace {

// 2x2, 24-bit, bottom-up.
const uint8_t kBitmap[] = {
    'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,
    0,   0,   0,  0, 0, 0, 16, 0, 0, 0, 19, 11, 0, 0, 19, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    255, 0,   0,  0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeScratch(fuzz::scratchFile("p.bmp"), kBitmap, sizeof kBitmap);
    fuzz::writeScratch(fuzz::scratchFile("q.bmp"), kBitmap, 30);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // What messages print of a file's bytes holds no control characters
    // and escapes every byte it does not show.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string shown = printableText(text);
    for (unsigned char c : shown)
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) std::abort();
    if (shown.size() < text.size()) std::abort();

    const std::string path = fuzz::scratchFile("pictures.lst");
    fuzz::writeScratch(path, data, size);
    fuzz::SilentHost host;
    InputTable table;
    if (table.open(path, host)) {
        (void)describeEntryText(table.entry(0));
        (void)standardForEntry(table.entry(0));
    }
    return 0;
}
