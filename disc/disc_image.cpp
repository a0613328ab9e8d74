#include "disc/disc_image.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "disc/dvd_layout.h"
#include "disc/stream_span.h"
#include "disc/tool_output.h"
#include "disc/tool_process.h"
#include "engine/engine.h"
#include "engine/format.h"

namespace quillon::disc {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStage = "Making disc image";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool endsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && lower(s.substr(s.size() - suffix.size())) == suffix;
}

// The folder an image of this name goes into.
fs::path folderOf(const std::string& path) {
    fs::path p(path);
    // "disc/" names the folder "disc".
    if (!p.has_filename()) p = p.parent_path();
    fs::path parent = p.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

fs::path withoutTrailingSlash(const std::string& path) {
    fs::path p(path);
    return p.has_filename() ? p : p.parent_path();
}

// A folder that holds a DVD structure and nothing else: VIDEO_TS and
// AUDIO_TS folders of plain files.
bool onlyDvdStructure(const fs::path& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if ((name != "VIDEO_TS" && name != "AUDIO_TS") || !e.is_directory() || e.is_symlink()) return false;
        for (const auto& f : fs::directory_iterator(e.path(), ec))
            if (!f.is_regular_file() || f.is_symlink()) return false;
        if (ec) return false;
    }
    return !ec;
}

bool isEmptyFolder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder, ec) && fs::is_empty(folder, ec) && !ec;
}

// Something of this name is there (a dangling link counts).
bool taken(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

// Moves a finished file or folder under its name without replacing
// anything that appeared there meanwhile.
bool moveIntoPlace(const fs::path& from, const fs::path& to, std::string* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the no-replace rename.
        if (taken(to)) {
            errno = EEXIST;
        } else if (std::rename(from.c_str(), to.c_str()) == 0) {
            return true;
        }
    }
    *error = std::strerror(errno);
    return false;
}

uint64_t sizeOf(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

uint64_t folderBytes(const fs::path& folder) {
    uint64_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec)) total += sizeOf(it->path());
    }
    return total;
}

// The work folder beside the image; removed with everything in it when
// the object goes, whatever happened.
class WorkFolder {
public:
    ~WorkFolder() { remove(); }
    bool create(const fs::path& parent, std::string* error) {
        std::string pattern = (parent / ".quillon-disc-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) {
            *error = std::strerror(errno);
            return false;
        }
        path_ = buffer.data();
        return true;
    }
    void remove() {
        if (path_.empty()) return;
        std::error_code ec;
        fs::remove_all(path_, ec);
        path_.clear();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// One tool run of the stage, its lines sorted into the log and the
// warnings, its progress measured by what it has written so far.
struct ToolRun {
    std::string tool;
    std::vector<std::string> args;
    fs::path directory;
    std::vector<std::string> environment;
    std::string activity;                // for the status text
    std::function<uint64_t()> produced;  // bytes written so far
    uint64_t expected = 0;               // bytes when done
    int firstPercent = 0, lastPercent = 100;
};

class DiscBuilder {
public:
    DiscBuilder(Engine& engine, const DiscRequest& request) : e_(engine), r_(request) {}
    bool build();

private:
    bool findTools();
    bool linkInputs();
    bool runTool(const ToolRun& run);
    bool buildDvd();
    bool buildCueBin();
    bool place();
    void progress(int percent, const std::string& activity);
    bool stopped() {
        e_.pumpMessages();
        return e_.stopRequested();
    }
    std::string linkName(const std::string& file, const std::string& name);

    Engine& e_;
    const DiscRequest& r_;
    std::map<std::string, std::string> programs_;
    WorkFolder work_;
    // The files as the tools are to open them: per output, per file.
    std::vector<std::vector<std::string>> linked_;
    uint64_t inputBytes_ = 0;
    std::set<std::string> warned_;
    int lastPercent_ = -1;
};

void DiscBuilder::progress(int percent, const std::string& activity) {
    percent = std::clamp(percent, 0, 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    e_.setProgress(formatText("%s: %d%% - %s", kStage, percent, activity.c_str()), percent);
}

bool DiscBuilder::findTools() {
    for (const std::string& tool : toolsFor(r_)) {
        const std::string program = findProgram(tool);
        if (program.empty()) {
            const char* package = packageOfTool(tool);
            e_.reportError(formatText("%s was not found on the PATH; it comes with the Debian package %s "
                                      "(apt-get install %s). The program streams are kept.",
                                      tool.c_str(), package, package));
            return false;
        }
        programs_[tool] = program;
    }
    return true;
}

std::string DiscBuilder::linkName(const std::string& file, const std::string& name) {
    std::error_code ec;
    const fs::path target = fs::absolute(file, ec);
    const fs::path link = work_.path() / name;
    if (!ec && ::symlink(target.c_str(), link.c_str()) == 0) return name;
    // A file system without links (a memory stick): the tool gets the
    // full name instead.
    return ec ? file : target.string();
}

bool DiscBuilder::linkInputs() {
    int track = 0;
    for (size_t o = 0; o < r_.outputs.size(); ++o) {
        std::vector<std::string> names;
        for (size_t p = 0; p < r_.outputs[o].files.size(); ++p) {
            const std::string& file = r_.outputs[o].files[p];
            std::error_code ec;
            if (!fs::is_regular_file(file, ec)) {
                e_.reportError(formatText("Unable to open program stream file %s for the disc image.", file.c_str()));
                return false;
            }
            inputBytes_ += sizeOf(file);
            const std::string name = r_.format == DiscFormat::Dvd
                                         ? formatText("title%02d-%02d.mpg", static_cast<int>(o + 1), static_cast<int>(p))
                                         : formatText("track%02d.mpg", ++track);
            std::string opened = linkName(file, name);
            // dvdauthor runs a name ending in "|" as a command.
            if (r_.format == DiscFormat::Dvd && !opened.empty() && opened.back() == '|') {
                e_.reportError(formatText("The file name %s cannot be handed to dvdauthor.", file.c_str()));
                return false;
            }
            names.push_back(opened);
        }
        linked_.push_back(std::move(names));
    }
    return true;
}

bool DiscBuilder::runTool(const ToolRun& run) {
    e_.logLine(formatText("  Running %s", run.tool.c_str()));
    progress(run.firstPercent, run.activity);
    ToolCommand command;
    command.program = programs_[run.tool];
    command.args = run.args;
    command.directory = run.directory.string();
    command.environment = run.environment;
    ToolProcess process;
    std::string error;
    if (!process.start(command, &error)) {
        e_.reportError(formatText("Unable to run %s: %s.", command.program.c_str(), error.c_str()));
        return false;
    }
    std::vector<std::string> errors;
    std::string lastLine;
    auto onLine = [&](const std::string& line) {
        const LineKind kind = classifyLine(run.tool, line);
        if (kind == LineKind::Progress) return;
        if (line.find_first_not_of(" \t") == std::string::npos) return;
        e_.logLine("    " + run.tool + ": " + line);
        lastLine = line;
        if (kind == LineKind::Error) errors.push_back(line);
        // A tool may say the same thing for every sector; once is enough.
        if (kind == LineKind::Warning && warned_.insert(line).second) e_.reportWarning(run.tool + ": " + line);
    };
    auto showProgress = [&] {
        if (!run.produced || run.expected == 0) return;
        const double done = std::min(0.99, static_cast<double>(run.produced()) / static_cast<double>(run.expected));
        progress(run.firstPercent + static_cast<int>(done * (run.lastPercent - run.firstPercent)), run.activity);
    };
    bool open = true;
    while (open || !process.exited()) {
        if (open) {
            open = process.readLines(100, onLine);
        } else {
            ::usleep(20000);
        }
        if (stopped()) {
            process.terminate();
            return false;
        }
        showProgress();
    }
    const int status = process.status();
    if (status != 0 || !errors.empty()) {
        std::string why;
        const std::vector<std::string>& shown = errors.empty() ? std::vector<std::string>{lastLine} : errors;
        for (size_t i = 0; i < shown.size() && i < 3; ++i)
            if (!shown[i].empty()) why += "\n" + shown[i];
        e_.reportError(formatText("%s failed with exit status %d.", run.tool.c_str(), status) + why);
        return false;
    }
    progress(run.lastPercent, run.activity);
    return true;
}

bool DiscBuilder::buildDvd() {
    const bool iso = imageKindOf(r_.format, r_.path) == ImageKind::Iso;
    const int64_t period = r_.pal ? 3600 : 3003;
    std::vector<DvdTitle> titles;
    for (size_t o = 0; o < r_.outputs.size(); ++o) {
        DvdTitle t;
        t.parts = linked_[o];
        t.width = r_.outputs[o].width;
        t.height = r_.outputs[o].height;
        for (const std::string& file : r_.outputs[o].files) {
            const double seconds = playingSeconds(file, period);
            if (seconds < 0)
                e_.logLine(formatText("    No picture times found in %s; its chapters may be off.", file.c_str()));
            t.partSeconds.push_back(std::max(0.0, seconds));
        }
        titles.push_back(std::move(t));
    }
    const fs::path control = work_.path() / "dvdauthor.xml";
    {
        std::ofstream out(control, std::ios::binary);
        out << dvdauthorControl(titles, r_.pal, r_.chapterMinutes * 60.0, "dvd");
        if (!out) {
            e_.reportError(formatText("Unable to write %s.", control.c_str()));
            return false;
        }
    }
    const fs::path dvd = work_.path() / "dvd";
    ToolRun author;
    author.tool = "dvdauthor";
    author.args = {"-x", "dvdauthor.xml"};
    author.directory = work_.path();
    // The control file names the format; the tool's default says the same.
    author.environment = {std::string("VIDEO_FORMAT=") + (r_.pal ? "PAL" : "NTSC")};
    author.activity = "authoring the DVD (dvdauthor)";
    author.produced = [dvd] { return folderBytes(dvd); };
    author.expected = inputBytes_;
    author.lastPercent = iso ? 50 : 100;
    if (!runTool(author)) return false;
    if (!fs::exists(dvd / "VIDEO_TS" / "VIDEO_TS.IFO")) {
        e_.reportError("dvdauthor ended without writing VIDEO_TS.IFO.");
        return false;
    }
    if (!iso) return true;

    ToolRun image;
    image.tool = "genisoimage";
    image.args = {"-dvd-video", "-input-charset", "utf-8", "-V", volumeLabel(r_.path), "-o", "image.iso", "dvd"};
    image.directory = work_.path();
    image.activity = "writing the ISO image (genisoimage)";
    const fs::path isoPath = work_.path() / "image.iso";
    image.produced = [isoPath] { return sizeOf(isoPath); };
    image.expected = folderBytes(dvd);
    image.firstPercent = 50;
    if (!runTool(image)) return false;
    if (sizeOf(isoPath) == 0) {
        e_.reportError("genisoimage ended without writing the image.");
        return false;
    }
    return true;
}

bool DiscBuilder::buildCueBin() {
    const std::string cueName = fs::path(r_.path).filename().string();
    const std::string binName = fs::path(binNameFor(r_.path)).filename().string();
    ToolRun run;
    run.tool = "vcdimager";
    run.args = {"-t", r_.format == DiscFormat::Vcd ? "vcd2" : "svcd", "--cue-file=" + cueName, "--bin-file=" + binName};
    for (const auto& files : linked_)
        for (const std::string& f : files) run.args.push_back(f);
    run.directory = work_.path();
    run.activity = r_.format == DiscFormat::Vcd ? "writing the VCD image (vcdimager)" : "writing the SVCD image (vcdimager)";
    const fs::path bin = work_.path() / binName;
    run.produced = [bin] { return sizeOf(bin); };
    // Raw CD sectors carry 2352 bytes for the 2324 of a program stream sector.
    run.expected = inputBytes_ / 2324 * 2352;
    if (!runTool(run)) return false;
    if (sizeOf(bin) == 0 || !fs::exists(work_.path() / cueName)) {
        e_.reportError("vcdimager ended without writing the cue and bin files.");
        return false;
    }
    return true;
}

bool DiscBuilder::place() {
    const ImageKind kind = imageKindOf(r_.format, r_.path);
    // Whatever appeared under the name since the conversion started is
    // looked at again now.
    const std::string problem = checkImagePath(r_.format, r_.path, r_.overwrite);
    if (!problem.empty()) {
        e_.reportError(problem);
        return false;
    }
    std::error_code ec;
    std::string error;
    auto clear = [&](const fs::path& p) {
        if (!taken(p)) return true;
        if (fs::is_directory(p) && !fs::is_symlink(p)) fs::remove_all(p, ec);  // checked above: a DVD structure
        else fs::remove(p, ec);
        if (ec) {
            e_.reportError(formatText("Unable to replace %s: %s.", p.c_str(), ec.message().c_str()));
            return false;
        }
        return true;
    };
    if (kind == ImageKind::CueBin) {
        const fs::path cue = r_.path, bin = binNameFor(r_.path);
        if (!clear(bin) || !clear(cue)) return false;
        if (!moveIntoPlace(work_.path() / bin.filename(), bin, &error)) {
            e_.reportError(formatText("Unable to write %s: %s.", bin.c_str(), error.c_str()));
            return false;
        }
        if (!moveIntoPlace(work_.path() / cue.filename(), cue, &error)) {
            e_.reportError(formatText("Unable to write %s: %s.", cue.c_str(), error.c_str()));
            fs::remove(bin, ec);
            return false;
        }
        return true;
    }
    const fs::path target = withoutTrailingSlash(r_.path);
    const fs::path made = work_.path() / (kind == ImageKind::Iso ? "image.iso" : "dvd");
    if (!clear(target)) return false;
    if (!moveIntoPlace(made, target, &error)) {
        e_.reportError(formatText("Unable to write %s: %s.", target.c_str(), error.c_str()));
        return false;
    }
    return true;
}

bool DiscBuilder::build() {
    e_.logLine(" ");
    e_.logLine(std::string(kStage) + ":");
    progress(0, "starting");
    if (r_.outputs.empty()) {
        e_.reportError("There is no program stream to make a disc image of.");
        return false;
    }
    if (!findTools()) return false;
    std::string error;
    if (!work_.create(folderOf(r_.path), &error)) {
        e_.reportError(formatText("Unable to create a work folder beside %s: %s.", r_.path.c_str(), error.c_str()));
        return false;
    }
    const bool ok = linkInputs() && !stopped() &&
                    (r_.format == DiscFormat::Dvd ? buildDvd() : buildCueBin()) && !stopped() && place();
    work_.remove();
    if (ok) {
        progress(100, "done");
        e_.logLine(formatText("  Disc image %s written.", r_.path.c_str()));
        const ImageKind kind = imageKindOf(r_.format, r_.path);
        const uint64_t bytes = kind == ImageKind::Iso      ? sizeOf(r_.path)
                               : kind == ImageKind::Folder ? folderBytes(withoutTrailingSlash(r_.path))
                                                           : sizeOf(binNameFor(r_.path));
        const std::string tooBig = capacityWarning(r_.format, bytes);
        if (!tooBig.empty()) e_.reportWarning(tooBig);
    } else if (e_.stopRequested()) {
        e_.logLine(" ");
        e_.logLine("DISC IMAGE ABORTED.");
    }
    return ok;
}

// The conversion dialog for the stage: starts the work by itself, Stop
// asks and Cancel stops at once while it runs, and it closes when done.
class DiscDialog : public DialogController {
public:
    DiscDialog(Engine& engine, DialogView& view, const DiscRequest& request)
        : e_(engine), view_(view), r_(request) {}

    void onShown() override {
        e_.setActiveDialog(&view_);
        view_.setStartEnabled(false);
        view_.setStopEnabled(false);
        view_.setCancelEnabled(true);
        view_.setCancelLabel("&Cancel");
        view_.setStatusText(kStage);
        view_.setProgressValue(0);
        view_.setShutdownChecked(e_.host().shutdownChoice());
        view_.startTimer(kStartDelayMs);
    }
    void onStartTimer() override { onStart(); }
    void onStart() override {
        if (started_) return;
        started_ = true;
        running_ = true;
        e_.job.stopRequested = false;
        e_.clearStopPress();
        view_.setStopEnabled(true);
        view_.setCancelEnabled(false);
        done_ = buildDisc(e_, r_);
        running_ = false;
        view_.setStopEnabled(false);
        view_.setCancelLabel("&Ok");
        view_.setCancelEnabled(true);
        e_.setActiveDialog(nullptr);
        view_.postClose();
    }
    void onStop() override {
        if (running_) e_.pressStop();
    }
    void onCancel() override {
        if (running_) {
            e_.job.stopRequested = true;
            return;
        }
        e_.setActiveDialog(nullptr);
        view_.postClose();
    }
    bool done() const { return done_; }

    static constexpr int kStartDelayMs = 100;

private:
    Engine& e_;
    DialogView& view_;
    const DiscRequest& r_;
    bool started_ = false, running_ = false, done_ = false;
};

}  // namespace

bool discFormatOfTarget(int kind, DiscFormat* format) {
    switch (kind) {
    case 1: *format = DiscFormat::Vcd; return true;
    case 3: *format = DiscFormat::Svcd; return true;
    case 4: *format = DiscFormat::Dvd; return true;
    default: return false;
    }
}

std::string noDiscMessage(const char* targetName) {
    return formatText("The target %s makes no disc; disc images are made for the targets vcd, svcd and dvd.",
                      targetName);
}

ImageKind imageKindOf(DiscFormat format, const std::string& path) {
    if (format != DiscFormat::Dvd) return ImageKind::CueBin;
    return endsWithNoCase(path, ".iso") ? ImageKind::Iso : ImageKind::Folder;
}

std::string binNameFor(const std::string& cuePath) {
    return endsWithNoCase(cuePath, ".cue") ? cuePath.substr(0, cuePath.size() - 4) + ".bin" : cuePath + ".bin";
}

std::string checkImagePath(DiscFormat format, const std::string& path, bool overwrite) {
    if (path.empty()) return "The disc image needs a name.";
    const ImageKind kind = imageKindOf(format, path);
    const fs::path named = withoutTrailingSlash(path);
    const std::string base = named.filename().string();
    if (kind == ImageKind::CueBin && (!endsWithNoCase(path, ".cue") || base.size() <= 4))
        return formatText("A VCD or SVCD image is named by its cue file, such as disc.cue (not %s).", path.c_str());
    if (kind != ImageKind::CueBin && (endsWithNoCase(path, ".cue") || endsWithNoCase(path, ".bin")))
        return formatText("A DVD image is an .iso file or a folder (not %s).", path.c_str());
    if (kind == ImageKind::Iso && base.size() <= 4)
        return formatText("The ISO image needs a name before .iso (not %s).", path.c_str());
    if (base == "." || base == "..") return formatText("%s cannot name a disc image.", path.c_str());
    const fs::path folder = folderOf(path);
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return formatText("The folder %s for the disc image does not exist.", folder.c_str());
    std::vector<fs::path> names{named};
    if (kind == ImageKind::CueBin) names.push_back(binNameFor(path));
    for (const fs::path& p : names) {
        if (!taken(p)) continue;
        const bool isFolder = fs::is_directory(fs::symlink_status(p, ec));
        if (kind == ImageKind::Folder) {
            if (!isFolder) return formatText("%s is a file; a DVD folder cannot go there.", p.c_str());
            if (isEmptyFolder(p)) continue;
            if (!overwrite) return formatText("%s already exists and is not empty.", p.c_str());
            if (!onlyDvdStructure(p))
                return formatText("%s holds other files than a DVD structure; it is not replaced.", p.c_str());
            continue;
        }
        if (isFolder) return formatText("%s is a folder; the disc image cannot replace it.", p.c_str());
        if (!overwrite) return formatText("%s already exists.", p.c_str());
    }
    return {};
}

std::string imageClash(DiscFormat format, const std::string& path, const std::vector<std::string>& files) {
    std::error_code ec;
    const ImageKind kind = imageKindOf(format, path);
    std::vector<fs::path> mine{fs::weakly_canonical(withoutTrailingSlash(path), ec)};
    if (kind == ImageKind::CueBin) mine.push_back(fs::weakly_canonical(binNameFor(path), ec));
    for (const std::string& file : files) {
        const fs::path f = fs::weakly_canonical(file, ec);
        for (const fs::path& m : mine) {
            if (f == m) return file;
            if (kind == ImageKind::Folder) {
                const auto [end, rest] = std::mismatch(m.begin(), m.end(), f.begin(), f.end());
                if (end == m.end()) return file;  // inside the folder
            }
        }
    }
    return {};
}

std::vector<std::string> programStreamFiles(const std::vector<std::string>& written,
                                            const std::vector<std::string>& streamNames) {
    std::vector<std::string> files;
    for (const std::string& file : written)
        if (std::find(streamNames.begin(), streamNames.end(), file) == streamNames.end()) files.push_back(file);
    return files;
}

std::string capacityWarning(DiscFormat format, uint64_t bytes) {
    // A single-layer DVD: 2,295,104 sectors. A CD of 80 minutes: 360,000
    // raw sectors of 2352 bytes.
    constexpr uint64_t kDvd = 2295104ull * 2048, kCd = 360000ull * 2352;
    if (format == DiscFormat::Dvd && bytes > kDvd)
        return formatText("The disc image holds %.2f GB, more than a single-layer DVD (4.70 GB) takes.",
                          static_cast<double>(bytes) / 1e9);
    if (format != DiscFormat::Dvd && bytes > kCd)
        return formatText("The disc image holds %.1f minutes of CD sectors, more than a CD of 80 minutes takes.",
                          static_cast<double>(bytes / 2352) / (75.0 * 60.0));
    return {};
}

const char* packageOfTool(const std::string& tool) {
    if (tool == "dvdauthor") return "dvdauthor";
    if (tool == "genisoimage") return "genisoimage";
    if (tool == "vcdimager") return "vcdimager";
    return "?";
}

std::vector<std::string> toolsFor(const DiscRequest& request) {
    if (request.format != DiscFormat::Dvd) return {"vcdimager"};
    if (imageKindOf(request.format, request.path) == ImageKind::Iso) return {"dvdauthor", "genisoimage"};
    return {"dvdauthor"};
}

std::string volumeLabel(const std::string& path) {
    std::string base = withoutTrailingSlash(path).filename().string();
    if (endsWithNoCase(base, ".iso")) base.resize(base.size() - 4);
    std::string label;
    for (char c : base) {
        if (label.size() == 32) break;
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) && u < 0x80) label += static_cast<char>(std::toupper(u));
        else if (!label.empty() && label.back() != '_') label += '_';
    }
    while (!label.empty() && label.back() == '_') label.pop_back();
    return label.empty() ? "DVD_VIDEO" : label;
}

bool buildDisc(Engine& engine, const DiscRequest& request) { return DiscBuilder(engine, request).build(); }

bool makeDisc(Engine& engine, const DiscRequest& request) {
    std::unique_ptr<DialogView> view = engine.host().createDialog();
    if (!view) {
        engine.reportError("Unable to create main window.");
        return false;
    }
    DiscDialog dialog(engine, *view, request);
    view->runModal(dialog);
    engine.setActiveDialog(nullptr);
    return dialog.done();
}

}  // namespace quillon::disc
