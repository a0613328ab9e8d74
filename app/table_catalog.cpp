#include "app/table_catalog.h"

#include "input/conversion_start.h"
#include "input/frame_delivery.h"

namespace quillon::app {

bool TableCatalog::open(const std::string& path) { return table_.open(path, host_); }

void TableCatalog::remove(int index) {
    if (index < 0 || index >= table_.count()) return;
    extras_.erase(&table_.entry(index));
    table_.remove(index);
}

void TableCatalog::clear() {
    extras_.clear();
    table_.clear();
}

EntryFacts TableCatalog::facts(int index) const {
    const InputFileEntry& e = table_.entry(index);
    EntryFacts f;
    f.path = e.path;
    f.isVideoFile = e.isVideoFile;
    f.hasVideo = e.hasVideo;
    f.hasAudio = e.hasAudio;
    f.width = e.width;
    f.height = e.height;
    f.frameRate = e.frameRate;
    f.sampleRate = e.sampleRate;
    f.totalFrames = static_cast<int>(e.totalFrames);
    f.selectedFrames = static_cast<int>(e.selectedFrames);
    f.decodeRoute = e.decodeRoute;
    return f;
}

ProjectEntry TableCatalog::record(int index) const {
    const InputFileEntry& e = table_.entry(index);
    ProjectEntry r;
    r.path = e.path;
    r.outputName = e.outputName;
    r.listDirectory = e.isVideoFile ? std::string() : e.listDirectory;
    if (!r.listDirectory.empty() && r.listDirectory.back() != '/') r.listDirectory += '/';
    r.hasAudio = e.hasAudio;
    r.isVideoFile = e.isVideoFile;
    r.invert = e.invert;
    r.colourFix = e.colourFix;
    r.fillIn = e.fillIn;
    r.cropX = e.cropX;
    r.cropY = e.cropY;
    r.cropWidth = e.cropWidth;
    r.cropHeight = e.cropHeight;
    r.currentFrame = e.currentFrame;
    r.totalFrames = static_cast<int32_t>(e.totalFrames);
    r.selectedFrames = static_cast<int32_t>(e.selectedFrames);
    r.totalSamples = static_cast<int32_t>(e.totalSamples);
    r.selectedSamples = static_cast<int32_t>(e.selectedSamples);
    r.outputWidth = e.outputWidth;
    r.outputHeight = e.outputHeight;
    r.outputFrames = static_cast<int32_t>(e.outputFrames);
    r.frameRate = e.frameRate;
    r.durationTicks = e.durationTicks;
    r.decodeRoute = e.decodeRoute;
    auto it = extras_.find(&e);
    if (it != extras_.end()) {
        r.optionFlag = it->second.optionFlag;
        r.selection980 = it->second.selection980;
        r.selection984 = it->second.selection984;
        r.selection996 = it->second.selection996;
        r.previewFirst = it->second.previewFirst;
        r.previewLast = it->second.previewLast;
        r.firstSelectedSample = it->second.firstSelectedSample;
    } else {
        r.previewLast = std::max(0, r.selectedFrames - 1);
    }
    return r;
}

void TableCatalog::restore(int index, const ProjectEntry& saved) {
    InputFileEntry& e = table_.entry(index);
    e.invert = saved.invert != 0;
    e.colourFix = saved.colourFix != 0;
    e.fillIn = saved.fillIn != 0;
    // A crop that does not fit the file as it is now would fail every frame.
    bool cropFits = saved.cropX >= 0 && saved.cropY >= 0 && saved.cropWidth >= 0 &&
                    saved.cropHeight >= 0 && saved.cropX + saved.cropWidth <= e.width &&
                    saved.cropY + saved.cropHeight <= e.height;
    if (cropFits) {
        e.cropX = saved.cropX;
        e.cropY = saved.cropY;
        e.cropWidth = saved.cropWidth;
        e.cropHeight = saved.cropHeight;
    }
    // Selections never reach past what the file holds now.
    if (saved.selectedFrames > 0)
        e.selectedFrames = std::min<uint32_t>(static_cast<uint32_t>(saved.selectedFrames), e.totalFrames);
    if (saved.selectedSamples >= 0)
        e.selectedSamples = std::min<uint32_t>(static_cast<uint32_t>(saved.selectedSamples), e.totalSamples);
    e.currentFrame = std::clamp(saved.currentFrame, 0, std::max<int>(0, static_cast<int>(e.selectedFrames) - 1));
    Extras& x = extras_[&e];
    x.optionFlag = saved.optionFlag;
    x.selection980 = saved.selection980;
    x.selection984 = saved.selection984;
    x.selection996 = saved.selection996;
    x.previewFirst = 0;
    x.previewLast = std::max(0, static_cast<int>(e.selectedFrames) - 1);
    x.firstSelectedSample = saved.firstSelectedSample;
}

void TableCatalog::setOutputSize(int index, int width, int height) {
    InputFileEntry& e = table_.entry(index);
    e.outputWidth = width;
    e.outputHeight = height;
}

std::vector<std::string> TableCatalog::decoders(int index) const {
    const InputFileEntry& e = table_.entry(index);
    std::vector<std::string> out;
    if (!e.isVideoFile) {
        out.push_back("Picture list reader");
        return out;
    }
    if (!e.videoCodecName.empty()) out.push_back("Video decoder: " + e.videoCodecName);
    if (!e.audioCodecName.empty()) out.push_back("Audio decoder: " + e.audioCodecName);
    return out;
}

std::string TableCatalog::describe(int index) const {
    return describeEntryText(table_.entry(index), "\n");
}

bool TableCatalog::sourcePicture(int index, int frame, TBaseDib& out) {
    if (index < 0 || index >= table_.count()) return false;
    Bitmap picture;
    std::string why;
    if (loadSourcePicture(table_.entry(index), frame, picture, &why) != kFrameOk) return false;
    out.assign(picture.pixels.data(), picture.width, picture.height, picture.rowBytes());
    return true;
}

bool TableCatalog::outputPicture(int index, int frame, const ConversionPlan& plan, TBaseDib& out) {
    if (index < 0 || index >= table_.count()) return false;
    InputFileEntry& e = table_.entry(index);
    DeliverySetup setup;
    setup.width = plan.width;
    setup.height = plan.height;
    setup.pal = plan.pal;
    setup.target = plan.target;
    // Frames are given in the entry's own numbering: output frame f shows
    // the source frame the conversion would take for it.
    int outputFrame = static_cast<int>(frame / std::max(0.001, e.frameRate * (plan.pal ? 0.04 : 1 / 29.97)));
    EntryDelivery delivery({&e}, setup, {});
    int32_t rowBytes = 0;
    const uint8_t* pixels = nullptr;
    if (delivery.getFrame(outputFrame, &rowBytes, &pixels) != kFrameOk) return false;
    out.assign(pixels, plan.width, plan.height, rowBytes);
    return true;
}

DeliveryHooks TableCatalog::hooks() {
    DeliveryHooks h;
    h.pump = pump_;
    h.abortJob = abort_;
    h.reportError = [this](const std::string& caption, const std::string& text) {
        host_.messageBox(caption, text, MessageIcon::Error, true);
    };
    h.logDetail = [this](const std::string& line) { host_.logDetail(line); };
    return h;
}

ConversionOutcome TableCatalog::convert(const ConversionPlan& plan,
                                        const std::function<int(const ConversionRequest&)>& send) {
    ConversionChoice choice;
    choice.target = plan.target;
    choice.pal = plan.pal;
    choice.width = plan.width;
    choice.height = plan.height;
    choice.joiner = plan.joiner;
    choice.splitEnabled = plan.splitEnabled;
    choice.maxFileSizeMB = plan.maxFileSizeMB;
    choice.outputName = plan.outputName;
    choice.perEntrySizes = true;
    std::vector<PlannedOutput> outputs = planConversions(table_, choice, hooks());
    ConversionOutcome outcome;
    for (int i : giveBatchOutputsOwnNames(outputs))
        outcome.renamed.push_back(table_.entry(outputs[i].entries.front()).path + " -> " + outputs[i].outputName);
    if (plan.filesOf) {
        const OutputFilesCheck check = checkOutputFiles(table_, outputs, [&](const PlannedOutput& o) {
            ConversionRequest r = o.request;
            r.outputName = o.outputName.c_str();
            return plan.filesOf(r);
        });
        if (!check.refusal.empty()) {
            outcome.refusal = check.refusal;
            return outcome;
        }
        if (!check.existing.empty() && plan.confirmReplace && !plan.confirmReplace(check.existing)) {
            outcome.declined = true;
            return outcome;
        }
    }
    outcome.completed = runConversions(table_, outputs, [&](PlannedOutput& o) {
        ++outcome.outputs;
        if (beforeOutput_) beforeOutput_(o);
        outcome.lastResult = send(o.request);
        return outcome.lastResult;
    });
    return outcome;
}

}  // namespace quillon::app
