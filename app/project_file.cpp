#include "app/project_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/format.h"

namespace quillon::app {

namespace {

constexpr const char* kSaveCaption = "Project save error";
constexpr const char* kOpenCaption = "Project open error";

void put32(uint8_t* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
void put64(uint8_t* p, int64_t v) {
    uint64_t u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
int32_t get32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}
int64_t get64(const uint8_t* p) {
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(p[i]) << (8 * i);
    return static_cast<int64_t>(u);
}
void putText(uint8_t* p, const std::string& s) {
    size_t n = std::min<size_t>(s.size(), kProjectPathSize - 1);
    std::memcpy(p, s.data(), n);
    p[n] = 0;
}
// Never trusts the file to hold the terminator.
std::string getText(const uint8_t* p) {
    size_t n = 0;
    while (n < kProjectPathSize && p[n] != 0) ++n;
    if (n == kProjectPathSize) n = kProjectPathSize - 1;
    return std::string(reinterpret_cast<const char*>(p), n);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::vector<uint8_t> encodeHeader(const ProjectHeader& h) {
    std::vector<uint8_t> b(kProjectHeaderSize, 0);
    put32(&b[0], h.perEntrySettings);
    put32(&b[4], h.entryCount);
    put32(&b[8], h.selected);
    put32(&b[12], h.currentFrame);
    putText(&b[16], h.outputName);
    put32(&b[276], h.outputWidth);
    put32(&b[280], h.outputHeight);
    b[284] = h.displayFlag;
    return b;
}

ProjectHeader decodeHeader(const uint8_t* b) {
    ProjectHeader h;
    h.perEntrySettings = get32(b + 0);
    h.entryCount = get32(b + 4);
    h.selected = get32(b + 8);
    h.currentFrame = get32(b + 12);
    h.outputName = getText(b + 16);
    h.outputWidth = get32(b + 276);
    h.outputHeight = get32(b + 280);
    h.displayFlag = b[284];
    return h;
}

std::vector<uint8_t> encodeRecord(const ProjectEntry& e) {
    std::vector<uint8_t> b(kProjectRecordSize, 0);
    putText(&b[0], e.path);
    putText(&b[260], e.outputName);
    putText(&b[520], e.listDirectory);
    b[956] = e.hasAudio;
    b[957] = e.isVideoFile;
    b[958] = e.invert;
    b[959] = e.colourFix;
    b[960] = e.optionFlag;
    b[961] = e.fillIn;
    put32(&b[964], e.cropX);
    put32(&b[968], e.cropY);
    put32(&b[972], e.cropWidth);
    put32(&b[976], e.cropHeight);
    put32(&b[980], e.selection980);
    put32(&b[984], e.selection984);
    put32(&b[988], e.previewFirst);
    put32(&b[992], e.previewLast);
    put32(&b[996], e.selection996);
    put32(&b[1000], e.firstSelectedSample);
    put32(&b[1004], e.currentFrame);
    put32(&b[1008], e.totalFrames);
    put32(&b[1012], e.selectedFrames);
    put32(&b[1020], e.totalSamples);
    put32(&b[1028], e.selectedSamples);
    put32(&b[1040], e.outputWidth);
    put32(&b[1044], e.outputHeight);
    put32(&b[1048], e.outputFrames);
    uint64_t rate;
    std::memcpy(&rate, &e.frameRate, 8);
    put64(&b[1056], static_cast<int64_t>(rate));
    put64(&b[1080], e.durationTicks);
    put32(&b[1108], e.decodeRoute);
    return b;
}

ProjectEntry decodeRecord(const uint8_t* b) {
    ProjectEntry e;
    e.path = getText(b + 0);
    e.outputName = getText(b + 260);
    e.listDirectory = getText(b + 520);
    e.hasAudio = b[956];
    e.isVideoFile = b[957];
    e.invert = b[958];
    e.colourFix = b[959];
    e.optionFlag = b[960];
    e.fillIn = b[961];
    e.cropX = get32(b + 964);
    e.cropY = get32(b + 968);
    e.cropWidth = get32(b + 972);
    e.cropHeight = get32(b + 976);
    e.selection980 = get32(b + 980);
    e.selection984 = get32(b + 984);
    e.previewFirst = get32(b + 988);
    e.previewLast = get32(b + 992);
    e.selection996 = get32(b + 996);
    e.firstSelectedSample = get32(b + 1000);
    e.currentFrame = get32(b + 1004);
    e.totalFrames = get32(b + 1008);
    e.selectedFrames = get32(b + 1012);
    e.totalSamples = get32(b + 1020);
    e.selectedSamples = get32(b + 1028);
    e.outputWidth = get32(b + 1040);
    e.outputHeight = get32(b + 1044);
    e.outputFrames = get32(b + 1048);
    uint64_t rate = static_cast<uint64_t>(get64(b + 1056));
    std::memcpy(&e.frameRate, &rate, 8);
    e.durationTicks = get64(b + 1080);
    e.decodeRoute = get32(b + 1108);
    return e;
}

bool saveProject(const std::string& path, const ProjectHeader& header,
                 const std::vector<ProjectEntry>& entries, ProjectTarget& messages) {
    // A name the record cannot hold would come back as a different file.
    for (const ProjectEntry& e : entries) {
        for (const std::string* s : {&e.path, &e.outputName, &e.listDirectory}) {
            if (s->size() >= static_cast<size_t>(kProjectPathSize)) {
                messages.projectMessage(
                    kSaveCaption,
                    formatText("The file name %s is too long for a project file.", s->c_str()));
                return false;
            }
        }
    }
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        messages.projectMessage(kSaveCaption, formatText("Can not save file %s.", path.c_str()));
        return false;
    }
    ProjectHeader h = header;
    h.entryCount = static_cast<int32_t>(entries.size());
    bool ok = true;
    std::vector<uint8_t> bytes = encodeHeader(h);
    ok = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        bytes = encodeRecord(entries[i]);
        ok = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    }
    if (ok && header.target >= 0 && header.pal >= 0) {
        uint8_t choice[kProjectChoiceSize];
        std::memcpy(choice, kProjectChoiceTag, 4);
        put32(&choice[4], header.target);
        put32(&choice[8], header.pal);
        ok = std::fwrite(choice, 1, sizeof choice, f.get()) == sizeof choice;
    }
    if (std::fclose(f.release()) != 0) ok = false;
    if (!ok) {
        messages.projectMessage(kSaveCaption, formatText("Can not write to file %s.", path.c_str()));
        return false;
    }
    return true;
}

std::string projectFileName(const std::string& chosen) {
    const std::filesystem::path p(chosen);
    if (chosen.empty() || p.has_extension() || !p.has_filename()) return chosen;
    return chosen + kProjectExtension;
}

bool openProject(const std::string& path, ProjectTarget& target) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        target.projectMessage(kOpenCaption, formatText("Can not open file %s.", path.c_str()));
        return false;
    }
    const std::string readError = formatText("Can not read from file %s.", path.c_str());
    uint8_t head[kProjectHeaderSize];
    if (std::fread(head, 1, sizeof head, f.get()) != sizeof head) {
        target.projectMessage(kOpenCaption, readError);
        return false;
    }
    ProjectHeader header = decodeHeader(head);
    // A count no list can hold means the file is not a project: keep the
    // current list rather than clearing it for nothing.
    if (header.entryCount < 0 || header.entryCount > kProjectMaxEntries) {
        target.projectMessage(kOpenCaption, readError);
        return false;
    }
    target.clearEntries();
    int opened = 0;
    bool complete = true;
    std::vector<uint8_t> record(kProjectRecordSize);
    for (int i = 0; i < header.entryCount; ++i) {
        if (std::fread(record.data(), 1, record.size(), f.get()) != record.size()) {
            target.projectMessage(kOpenCaption, readError);
            complete = false;
            break;
        }
        ProjectEntry saved = decodeRecord(record.data());
        if (!target.openEntry(saved)) {
            complete = false;
            break;
        }
        target.restoreEntry(opened, saved);
        ++opened;
    }
    // The choice after the records, read even when an entry failed to open.
    const long choiceAt = kProjectHeaderSize + static_cast<long>(header.entryCount) * kProjectRecordSize;
    uint8_t choice[kProjectChoiceSize];
    if (std::fseek(f.get(), choiceAt, SEEK_SET) == 0 &&
        std::fread(choice, 1, sizeof choice, f.get()) == sizeof choice &&
        std::memcmp(choice, kProjectChoiceTag, 4) == 0) {
        const int32_t t = get32(&choice[4]), pal = get32(&choice[8]);
        if (t >= 0 && t <= 4 && (pal == 0 || pal == 1)) {
            header.target = t;
            header.pal = pal;
        }
    }
    target.finishLoad(header, opened, header.perEntrySettings == 0);
    return complete;
}

}  // namespace quillon::app
