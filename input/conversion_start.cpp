#include "input/conversion_start.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <limits>

#include "platform/cpu_features.h"
#include "platform/output_files.h"

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

int outputFrameCount(const InputFileEntry& entry, int pal) {
    if (!(entry.frameRate > 0)) return 0;
    // Clamped, not overflowed, whatever rate and count the entry holds.
    const double frames = std::floor(entry.selectedFrames * outputFrameRate(pal) / entry.frameRate + 0.005);
    if (!(frames < static_cast<double>(std::numeric_limits<int32_t>::max()))) return std::numeric_limits<int32_t>::max();
    return static_cast<int>(frames);
}

int lastOutputFrame(const InputFileEntry& entry, int pal) { return outputFrameCount(entry, pal) - 1; }

int mpeg1PelAspectCode(const InputFileEntry& entry, int width, int height) {
    // pel_aspect_ratio values of codes 1..14.
    static constexpr double kPelAspect[] = {1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                            0.9375, 0.9815, 1.0255, 1.0695, 1.1250, 1.1575, 1.2015};
    double pixel = entry.pixelAspect > 0 ? entry.pixelAspect : 1.0;  // width / height
    const bool cropped = entry.cropWidth > 0 && entry.cropHeight > 0;
    const int sw = cropped ? entry.cropWidth : entry.width, sh = cropped ? entry.cropHeight : entry.height;
    if (entry.fillIn && sw > 0 && sh > 0 && width > 0 && height > 0) {
        // Stretched: the picture's shape is the source's, its pixels change.
        const double shape = static_cast<double>(sw) * pixel / sh;
        pixel = shape * height / width;
    }
    const double pel = 1.0 / pixel;
    int best = 1;
    for (int code = 1; code <= 14; ++code)
        if (std::abs(kPelAspect[code - 1] - pel) < std::abs(kPelAspect[best - 1] - pel)) best = code;
    return best;
}

bool applyPelAspectCode(EncoderSettings& s, int code, int initialCode) {
    if (code < 1 || code > 14 || s.videoType != kTargetMpeg1) return false;
    if (initialCode != 8 && initialCode != 12) return false;
    if (s.aspectRatio == code) return false;
    s.aspectRatio = code;
    return true;
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
    setup.readAhead = configuredThreadCount() > 1;
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
        // Every entry gives all of its pictures and the sound that lasts as
        // long as they do; counting each entry by its last frame number
        // would lose one picture (and a frame of sound) at every joint.
        int64_t frames = 0;
        for (int i = 0; i < table.count(); ++i) {
            InputFileEntry& e = table.entry(i);
            const int c = std::max(0, outputFrameCount(e, choice.pal));
            e.outputFrames = static_cast<uint32_t>(c);
            frames += c;
            entries.push_back(&e);
            out.entries.push_back(i);
        }
        out.delivery = std::make_unique<EntryDelivery>(entries, setup, hooks);
        int64_t samples = 0;
        for (size_t i = 0; i < entries.size(); ++i) samples += out.delivery->sampleSpan(i);
        out.request = baseRequest(choice.width, choice.height);
        out.request.lastFrame =
            static_cast<int32_t>(std::clamp<int64_t>(frames - 1, 0, std::numeric_limits<int32_t>::max() - 1));
        out.request.lastSample = static_cast<int32_t>(std::max<int64_t>(samples - 1, 0));
        out.outputName = choice.outputName.empty() ? defaultOutputName(table.entry(0).path) : choice.outputName;
        if (choice.target == kTargetMpeg1)
            out.pelAspectCode = mpeg1PelAspectCode(table.entry(0), choice.width, choice.height);
        table.select(0);
        plan.push_back(std::move(out));
        return plan;
    }

    for (int i = 0; i < table.count(); ++i) {
        InputFileEntry& e = table.entry(i);
        PlannedOutput out;
        const int last = std::max(0, lastOutputFrame(e, choice.pal));
        e.outputFrames = static_cast<uint32_t>(last + 1);
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
        if (choice.target == kTargetMpeg1) out.pelAspectCode = mpeg1PelAspectCode(e, own.width, own.height);
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

std::vector<int> giveBatchOutputsOwnNames(std::vector<PlannedOutput>& plan) {
    std::vector<int> renamed;
    auto taken = [&](const std::string& name, size_t before) {
        for (size_t j = 0; j < before; ++j)
            if (plan[j].outputName == name || sameFile(plan[j].outputName, name)) return true;
        return false;
    };
    for (size_t i = 1; i < plan.size(); ++i) {
        if (!taken(plan[i].outputName, i)) continue;
        const std::string original = plan[i].outputName;
        const std::filesystem::path p(original);
        const std::string stem = (p.parent_path() / p.stem()).string();
        const std::string extension = p.extension().string();
        for (int n = 2;; ++n) {
            const std::string candidate = stem + "-" + std::to_string(n) + extension;
            if (!taken(candidate, plan.size())) {
                plan[i].outputName = candidate;
                break;
            }
        }
        renamed.push_back(static_cast<int>(i));
    }
    return renamed;
}

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

OutputFilesCheck checkOutputFiles(const InputTable& table, const std::vector<PlannedOutput>& plan,
                                  const std::function<PlannedJobFiles(const PlannedOutput&)>& filesOf) {
    OutputFilesCheck check;
    // Everything the conversion reads: the inputs, the pictures of their
    // lists, the streams a job multiplexes from disk.
    std::vector<std::string> reads;
    for (int i = 0; i < table.count(); ++i) {
        const InputFileEntry& e = table.entry(i);
        reads.push_back(e.path);
        for (const std::string& picture : e.listFile) reads.push_back(picture);
    }
    struct Written {
        std::string path;
        bool statistics;
    };
    std::vector<Written> writes;
    std::vector<std::string> folders;
    for (const PlannedOutput& out : plan) {
        const PlannedJobFiles f = filesOf(out);
        for (const std::string& r : f.reads) reads.push_back(r);
        for (const std::string& stream : f.streamNames) {
            if (!f.program.empty() && (stream == f.program || sameFile(stream, f.program))) {
                check.refusal = "The output " + f.program +
                                " has the name of its own video or audio stream; choose a name with another "
                                "extension, such as .mpg.";
                check.conflict = true;
                return check;
            }
        }
        std::vector<std::string> own;
        if (!f.program.empty()) {
            if (!f.split) {
                own.push_back(f.program);
            } else {
                // The first part always; further parts as far as files of an
                // earlier run are there to be replaced.
                own.push_back(splitPartName(f.program, 0));
                for (int k = 1; k < 1000 && exists(splitPartName(f.program, k)); ++k) own.push_back(splitPartName(f.program, k));
            }
        }
        for (const std::string& s : f.streams) own.push_back(s);
        for (const std::string& path : own) writes.push_back({path, false});
        if (!f.statistics.empty()) writes.push_back({f.statistics, true});
    }
    for (size_t i = 0; i < writes.size() && check.refusal.empty(); ++i) {
        const Written& w = writes[i];
        for (const std::string& r : reads) {
            if (w.path == r || sameFile(w.path, r)) {
                check.refusal = "The output " + w.path + " is also an input of this conversion.";
                check.conflict = true;
                break;
            }
        }
        if (!check.refusal.empty()) break;
        for (size_t j = 0; j < i; ++j) {
            if (w.statistics && writes[j].statistics) continue;
            if (w.path == writes[j].path || sameFile(w.path, writes[j].path)) {
                check.refusal = writes[j].path == w.path
                                    ? "The conversion would write " + w.path + " twice."
                                    : "The outputs " + writes[j].path + " and " + w.path + " are the same file.";
                check.conflict = true;
                break;
            }
        }
        if (!check.refusal.empty()) break;
        const std::string problem = folderProblem(w.path);
        if (!problem.empty()) {
            check.refusal = "Unable to write " + w.path + ": " + problem + ".";
            break;
        }
        if (exists(w.path)) {
            bool listed = false;
            for (const std::string& e : check.existing) listed = listed || e == w.path;
            if (!listed) check.existing.push_back(w.path);
        }
    }
    return check;
}

std::string defaultOutputName(const std::string& inputPath, const std::string& outputDir) {
    std::filesystem::path p(inputPath);
    p.replace_extension(".mpg");
    if (!outputDir.empty()) p = std::filesystem::path(outputDir) / p.filename();
    return p.string();
}

}  // namespace quillon
