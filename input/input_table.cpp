#include "input/input_table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "engine/format.h"
#include "image/image_file.h"
#include "input/frame_delivery.h"
#include "input/media_file.h"
#include "input/media_log.h"
#include "platform/output_files.h"
#include "platform/regular_file.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

constexpr const char* kOpenError = "open avi file error";
constexpr const char* kOpenWarning = "open avi file warning";
constexpr const char* kListError = "add file error";
constexpr const char* kListLimitError = "add file list error";
constexpr const char* kDecoderHelp =
    " Please install a decoder for this kind of file (the FFmpeg libraries built with it) and try again.";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

void showError(Host& host, const char* caption, const std::string& text) {
    host.messageBox(caption, text, MessageIcon::Error, false);
}

void showWarning(Host& host, const char* caption, const std::string& text) {
    host.messageBox(caption, text, MessageIcon::Warning, false);
}

// The 4 bytes at the offset, printable characters only.
std::string readCode(std::FILE* f, long offset) {
    char buf[4] = {};
    if (std::fseek(f, offset, SEEK_SET) != 0 || std::fread(buf, 1, 4, f) != 4) return {};
    std::string out;
    for (char c : buf) {
        if (static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127) out += c;
    }
    return out;
}

std::string fourCCOf(const std::string& path, std::string* compressor) {
    if (lower(path).find(".avi") == std::string::npos) return {};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    std::string handler = readCode(f, 112);
    std::string compression = readCode(f, 188);
    std::fclose(f);
    if (compressor) *compressor = compression.empty() ? handler : compression;
    return handler + "/" + compression;
}

int chooseDecodeRoute(const std::string& decoderNames, const std::string& fourCC, bool decompressorAvailable) {
    int route = kRouteSequential;
    if (decoderNames.find("Moonlight NicePheratu") != std::string::npos) {
        route = kRouteSeekEachFrame;
    } else if (decoderNames.find("XviD MPEG-4") != std::string::npos) {
        route = kRouteKeyFrameSequential;
    } else if (decoderNames.find("ffdshow MPEG-4") != std::string::npos) {
        route = kRouteSequential;
    } else if (decoderNames.find("MPEG-4") != std::string::npos) {
        route = kRouteKeyFrameSequential;
    } else if (decoderNames.find("MPEG2") != std::string::npos || decoderNames.find("MPEG") != std::string::npos) {
        route = kRouteSeekEachFrameMpeg;
    } else if (decoderNames.find("DivX") != std::string::npos) {
        route = kRouteFrameByFrame;
    }
    static constexpr const char* kUncompressed[] = {
        "_BIT", "_RGB", "_RL4", "_RL8", "BGR",  "DIB",  "RGB",  "RGBA", "RGBT", "RLE",  "RLE4", "RLE8", "Y800",
        "AYUV", "IF09", "IYUV", "UYVY", "Y211", "Y411", "Y41P", "YUY2", "YV12", "YVU9", "YVYU", "DVSD"};
    const std::string code = upper(fourCC);
    for (const char* c : kUncompressed) {
        if (code.find(c) != std::string::npos) return route;
    }
    if (route != kRouteFrameByFrame && route != kRouteKeyFrameSequential && decompressorAvailable) {
        route = kRouteFrameByFrame;
    }
    return route;
}

uint64_t fileSizeOf(const std::string& path) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

void logDescription(Host& host, const InputFileEntry& entry) {
    for (const std::string& line : describeEntry(entry)) host.logLine(line);
}

}  // namespace

int sampleRateMultiplier(int sampleRate) {
    switch (sampleRate) {
        case 16000:
        case 22050:
        case 24000:
            return 2;
        case 8000:
        case 11025:
        case 12000:
            return 4;
        default:
            return 1;
    }
}

int InputFileEntry::rateMultiplier() const { return sampleRateMultiplier(sampleRate); }
int InputFileEntry::countedSampleRate() const { return sampleRate * rateMultiplier(); }

std::unique_ptr<InputFileEntry> openVideoFile(const std::string& path, Host& host) {
    if (lower(fs::path(path).extension().string()) == ".avs") {
        showError(host, kOpenError,
                  formatText("Can't open %s. Script inputs (.avs) are not supported here; convert the script's "
                             "output to a video file first.",
                             path.c_str()));
        return nullptr;
    }
    host.logLine(formatText("Opening file %s", path.c_str()));
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        // Say why, so the user knows what to mend.
        struct stat st;
        std::string why = "not a regular file";
        if (::stat(path.c_str(), &st) != 0) why = fileErrorText(errno);
        else if (S_ISDIR(st.st_mode)) why = "a folder, not a media file";
        showError(host, kOpenError, formatText("Can't open %s.", path.c_str()) + " (" + why + ")");
        return nullptr;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        showError(host, kOpenError, formatText("Can't open %s.", path.c_str()) + " (" + fileErrorText(errno) + ")");
        return nullptr;
    }
    auto entry = std::make_unique<InputFileEntry>();
    entry->path = path;
    entry->isVideoFile = true;
    std::string compressor;
    entry->fourCC = fourCCOf(path, &compressor);
    entry->fileSize = fileSizeOf(path);

    MediaOpenFailure failure = MediaOpenFailure::None;
    std::string detail;
    std::unique_ptr<MediaFile> media = MediaFile::open(path, &failure, &detail);
    if (!media) {
        switch (failure) {
            case MediaOpenFailure::CannotOpen:
                // A readable regular file the media libraries do not take.
                showError(host, kOpenError,
                          formatText("Can't open %s.", path.c_str()) + " (not a media file: " + detail + ")");
                break;
            case MediaOpenFailure::NoStreamInfo:
                showError(host, kOpenError, formatText("Can't get file information from %s.", path.c_str()) +
                                                " (" + detail + ")");
                break;
            case MediaOpenFailure::NoVideoDecoder: {
                std::string code = compressor.empty() ? detail : compressor;
                code.resize(4, ' ');
                showError(host, kOpenError,
                          formatText("Can't initialize avi file  %s, compressor = %c%c%c%c.", path.c_str(), code[0],
                                     code[1], code[2], code[3]) +
                              kDecoderHelp);
                break;
            }
            case MediaOpenFailure::BadTiming:
                showError(host, kOpenError, printableText(detail));
                break;
            case MediaOpenFailure::NoStreams:
            case MediaOpenFailure::None:
                showError(host, kOpenError, formatText("%s can not be initialized.", path.c_str()));
                break;
        }
        return nullptr;
    }
    if (!media->seekable() &&
        !host.askYesNo("open file warning", "File indicates it does not support seeking, try anyway?")) {
        return nullptr;
    }
    if (media->hasVideo())
        host.logLine("  Video decoder: " + media->videoCodecLongName() + " (" + media->videoCodecName() + ")");
    if (!media->audioCodecName().empty()) host.logLine("  Audio decoder: " + media->audioCodecName());

    if (!media->timingNote().empty()) showWarning(host, kOpenWarning, printableText(media->timingNote()));
    entry->hasVideo = media->hasVideo();
    if (entry->hasVideo) {
        if (media->durationTicks() <= 0 || media->totalFrames() <= 0) {
            showError(host, kOpenError, "Can't get Duration");
            return nullptr;
        }
        if (media->frameRate() <= 0) {
            showError(host, kOpenError, "Can't get time per frame");
            return nullptr;
        }
        if (media->width() <= 0 || media->height() <= 0) {
            showError(host, kOpenError, "Can't get video width and height No.1");
            return nullptr;
        }
        entry->width = media->width();
        entry->height = media->height();
        entry->frameRate = media->frameRate();
        entry->pixelAspect = media->pixelAspect();
        entry->durationTicks = media->durationTicks();
        entry->totalFrames = static_cast<uint32_t>(std::min<int64_t>(media->totalFrames(), UINT32_MAX));
        entry->videoCodecName = media->videoCodecName();
        entry->decodeRoute = chooseDecodeRoute(media->videoCodecLongName() + " " + media->videoCodecName(),
                                               entry->fourCC, true);
    } else {
        showError(host, kOpenError, formatText("Can't get video stream information from %s.", path.c_str()));
        return nullptr;
    }
    if (media->hasAudio()) {
        entry->hasAudio = true;
        entry->channels = media->channels();
        entry->sampleRate = media->sampleRate();
        entry->bitsPerSample = media->bitsPerSample();
        entry->audioCodecName = media->audioCodecName();
        const int64_t counted = media->totalSamples() * sampleRateMultiplier(entry->sampleRate);
        entry->totalSamples = static_cast<uint32_t>(std::min<int64_t>(counted, UINT32_MAX));
    } else if (media->audioUndecodable()) {
        showWarning(host, kOpenWarning, "Audio type is not supported");
    } else {
        showWarning(host, kOpenWarning,
                    formatText("%s has no audio stream, or needs an audio decoder; it is converted with silence.",
                               path.c_str()));
    }
    entry->selectedFrames = entry->totalFrames;
    entry->selectedSamples = entry->totalSamples;
    entry->media = std::move(media);
    return entry;
}

namespace {

// The pictures' entry values, from the first picture: its size, one frame a
// second, no sound.
bool describePictures(InputFileEntry& entry, Host& host) {
    Bitmap first;
    std::string why;
    if (!loadPicture(entry.listFile[0], first, &why)) {
        showError(host, kListError,
                  printableText(formatText("Error reading file %s.", entry.listFile[0].c_str()) + " (" + why + ")"));
        return false;
    }
    entry.width = first.width;
    entry.height = first.height;
    entry.hasVideo = true;
    entry.frameRate = 1.0;
    entry.totalFrames = static_cast<uint32_t>(std::min<size_t>(entry.listFile.size(), UINT32_MAX));
    entry.selectedFrames = entry.totalFrames;
    entry.durationTicks = static_cast<int64_t>(entry.totalFrames) * 10'000'000;
    return true;
}

}  // namespace

std::unique_ptr<InputFileEntry> openImageList(const std::string& path, Host& host) {
    std::string text, why;
    if (readRegularFile(path, kMaxListFileBytes, text, &why) != FileCheck::Ok) {
        showError(host, kListError, formatText("Error reading file %s.", printableText(path).c_str()) + " (It " + why + ".)");
        return nullptr;
    }
    auto entry = std::make_unique<InputFileEntry>();
    entry->path = path;
    entry->isVideoFile = false;
    entry->listDirectory = fs::path(path).parent_path().string();
    // A byte-order mark that an editor put in front is not part of the
    // first path.
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int lineNumber = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        // Blanks around a path are the editor's, not the name's.
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;  // blank lines name no picture
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        const char* fault = nullptr;
        if (line.size() > kMaxListPathLength) fault = "is longer than a path may be";
        else if (!isPathText(line)) fault = "holds bytes no picture path has; this is not an image list";
        if (fault) {
            showError(host, kListError,
                      formatText("Error reading file %s.", printableText(path).c_str()) +
                          formatText(" (Line %d %s.)", lineNumber, fault));
            return nullptr;
        }
        fs::path picture(line);
        if (picture.is_relative() && !entry->listDirectory.empty()) picture = fs::path(entry->listDirectory) / picture;
        entry->listFile.push_back(picture.string());
    }
    if (entry->listFile.empty()) {
        showError(host, kListError,
                  formatText("Error reading file %s.", printableText(path).c_str()) + " (It names no picture.)");
        return nullptr;
    }
    if (!describePictures(*entry, host)) return nullptr;
    entry->fileSize = fileSizeOf(path);
    return entry;
}

bool isImageListPath(const std::string& path) { return lower(fs::path(path).extension().string()) == ".lst"; }

std::string printableText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        // The length of a well-formed UTF-8 sequence starting here, 0 if none.
        size_t len = 0;
        if (c >= 0x20 && c < 0x7F) len = 1;
        else if (c == '\n' || c == '\t') len = 1;
        else if (c >= 0xC2 && c <= 0xF4) {
            const size_t want = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            bool ok = i + want <= n;
            for (size_t k = 1; ok && k < want; ++k) ok = (p[i + k] & 0xC0) == 0x80;
            // No overlong forms, surrogates or code points past U+10FFFF.
            if (ok && c == 0xE0 && p[i + 1] < 0xA0) ok = false;
            if (ok && c == 0xED && p[i + 1] >= 0xA0) ok = false;
            if (ok && c == 0xF0 && p[i + 1] < 0x90) ok = false;
            if (ok && c == 0xF4 && p[i + 1] >= 0x90) ok = false;
            // C1 control characters.
            if (ok && c == 0xC2 && p[i + 1] < 0xA0) ok = false;
            if (ok) len = want;
        }
        if (len == 0) {
            out += formatText("\\x%02X", c);
            ++i;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

bool isPathText(const std::string& text) {
    // Names in other encodings than UTF-8 are still names; control
    // characters are what a binary file has and a path does not.
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

std::unique_ptr<InputFileEntry> openPicture(const std::string& path, Host& host) {
    auto entry = std::make_unique<InputFileEntry>();
    entry->path = path;
    entry->isVideoFile = false;
    entry->listDirectory = fs::path(path).parent_path().string();
    entry->listFile.push_back(path);
    if (!describePictures(*entry, host)) return nullptr;
    entry->fileSize = fileSizeOf(path);
    return entry;
}

bool isPicturePath(const std::string& path) {
    static const char* const kPictureTypes[] = {".jpg", ".jpeg", ".png", ".bmp", ".gif", ".tga", ".tif", ".tiff"};
    const std::string ext = lower(fs::path(path).extension().string());
    for (const char* type : kPictureTypes)
        if (ext == type) return true;
    return false;
}

std::unique_ptr<InputFileEntry> openInput(const std::string& path, Host& host) {
    if (isImageListPath(path)) return openImageList(path, host);
    if (isPicturePath(path)) return openPicture(path, host);
    return openVideoFile(path, host);
}

bool InputTable::open(const std::string& path, Host& host) {
    const bool isList = isImageListPath(path);
    if (count() >= kMaxInputEntries) {
        showError(host, isList ? kListLimitError : kOpenError,
                  formatText("The maximum number (%d) of files has been opened.", kMaxInputEntries));
        return false;
    }
    std::unique_ptr<InputFileEntry> entry = openInput(path, host);
    for (const std::string& line : takeMediaMessages()) host.logDetail(line);
    if (!entry) return false;
    entries_.push_back(std::move(entry));
    select(count() - 1);
    logDescription(host, *entries_.back());
    return true;
}

void InputTable::remove(int index) {
    if (index < 0 || index >= count()) return;
    entries_.erase(entries_.begin() + index);
    if (entries_.empty()) {
        selected_ = -1;
    } else if (selected_ >= count()) {
        selected_ = count() - 1;
    } else if (selected_ > index) {
        --selected_;
    }
    if (converting_ >= count()) converting_ = 0;
}

void InputTable::clear() {
    entries_.clear();
    selected_ = -1;
    converting_ = 0;
}

bool InputTable::moveUp(int index) {
    if (index <= 0 || index >= count()) return false;
    std::swap(entries_[static_cast<size_t>(index)], entries_[static_cast<size_t>(index - 1)]);
    if (selected_ == index) selected_ = index - 1;
    else if (selected_ == index - 1) selected_ = index;
    return true;
}

bool InputTable::moveDown(int index) {
    if (index < 0 || index + 1 >= count()) return false;
    return moveUp(index + 1);
}

void InputTable::select(int index) {
    if (index >= 0 && index < count()) selected_ = index;
}

InputFileEntry* InputTable::selectedEntry() {
    if (selected_ < 0 || selected_ >= count()) return nullptr;
    return entries_[static_cast<size_t>(selected_)].get();
}

std::vector<std::string> describeEntry(const InputFileEntry& e) {
    std::vector<std::string> lines;
    lines.push_back(formatText(e.isVideoFile ? "File Name: %s" : "File List Name: %s", e.path.c_str()));
    lines.push_back(formatText("File 4CC: %s", e.fourCC.c_str()));
    if (e.fileSize <= 1'000'000'000ULL) {
        lines.push_back(formatText("File size: %lu", static_cast<unsigned long>(e.fileSize)));
    } else {
        lines.push_back(formatText("File size(M): %lu", static_cast<unsigned long>(e.fileSize / 1'000'000ULL)));
    }
    lines.emplace_back();
    lines.emplace_back("Video:");
    if (!e.isVideoFile) {
        lines.push_back(
            formatText("  Filename: %s", e.listFile.empty() ? "" : printableText(e.listFile.front()).c_str()));
    }
    lines.push_back(formatText("  Resolution: %d x %d", e.width, e.height));
    if (e.isVideoFile) lines.push_back(formatText("  Frame Rate: %02.2f", e.frameRate));
    lines.push_back(formatText("  Total Frames: %u", e.totalFrames));
    if (e.isVideoFile) {
        // Rounded to hundredths first, so 59.999 s shows as 00:01:00.00.
        const long long hundredths = std::llround(static_cast<double>(std::max<int64_t>(e.durationTicks, 0)) / 1e5);
        const long long hours = hundredths / 360000;
        const long long minutes = hundredths / 6000 % 60;
        const double rest = static_cast<double>(hundredths % 6000) / 100.0;
        lines.push_back(formatText("  Total Time: %02lld:%02lld:%05.2f", hours, minutes, rest));
    }
    lines.push_back(formatText("  Selected Frames: %u", e.selectedFrames));
    lines.emplace_back();
    if (!e.hasAudio) {
        lines.emplace_back(" Audio: none");
        return lines;
    }
    lines.emplace_back("Audio:");
    lines.emplace_back(e.channels >= 2 ? "  Channels: Stereo" : "  Channels: Mono (will be converted to stereo)");
    switch (e.sampleRate) {
        case 16000: lines.emplace_back("  Sample Rate: 16.000 kHz (will be converted to 32.0 kHz)"); break;
        case 22050: lines.emplace_back("  Sample Rate: 22.05 kHz (will be converted to 44.1 kHz)"); break;
        case 24000: lines.emplace_back("  Sample Rate: 24.00 kHz (will be converted to 48.0 kHz)"); break;
        case 11025: lines.emplace_back("  Sample Rate: 11.025 kHz (will be converted to 44.1 kHz)"); break;
        case 8000: lines.emplace_back("  Sample Rate:  8.000 kHz (will be converted to 32.0 kHz)"); break;
        case 12000: lines.emplace_back("  Sample Rate: 12.000 kHz (will be converted to 48.0 kHz)"); break;
        default: lines.push_back(formatText("  Sample Rate: %.03f kHz", e.sampleRate / 1000.0)); break;
    }
    if (e.bitsPerSample == 8) {
        lines.emplace_back("  Bits per Sample: 8 (will be converted to 16)");
    } else {
        lines.push_back(formatText("  Bits per Sample: %d", e.bitsPerSample));
    }
    lines.push_back(formatText("  Total samples: %u", e.totalSamples));
    lines.push_back(formatText("  Selected samples: %u", e.selectedSamples));
    return lines;
}

std::string describeEntryText(const InputFileEntry& entry, const char* lineEnd) {
    std::string text;
    for (const std::string& line : describeEntry(entry)) {
        text += line;
        text += lineEnd;
    }
    return text;
}

int standardForEntry(const InputFileEntry& entry) { return entry.frameRate == 25.0 ? 1 : 0; }

int loadSourcePicture(InputFileEntry& entry, int sourceFrame, Bitmap& out, std::string* error,
                      ListPictureCache* cache) {
    if (entry.isVideoFile) {
        if (!entry.media || !entry.media->readFrame(sourceFrame, out, error)) return kFrameDecodeFailed;
    } else {
        if (sourceFrame < 0) return kFrameListRewindFailed;
        if (static_cast<size_t>(sourceFrame) >= entry.listFile.size()) {
            if (error) *error = formatText("%s has no line %d.", entry.path.c_str(), sourceFrame + 1);
            return kFrameListLineMissing;
        }
        if (cache && cache->entry == &entry && cache->line == sourceFrame) {
            out = cache->picture;
        } else {
            const std::string& picture = entry.listFile[static_cast<size_t>(sourceFrame)];
            std::string why;
            if (!loadPicture(picture, out, &why)) {
                if (error)
                    *error = printableText(formatText("Can not load picture %s (line %d of %s): ", picture.c_str(),
                                                      sourceFrame + 1, entry.path.c_str()) +
                                           why);
                return kFramePictureLoadFailed;
            }
            if (cache) {
                cache->entry = &entry;
                cache->line = sourceFrame;
                cache->picture = out;
            }
        }
    }
    if (entry.invert) flipVertical(out);
    if (entry.colourFix && !changeDepth(out)) return kFrameColourFixFailed;
    if (entry.cropWidth > 0 && entry.cropHeight > 0 &&
        !cropBitmap(out, entry.cropX, entry.cropY, entry.cropWidth, entry.cropHeight)) {
        if (error) *error = formatText("The crop rectangle %d,%d,%d,%d does not fit the %d x %d picture.", entry.cropX,
                                       entry.cropY, entry.cropWidth, entry.cropHeight, out.width, out.height);
        return kFrameCropFailed;
    }
    return kFrameOk;
}

}  // namespace quillon
