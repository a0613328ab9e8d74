#include "input/conversion_start.h"

#include <cctype>
#include <cmath>
#include <filesystem>
#include <limits>

namespace quillon {

namespace {

bool parseFieldInteger(const std::string& text, int* value) {
    size_t start = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (start == std::string::npos) return false;
    long v = 0;
    for (size_t i = start; i <= end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        v = v * 10 + (text[i] - '0');
        if (v > 1'000'000) return false;
    }
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

OutputSize targetSize(int target, int pal, const InputFileEntry* selected) {
    switch (target) {
        case kTargetVcd: return {352, pal ? 288 : 240};
        case kTargetSvcd: return {480, pal ? 576 : 480};
        case kTargetDvd: return {720, pal ? 576 : 480};
        default:
            // The engine takes even sizes only: an odd side loses its last
            // column or row rather than the whole video.
            if (selected && selected->width > 1 && selected->height > 1)
                return {selected->width & ~1, selected->height & ~1};
            return {352, pal ? 288 : 240};
    }
}

int widthFieldValue(const std::string& text, int previous, int target, bool perEntrySettings) {
    int v = 0;
    if (!parseFieldInteger(text, &v) || v < kMinOutputWidth || v > kMaxOutputWidth) return previous;
    if (perEntrySettings && (target == kTargetMpeg1 || target == kTargetMpeg2)) v -= v % 16;
    return v;
}

int heightFieldValue(const std::string& text, int previous, int target, bool perEntrySettings) {
    int v = 0;
    if (!parseFieldInteger(text, &v) || v < kMinOutputHeight || v > kMaxOutputHeight) return previous;
    if (perEntrySettings && target == kTargetMpeg1) v -= v % 16;
    return v;
}

int requestSampleRate(int target, const InputFileEntry* first) {
    if (target == kTargetVcd || target == kTargetSvcd) return 44100;
    if (target == kTargetDvd) return 48000;
    // The rate the first input is delivered at (after doubling), so the
    // request states what the sample callback really gives.
    if (first && first->hasAudio && first->countedSampleRate() > 0) return first->countedSampleRate();
    return 44100;
}

double outputFrameRate(int pal) { return pal ? 25.0 : 29.97; }

int lastOutputFrame(const InputFileEntry& entry, int pal) {
    if (!(entry.frameRate > 0)) return -1;
    // Clamped, not overflowed, whatever rate and count the entry holds.
    const double frames = std::floor(entry.selectedFrames * outputFrameRate(pal) / entry.frameRate + 0.005);
    if (!(frames < static_cast<double>(std::numeric_limits<int32_t>::max()))) return std::numeric_limits<int32_t>::max() - 1;
    return static_cast<int>(frames) - 1;
}

std::vector<PlannedOutput> planConversions(InputTable& table, const ConversionChoice& choice,
                                           const DeliveryHooks& hooks) {
    std::vector<PlannedOutput> plan;
    if (table.empty()) return plan;
    DeliverySetup setup;
    setup.width = choice.width;
    setup.height = choice.height;
    setup.pal = choice.pal;
    setup.target = choice.target;
    setup.sampleRate = requestSampleRate(choice.target, &table.entry(0));
    const int32_t maxSize = choice.splitEnabled ? choice.maxFileSizeMB : 0;

    auto baseRequest = [&](int width, int height) {
        ConversionRequest r;
        r.videoPresent = 1;
        r.width = width;
        r.height = height;
        r.firstFrame = 0;
        r.firstSample = 0;
        r.audioPresent = 1;
        r.sampleRate = setup.sampleRate;
        r.stereo = 1;
        r.bitsPerSample = 16;
        r.maxFileSize = maxSize;
        return r;
    };

    if (choice.joiner) {
        PlannedOutput out;
        std::vector<InputFileEntry*> entries;
        int64_t last = 0;
        for (int i = 0; i < table.count(); ++i) {
            InputFileEntry& e = table.entry(i);
            const int c = std::max(0, lastOutputFrame(e, choice.pal));
            e.outputFrames = static_cast<uint32_t>(c);
            last += c;
            entries.push_back(&e);
            out.entries.push_back(i);
        }
        out.delivery = std::make_unique<EntryDelivery>(entries, setup, hooks);
        int64_t samples = 0;
        for (size_t i = 0; i < entries.size(); ++i) samples += static_cast<int64_t>(out.delivery->sampleSpan(i)) - 1;
        out.request = baseRequest(choice.width, choice.height);
        out.request.lastFrame = static_cast<int32_t>(std::min<int64_t>(last, std::numeric_limits<int32_t>::max() - 1));
        out.request.lastSample = static_cast<int32_t>(std::max<int64_t>(samples - 1, 0));
        out.outputName = choice.outputName.empty() ? defaultOutputName(table.entry(0).path) : choice.outputName;
        table.select(0);
        plan.push_back(std::move(out));
        return plan;
    }

    for (int i = 0; i < table.count(); ++i) {
        InputFileEntry& e = table.entry(i);
        PlannedOutput out;
        const int last = std::max(0, lastOutputFrame(e, choice.pal));
        e.outputFrames = static_cast<uint32_t>(last);
        DeliverySetup own = setup;
        if (choice.perEntrySizes && e.outputWidth > 0 && e.outputHeight > 0) {
            own.width = e.outputWidth;
            own.height = e.outputHeight;
        }
        out.delivery = std::make_unique<EntryDelivery>(std::vector<InputFileEntry*>{&e}, own, hooks);
        out.request = baseRequest(own.width, own.height);
        out.request.lastFrame = last;
        // An entry without sound gets silence as long as its pictures.
        out.request.lastSample = static_cast<int32_t>(std::max<int64_t>(out.delivery->sampleSpan(0), 1) - 1);
        out.outputName = e.outputName.empty() ? defaultOutputName(e.path, choice.outputDir) : e.outputName;
        out.entries.push_back(i);
        plan.push_back(std::move(out));
    }
    return plan;
}

int runConversions(InputTable& table, std::vector<PlannedOutput>& plan,
                   const std::function<int(PlannedOutput&)>& convert) {
    int completed = 0;
    for (PlannedOutput& out : plan) {
        if (!out.entries.empty()) {
            table.select(out.entries.front());
            table.setConverting(out.entries.front());
        }
        out.request.outputName = out.outputName.c_str();
        out.request.frameSource = out.delivery.get();
        out.request.sampleSource = out.delivery.get();
        const int result = convert(out);
        if (result != kEngineCompleted) break;
        ++completed;
    }
    table.select(0);
    table.setConverting(0);
    return completed;
}

std::string defaultOutputName(const std::string& inputPath, const std::string& outputDir) {
    std::filesystem::path p(inputPath);
    p.replace_extension(".mpg");
    if (!outputDir.empty()) p = std::filesystem::path(outputDir) / p.filename();
    return p.string();
}

}  // namespace quillon
