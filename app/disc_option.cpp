#include "app/disc_option.h"

#include <filesystem>

namespace quillon::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCaption = "Make disc image";

const char* targetName(int target) {
    static const char* names[5] = {"MPEG-1", "VCD", "MPEG-2", "SVCD", "DVD"};
    return target >= 0 && target < 5 ? names[target] : "?";
}

}  // namespace

DiscOption::DiscOption(QWidget* parent)
    : check_(new QCheckBox("Make disc image", parent)), name_(new QLineEdit(parent)) {
    check_->setToolTip("After the conversion, make a DVD image (.iso, or a folder holding VIDEO_TS) "
                       "or a VCD or SVCD image (.cue and .bin) of the outputs");
    QObject::connect(check_, &QCheckBox::toggled, name_, [this](bool) { setEnabled(windowEnabled_); });
    setEnabled(true);
}

std::string DiscOption::defaultImagePath(int target, const std::string& outputName) {
    disc::DiscFormat format;
    if (outputName.empty() || !disc::discFormatOfTarget(target, &format)) return {};
    fs::path p(outputName);
    p.replace_extension(format == disc::DiscFormat::Dvd ? ".iso" : ".cue");
    return p.string();
}

void DiscOption::refresh(int target, const std::string& outputName) {
    target_ = target;
    default_ = defaultImagePath(target, outputName);
    disc::DiscFormat format;
    name_->setPlaceholderText(!disc::discFormatOfTarget(target, &format)
                                  ? QString("Disc images are made for VCD, SVCD and DVD")
                                  : default_.empty() ? QString("Disc image name") : QString::fromStdString(default_));
    setEnabled(windowEnabled_);
}

void DiscOption::setEnabled(bool on) {
    windowEnabled_ = on;
    // The box stays usable for every target (a generic one is refused,
    // with the targets that make discs, when the conversion starts).
    check_->setEnabled(on);
    name_->setEnabled(on && check_->isChecked());
}

std::string DiscOption::imagePath() const {
    const std::string typed = name_->text().trimmed().toStdString();
    return typed.empty() ? default_ : typed;
}

bool DiscRun::prepare(const DiscOption& option, int target, int pal, const std::vector<std::string>& ownFiles,
                      QtHost& host) {
    active_ = false;
    if (!option.on()) return true;
    disc::DiscFormat format;
    if (!disc::discFormatOfTarget(target, &format)) {
        host.show(kCaption, formatTargetRefusal(target), MessageIcon::Warning);
        return false;
    }
    const std::string path = option.imagePath();
    if (path.empty()) {
        host.show(kCaption, "Please give the disc image a name.", MessageIcon::Warning);
        return false;
    }
    bool overwrite = false;
    std::string problem = disc::checkImagePath(format, path, false);
    if (!problem.empty() && disc::checkImagePath(format, path, true).empty()) {
        // Only the old image is in the way: the user may let it go.
        if (!host.askYesNo(kCaption, problem + " Replace it?")) return false;
        overwrite = true;
        problem.clear();
    }
    if (!problem.empty()) {
        host.show(kCaption, problem, MessageIcon::Error);
        return false;
    }
    const std::string clash = disc::imageClash(format, path, ownFiles);
    if (!clash.empty()) {
        host.show(kCaption, "The disc image " + path + " would replace " + clash + ".", MessageIcon::Error);
        return false;
    }
    request_ = {};
    request_.format = format;
    request_.pal = pal != 0;
    request_.path = path;
    request_.overwrite = overwrite;
    active_ = true;
    return true;
}

std::string DiscRun::formatTargetRefusal(int target) {
    return std::string("The target ") + targetName(target) +
           " makes no disc; disc images are made for VCD, SVCD and DVD.";
}

void DiscRun::outputCompleted(const ConversionRequest& request, std::vector<std::string> files) {
    if (!active_) return;
    disc::DiscOutput out;
    out.width = request.width;
    out.height = request.height;
    out.files = std::move(files);
    request_.outputs.push_back(std::move(out));
}

std::vector<std::string> DiscRun::imageFiles() const {
    if (!active_) return {};
    if (request_.format == disc::DiscFormat::Dvd) return {request_.path};
    return {request_.path, disc::binNameFor(request_.path)};
}

}  // namespace quillon::app
