// The .qlp project reader over arbitrary bytes, with a target that accepts
// every entry whose path is not empty.
#include <cstdint>
#include <string>

#include "app/project_file.h"
#include "fuzz/fuzz_support.h"

using namespace quillon;

namespace {

class Target : public app::ProjectTarget {
public:
    int entries = 0;
    void projectMessage(const std::string&, const std::string&) override {}
    void clearEntries() override { entries = 0; }
    bool openEntry(const app::ProjectEntry& saved) override {
        if (saved.path.empty()) return false;
        ++entries;
        return true;
    }
    void restoreEntry(int index, const app::ProjectEntry&) override {
        if (index < 0 || index >= entries) __builtin_trap();
    }
    void finishLoad(const app::ProjectHeader&, int opened, bool) override {
        if (opened != entries) __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratchFile("project.qlp");
    fuzz::writeScratch(path, data, size);
    Target target;
    (void)app::openProject(path, target);
    // What a record decodes to encodes back to the same fields.
    if (size >= app::kProjectRecordSize) {
        app::ProjectEntry e = app::decodeRecord(data);
        app::ProjectEntry again = app::decodeRecord(app::encodeRecord(e).data());
        if (again.path != e.path || again.cropX != e.cropX || again.durationTicks != e.durationTicks)
            __builtin_trap();
    }
    return 0;
}
