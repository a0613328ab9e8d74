#include "mux/stream_scan.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/engine.h"
#include "engine/format.h"
#include "mux/bit_reader.h"
#include "mux/stream_tables.h"
#include "platform/regular_file.h"

namespace quillon {

namespace {

// Removes a units file unless the scan that owns it succeeded.
class UnitsFileGuard {
public:
    explicit UnitsFileGuard(const std::string& path) : path_(path) {}
    ~UnitsFileGuard() {
        if (!kept_) std::remove(path_.c_str());
    }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// Reports the progress text whenever the whole percentage changes.
class ProgressTicker {
public:
    explicit ProgressTicker(Engine& engine) : engine_(engine) {}
    template <typename Show>
    void update(double done, double total, Show show) {
        int percent = total > 0 ? static_cast<int>(std::floor(done / total * 100.0)) : 0;
        if (percent != last_) {
            last_ = percent;
            engine_.setProgress(show(percent), percent);
        }
    }

private:
    Engine& engine_;
    int last_ = -1;
};

bool readFileHead(const std::string& path, uint8_t* head, size_t count, size_t& got) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    got = std::fread(head, 1, count, f);
    std::fclose(f);
    return true;
}

bool fileHasAc3Sync(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    // A device or pipe named as a stream would be read for ever.
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    int previous = -1, c;
    bool found = false;
    while ((c = std::fgetc(f)) != EOF) {
        if (previous == 0x0B && c == 0x77) {
            found = true;
            break;
        }
        previous = c;
    }
    std::fclose(f);
    return found;
}

constexpr double kSecondsToTicks = 27000000.0;

std::string unexpectedEnd(const std::string& path) {
    return formatText("The video stream %s ends in the middle of a header.", path.c_str());
}

}  // namespace

bool checkInputFile(Engine& engine, const std::string& path, double& size) {
    // Streams are read to their end: a device never ends and a pipe blocks
    // the open, so only regular files are taken.
    std::string why;
    switch (checkRegularFile(path, 0, &why)) {
        case FileCheck::Ok:
            break;
        case FileCheck::Missing:
            engine.reportError(formatText("Input file %s was not found.", path.c_str()));
            return false;
        case FileCheck::Refused:
            engine.reportError(formatText("Input file %s %s.", path.c_str(), why.c_str()));
            return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        engine.reportError(formatText("Input file %s was not found.", path.c_str()));
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    std::fclose(f);
    if (!ok) {
        engine.reportError(formatText("Error getting size of input file %s.", path.c_str()));
        return false;
    }
    size = static_cast<double>(st.st_size);
    return true;
}

bool checkInputTypes(Engine& engine, int mask, const std::string& video, const std::string& audio,
                     const std::string& audio2, double sizes[3]) {
    sizes[0] = sizes[1] = sizes[2] = 0;
    if (mask & kMaskVideo) {
        if (!checkInputFile(engine, video, sizes[0])) return false;
        uint8_t head[4] = {};
        size_t got = 0;
        readFileHead(video, head, 4, got);
        if (got < 4 || head[0] != 0 || head[1] != 0 || head[2] != 1 || head[3] != 0xB3) {
            engine.reportError(
                formatText("File %s is not a 11172-2 or 13818-2 Video stream.", video.c_str()));
            return false;
        }
    }
    const std::string* audios[2] = {&audio, &audio2};
    for (int i = 0; i < 2; ++i) {
        if (!(mask & (kMaskAudio1 << i))) continue;
        const std::string& path = *audios[i];
        if (!checkInputFile(engine, path, sizes[1 + i])) return false;
        uint8_t head[2] = {};
        size_t got = 0;
        readFileHead(path, head, 2, got);
        bool mpeg = got == 2 && head[0] == 0xFF && (head[1] & 0xF0) == 0xF0;
        if (!mpeg && !fileHasAc3Sync(path)) {
            engine.reportError(formatText("File %s is not an AC3 or MPEG Audio stream.", path.c_str()));
            return false;
        }
    }
    return true;
}

int effectivePulldown(const EncoderSettings& s, uint32_t detected) {
    int mode = s.muxPulldownFlag;
    if (mode == 3) return s.programStreamType >= 2 ? static_cast<int>(detected) : 0;
    return mode == 1 || mode == 2 ? mode : 0;
}

void framePeriod(uint32_t frameRateCode, int pulldown, double& period, int& roundedRate) {
    if (frameRateCode == 0 || frameRateCode > 8) {
        period = 0.04;
        roundedRate = 25;
        return;
    }
    period = 1.0 / kPictureRates[frameRateCode];
    roundedRate = static_cast<int>(std::ceil(kPictureRates[frameRateCode]));
    if (roundedRate == 30 && (pulldown == 1 || pulldown == 2)) roundedRate = 24;
}

namespace {

// Captures the first sequence header and, for a 13818-2 stream, walks the
// first GOP for repeat_first_field.
bool sequenceHeaderPrePass(Engine& engine, const std::string& path, VideoStreamInfo& info) {
    const EncoderSettings& s = engine.work;
    engine.logDetail(" ");
    engine.logDetail(s.muxPulldownFlag == 3
                       ? "  Scanning video stream for a sequence header and pulldown type ..."
                       : "  Scanning video stream for a sequence header ...");
    info.pulldown = 0;
    info.headerLength = 0;
    BitReader r(engine);
    if (!r.open(path)) return false;
    uint32_t v = 0;
    if (!r.readBits(32, v) || v != 0x1B3) {
        engine.reportError("Invalid MPEG Video stream header.");
        return false;
    }
    info.header[0] = 0;
    info.header[1] = 0;
    info.header[2] = 1;
    info.header[3] = 0xB3;
    uint32_t count = 4;
    uint32_t last4 = 0x1B3;
    bool mpeg2 = false;
    bool foundGop = false;
    while (count < 256) {
        uint32_t b;
        if (!r.readBits(8, b)) break;
        info.header[count++] = static_cast<uint8_t>(b);
        last4 = (last4 << 8) | b;
        if (last4 == 0x1B5) mpeg2 = true;
        if (last4 == 0x1B8) {
            info.headerLength = count - 4;
            foundGop = true;
            break;
        }
    }
    if (!foundGop) {
        // Too long to capture: keep looking for the first GOP for the walk.
        while (true) {
            uint32_t b;
            if (!r.readBits(8, b)) break;
            last4 = (last4 << 8) | b;
            if (last4 == 0x1B5) mpeg2 = true;
            if (last4 == 0x1B8) {
                foundGop = true;
                break;
            }
        }
    }
    if (mpeg2 && foundGop) {
        bool anyRepeat = false, repeatOnFirst = false;
        while (true) {
            uint32_t code;
            if (!r.search(0x000001, 24) || !r.readBits(8, code)) break;
            if (code == 0xB3 || code == 0xB8) break;
            if (code != 0x00) continue;
            uint32_t tr, id, skip, structure, flags;
            if (!r.readBits(10, tr) || !r.search(0x1B5, 32) || !r.readBits(4, id) || id != 8) break;
            if (!r.readBits(18, skip) || !r.readBits(2, structure) || structure != 3) break;
            if (!r.readBits(7, flags)) break;
            if (flags & 1) {
                anyRepeat = true;
                if (tr == 0) repeatOnFirst = true;
            }
        }
        if (anyRepeat) info.pulldown = repeatOnFirst ? 2 : 1;
    }
    if (s.muxPulldownFlag == 3) {
        engine.logDetail(info.pulldown == 1   ? "    2:3 pulldown detected ..."
                       : info.pulldown == 2 ? "    3:2 pulldown detected ..."
                                            : "    no pulldown detected ...");
    }
    return true;
}

}  // namespace

bool scanVideoStream(Engine& engine, const std::string& path, const std::string& unitsPath,
                     VideoStreamInfo& info, double fileSize, uint32_t& unitCount, double& earliestPts) {
    UnitsFileGuard guard(unitsPath);
    const EncoderSettings& s = engine.work;
    const bool mpeg2ps = s.programStreamType >= 2;
    info = VideoStreamInfo();
    unitCount = 0;
    earliestPts = 0;
    if (!sequenceHeaderPrePass(engine, path, info)) return false;
    const int mode = effectivePulldown(s, info.pulldown);

    engine.logDetail(" ");
    engine.logDetail("  Scanning video stream for pictures ...");
    UnitsFile units;
    if (!units.create(unitsPath)) {
        engine.reportError(formatText("Unable to create temporary video units file %s.", unitsPath.c_str()));
        return false;
    }
    BitReader r(engine);
    if (!r.open(path)) return false;

    uint32_t v = 0;
    if (!r.readBits(32, v) || v != 0x1B3) {
        engine.reportError("Invalid MPEG Video stream header.");
        return false;
    }
    info.sequenceHeaders = 1;
    uint32_t h, vs, ar, frc, br, vbv, cpf;
    if (!r.readBits(12, h) || !r.readBits(12, vs) || !r.readBits(4, ar) || !r.readBits(4, frc) ||
        !r.readBits(18, br)) {
        engine.reportError("Invalid MPEG Video stream header.");
        return false;
    }
    if (!r.checkMarker(1)) return false;
    if (!r.readBits(10, vbv) || !r.readBits(1, cpf)) {
        engine.reportError("Invalid MPEG Video stream header.");
        return false;
    }
    if (frc == 0 || frc > 8) {
        // Without a picture rate there are no time stamps to give; a stream
        // multiplexed on a guessed rate does not play.
        engine.reportError(formatText("The video stream %s has the reserved frame rate code %u.", path.c_str(), frc));
        return false;
    }
    info.horizontalSize = h;
    info.verticalSize = vs;
    info.aspectRatio = ar;
    info.frameRateCode = frc;
    info.bitRate = br;
    info.vbvBufferSize = vbv;
    info.constrainedParameters = cpf;

    double T;
    int R;
    framePeriod(frc, mode, T, R);
    const double H = T / 2, L = T + H;

    // The sequence extension right after the sequence header marks a
    // 13818-2 stream before its first picture is read.
    bool mpeg2 = false;

    bool havePending = true, sequencePending = true, gopSeen = false;
    double pendingStart = 0;
    bool picturePending = false;
    VideoUnitRecord rec;
    double previousUnitStart = 0, lastUnitEnd = 0;
    double windowMark = 0, largestWindow = 0;
    int windowCount = R + 1;
    uint32_t firstFieldStructure = 0;
    uint32_t n = 0, k = 0;
    double earliest = std::numeric_limits<double>::infinity();
    double latest = -std::numeric_limits<double>::infinity();
    bool heldCode = false;
    uint32_t held = 0;
    double heldPosition = 0;
    ProgressTicker progress(engine);

    // Bytes per picture type; a long stream's totals pass 32 bits.
    double typeTotals[4] = {};
    auto writePending = [&](double end) {
        rec.length += static_cast<uint32_t>((end - previousUnitStart) / 8);
        if (!units.write(rec)) {
            engine.reportError(formatText("Error writing to temporary video units file %s.", unitsPath.c_str()));
            return false;
        }
        if (rec.pictureType >= 1 && rec.pictureType <= 4) typeTotals[rec.pictureType - 1] += rec.length;
        lastUnitEnd = end;
        picturePending = false;
        return true;
    };

    while (!r.endOfData() || heldCode) {
        engine.pumpMessages();
        if (engine.job.stopRequested) return false;
        progress.update(r.position() / 8, fileSize, [&](int percent) {
            return formatText("Combining video and audio progress: %d%%  \n\nCurrent Position: %.0f / Total Length: %.0f.",
                              percent, r.position() / 8, fileSize);
        });
        uint32_t code;
        double codePosition;
        if (heldCode) {
            code = held;
            codePosition = heldPosition;
            heldCode = false;
        } else {
            if (!r.search(0x000001, 24) || !r.readBits(8, code)) break;
            codePosition = r.position() - 32;
        }
        switch (code) {
        case 0xB3:
            ++info.sequenceHeaders;
            pendingStart = codePosition;
            havePending = true;
            sequencePending = true;
            break;
        case 0xB8:
            ++info.groups;
            k = 0;
            if (!sequencePending) {
                pendingStart = codePosition;
                havePending = true;
            }
            gopSeen = true;
            break;
        case 0xB5:
            if (!mpeg2 && s.programStreamType == kKindVcd) {
                engine.reportError(
                    formatText("The video stream %s is MPEG-2 video; a VCD takes MPEG-1 video only.", path.c_str()));
                return false;
            }
            mpeg2 = true;
            break;
        case 0xB7: {
            ++info.sequenceEnds;
            double after = r.position();
            if (picturePending && !writePending(after)) return false;
            previousUnitStart = after;
            pendingStart = after;
            havePending = true;
            break;
        }
        case 0x00: {
            const double P = codePosition;
            uint32_t tr, type;
            if (!r.readBits(10, tr) || !r.readBits(3, type)) {
                engine.reportError(unexpectedEnd(path));
                return false;
            }
            if (type == 0 || type > 4) {
                engine.reportError(formatText("Picture %u of the video stream %s has the reserved picture coding type %u.",
                                              info.pictures + 1, path.c_str(), type));
                return false;
            }
            if (mpeg2) {
                uint32_t id, skip, structure;
                if (!r.search(0x1B5, 32) || !r.readBits(4, id) || id != 8) {
                    engine.reportError("Invalid MPEG2 Video stream, no picture coding extension present.");
                    return false;
                }
                if (!r.readBits(18, skip) || !r.readBits(2, structure)) {
                    engine.reportError(unexpectedEnd(path));
                    return false;
                }
                if (structure != 3) {
                    if (firstFieldStructure == 0) firstFieldStructure = structure;
                    else if (structure != firstFieldStructure) break;  // second field of a pair
                }
            }
            const double U = havePending ? pendingStart : P;
            if (windowCount > R) {
                if (U - windowMark > largestWindow) largestWindow = U - windowMark;
                windowMark = U;
                windowCount = 0;
            }
            ++windowCount;
            if (picturePending && !writePending(U)) return false;
            previousUnitStart = U;

            rec = VideoUnitRecord();
            if (s.muxSVCDScanOffsets && type == 1) {
                double place = -1;
                while (true) {
                    uint32_t c2;
                    if (!r.search(0x000001, 24) || !r.readBits(8, c2)) break;
                    double at = r.position() - 32;
                    if (c2 == 0x01) {
                        place = at;
                        break;
                    }
                    if (c2 == 0xB2) {
                        uint32_t tag;
                        if (r.readBits(16, tag) && tag != 0x100E) place = at;
                        break;
                    }
                    if (c2 == 0x00 || c2 == 0xB3 || c2 == 0xB7 || c2 == 0xB8) {
                        heldCode = true;
                        held = c2;
                        heldPosition = at;
                        break;
                    }
                }
                if (place >= 0 && (place - U) / 8 <= 0xFFFF) {
                    rec.insertionPoint = static_cast<uint16_t>((place - U) / 8);
                    rec.length = kScanOffsetBlockSize;
                }
            }
            rec.pictureType = static_cast<uint16_t>(type);
            rec.pictureOffset = static_cast<uint16_t>((P - U) / 8);
            rec.flags = static_cast<uint16_t>((sequencePending ? kUnitHasSequenceHeader : 0) | (gopSeen ? kUnitHasGop : 0));
            havePending = false;
            sequencePending = false;
            gopSeen = false;
            ++info.pictures;
            if (type >= 1 && type <= 4) ++info.typeCount[type - 1];

            double dts, ptsTicks;
            uint32_t lead = 0;
            if (mode == 0) {
                dts = n * T;
                ptsTicks = (static_cast<double>(n) + 1 + tr - k) * T * kSecondsToTicks;
                if (k == 0) lead = static_cast<uint32_t>(std::trunc(T * kSecondsToTicks)) * tr;
            } else {
                double half = std::floor(n / 2.0) * (L + T);
                if (mode == 1) dts = half + ((n & 1) ? L : 0) - (n > 0 ? H : 0);
                else dts = half + ((n & 1) ? T : 0);
                double m = static_cast<double>(n) + tr - k;
                double pts = std::floor(m / 2) * (L + T) + T;
                if (std::fmod(m, 2.0) == 1.0) pts += mode == 2 ? L : T;
                ptsTicks = std::ceil(pts * kSecondsToTicks);
                if (k == 0) {
                    double l = std::floor(tr / 2.0) * std::trunc((L + T) * kSecondsToTicks);
                    if (tr & 1) l += std::trunc((mode == 2 ? L : T) * kSecondsToTicks);
                    lead = static_cast<uint32_t>(l);
                }
            }
            rec.gopLead = lead;
            rec.dts.set(dts * kSecondsToTicks, mpeg2ps);
            rec.pts.set(ptsTicks, mpeg2ps);
            earliest = std::min(earliest, rec.pts.ticks());
            if (rec.pts.ticks() > latest) {
                latest = rec.pts.ticks();
                info.latestPts = rec.pts;
            }
            picturePending = true;
            ++n;
            ++k;
            break;
        }
        default:
            break;
        }
    }
    // A stream cut off without its sequence end code still keeps its last
    // picture: the unit runs to the end of the file.
    if (picturePending && !writePending(r.position())) return false;

    engine.logDetail(formatText("  Found %d picture headers.", static_cast<int>(info.pictures)));
    info.streamLength = lastUnitEnd / 8;
    for (int i = 0; i < 4; ++i)
        if (info.typeCount[i]) info.typeBytes[i] = static_cast<uint32_t>(typeTotals[i] / info.typeCount[i]);
    if (T > 0 && info.pictures > 0) {
        double period = T;
        int unadjusted = frc >= 1 && frc <= 8 ? static_cast<int>(std::ceil(kPictureRates[frc])) : 25;
        if (unadjusted == 30 && (mode == 1 || mode == 2)) period = frc == 4 ? 0.04170837504170838 : 1.0 / 24;
        info.computedMaximumRate = static_cast<uint32_t>(std::trunc(largestWindow * 0.0025));
        info.computedAverageRate =
            static_cast<uint32_t>(std::trunc((info.streamLength / info.pictures) / period * 0.0008)) * 25;
    }
    if (!units.close()) {
        engine.reportError(formatText("Error writing to temporary video units file %s.", unitsPath.c_str()));
        return false;
    }
    if (info.pictures == 0) {
        engine.reportError(formatText("The video stream %s holds no pictures.", path.c_str()));
        return false;
    }
    unitCount = info.pictures + info.sequenceEnds;
    earliestPts = earliest;
    logVideoInfo(engine, info);
    guard.keep();
    return true;
}

bool scanAudioStream(Engine& engine, const std::string& path, const std::string& unitsPath,
                     AudioStreamInfo& info, double startTime, double fileSize, uint32_t& records) {
    UnitsFileGuard guard(unitsPath);
    const EncoderSettings& s = engine.work;
    const bool mpeg2ps = s.programStreamType >= 2;
    info = AudioStreamInfo();
    records = 0;
    engine.logDetail(" ");
    engine.logDetail("  Scanning audio stream for access units information");
    UnitsFile units;
    if (!units.create(unitsPath)) {
        engine.reportError(formatText("Unable to create temporary audio units file %s.", unitsPath.c_str()));
        return false;
    }
    BitReader r(engine);
    if (!r.open(path)) return false;
    ProgressTicker progress(engine);
    auto tick = [&]() {
        engine.pumpMessages();
        if (engine.job.stopRequested) return false;
        progress.update(r.position() / 8, fileSize, [&](int percent) {
            return formatText("Scanning audio stream: %d%% - byte offset %.0f of %.0f.", percent, r.position() / 8,
                              fileSize);
        });
        return true;
    };
    auto writeRecord = [&](const AudioUnitRecord& a) {
        if (!units.write(a)) {
            engine.reportError(formatText("Error writing to temporary audio units file %s.", unitsPath.c_str()));
            return false;
        }
        ++records;
        return true;
    };

    uint32_t sync = 0;
    if (r.readBits(12, sync) && sync == 0xFFF) {
        if (!r.checkMarker(1)) return false;
        ++info.syncWords;
        uint32_t layer, prot, bri, sf, pad, priv, mode, modeExt, copyright, original, emphasis;
        if (!r.readBits(2, layer) || !r.readBits(1, prot) || !r.readBits(4, bri) || !r.readBits(2, sf) ||
            !r.readBits(1, pad) || !r.readBits(1, priv) || !r.readBits(2, mode) || !r.readBits(2, modeExt) ||
            !r.readBits(1, copyright) || !r.readBits(1, original) || !r.readBits(2, emphasis)) {
            engine.reportError(formatText("File %s is not an AC3 or MPEG Audio stream.", path.c_str()));
            return false;
        }
        if (layer == 1 && s.programStreamType == kKindVcd) {
            engine.reportError(formatText("The audio stream %s is Layer III; a VCD takes Layer I or II audio only.",
                                          path.c_str()));
            return false;
        }
        info.layer = layer;
        info.protection = prot;
        info.bitrateIndex = bri;
        info.samplingFrequency = sf;
        info.mode = mode;
        info.modeExtension = modeExt;
        info.copyright = copyright;
        info.original = original;
        info.emphasis = emphasis;
        if (layer == 0 || bri == 0 || bri == 15 || sf == 3) {
            // Free-format and reserved values give no frame length to cut by.
            engine.reportError(formatText(
                "The audio stream %s uses a free-format bit rate or a reserved header value and cannot be multiplexed.",
                path.c_str()));
            return false;
        }
        const double kbps = kMpegAudioBitrates[layer][bri];
        const double khz = kMpegAudioKHz[sf];
        const uint32_t plain = layer == 3 ? 4 * static_cast<uint32_t>(std::floor(12 * kbps / khz))
                                          : static_cast<uint32_t>(std::floor(144 * kbps / khz));
        info.frameLength[0] = plain;
        info.frameLength[1] = plain + (layer == 3 ? 4 : 1);
        const double samples = mpegAudioSamplesPerFrame(layer);
        uint32_t i = 0;
        while (true) {
            AudioUnitRecord a;
            a.length = info.frameLength[pad ? 1 : 0];
            a.pts.set(startTime + i * samples / khz * 27000.0, mpeg2ps);
            // A frame cut off by the end of the file is not recorded.
            if (!r.skipBytes(a.length - 4.0)) break;
            if (!writeRecord(a)) return false;
            ++info.frames[pad ? 1 : 0];
            ++i;
            info.streamLength = r.position() / 8;
            if (!tick()) return false;
            uint32_t next, ignored, privRest;
            if (!r.readBits(12, next) || next != 0xFFF) break;
            if (!r.checkMarker(1)) return false;
            ++info.syncWords;
            if (!r.readBits(9, ignored) || !r.readBits(1, pad) || !r.readBits(9, privRest)) break;
        }
    } else {
        if (!r.open(path)) return false;
        if (!r.search(0x0B77, 16)) {
            engine.reportError("Only MPEG and AC3 audio stream formats are supported.");
            return false;
        }
        if (s.programStreamType == kKindVcd) {
            engine.reportError(formatText("The audio stream %s is AC-3; a VCD takes MPEG audio only.", path.c_str()));
            return false;
        }
        ++info.syncWords;
        bool pending = false;
        AudioUnitRecord a;
        double frameStart = 0;  // leading bytes travel with the first frame
        uint32_t fscod0 = 0;
        uint32_t i = 0;
        while (true) {
            uint32_t crc, fscod, frmsizecod;
            if (!r.readBits(16, crc) || !r.readBits(2, fscod) || !r.readBits(6, frmsizecod)) break;
            if (i == 0 && !pending) {
                if (fscod == 3 || frmsizecod >= 38) {
                    engine.reportError(formatText(
                        "The audio stream %s uses a reserved AC3 sample rate or frame size.", path.c_str()));
                    return false;
                }
                fscod0 = fscod;
                info.samplingFrequency = fscod;
                info.bitrateIndex = kAc3Bitrates[frmsizecod / 2];
                info.frameLength[0] = kAc3FrameWords[frmsizecod][fscod] * 2u;
            }
            if (frmsizecod >= 38) break;
            const uint32_t length = kAc3FrameWords[frmsizecod][fscod0] * 2u;
            const double syncAt = r.position() / 8 - 5;
            if (pending) {
                a.length = static_cast<uint32_t>(syncAt - frameStart);
                if (!writeRecord(a)) return false;
                ++info.frames[0];
                ++i;
                frameStart = syncAt;
                pending = false;
            }
            if (!r.skipBytes(length - 5.0)) break;
            a = AudioUnitRecord();
            a.length = static_cast<uint32_t>(r.position() / 8 - frameStart);
            a.pts.set(startTime + i * kAc3SamplesPerFrame / kAc3KHz[fscod0] * 27000.0, mpeg2ps);
            pending = true;
            info.streamLength = r.position() / 8;
            if (!tick()) return false;
            if (!r.search(0x0B77, 16)) break;
            ++info.syncWords;
        }
        if (pending) {
            if (!writeRecord(a)) return false;
            ++info.frames[0];
        }
        info.layer = 0;
    }
    if (!units.close()) {
        engine.reportError(formatText("Error writing to temporary audio units file %s.", unitsPath.c_str()));
        return false;
    }
    engine.logDetail(formatText("  Found %d audio frame headers.", static_cast<int>(info.syncWords)));
    if (records == 0) {
        engine.reportError(formatText("The audio stream %s holds no complete frame.", path.c_str()));
        return false;
    }
    logAudioInfo(engine, info);
    guard.keep();
    return true;
}

void logVideoInfo(Engine& engine, const VideoStreamInfo& info) {
    auto line = [&](const std::string& t) { engine.logDetail(t); };
    line("  Video stream information");
    line(formatText("    Stream length : %.0f", info.streamLength));
    line(formatText("    Total time (seconds) : %u", static_cast<unsigned>(info.latestPts.ticks() / 27000000.0)));
    line(formatText("    Sequence start : %u", info.sequenceHeaders));
    line(formatText("    Sequence end : %u", info.sequenceEnds));
    line(formatText("    No. Pictures : %u", info.pictures));
    line(formatText("    No. Groups : %u", info.groups));
    const char* names[4] = {"I", "P", "B", "D"};
    for (int i = 0; i < 4; ++i)
        line(formatText("    No. %s Frames : %u avg. size %u bytes", names[i], info.typeCount[i], info.typeBytes[i]));
    line(formatText("    Horizontal size : %u", info.horizontalSize));
    line(formatText("    Vertical size : %u", info.verticalSize));
    line(formatText("    Aspect ratio : %1.4f", kPelAspectRatios[info.aspectRatio & 15]));
    if (info.frameRateCode == 0) {
        line("    Picture rate : forbidden");
    } else if (info.frameRateCode <= 8) {
        std::string t = formatText("    Picture rate : %2.3f frames/sec", kPictureRates[info.frameRateCode]);
        if (info.pulldown == 1) t += ",  2:3 pulldown detected";
        if (info.pulldown == 2) t += ",  3:2 pulldown detected";
        line(t);
    } else {
        line(formatText("    Picture rate : %x reserved", info.frameRateCode));
    }
    if (info.bitRate == 0x3FFFF) line("    Bit rate : variable");
    else if (info.bitRate == 0) line("    Bit rate : forbidden");
    else line(formatText("    Bit rate : %u bytes/sec (%u bits/sec)", info.bitRate * 50, info.bitRate * 400));
    line(formatText("    Computed avg rate : %u bytes/sec (%u bits/sec)", info.computedAverageRate * 50,
                    info.computedAverageRate * 400));
    line(formatText("    Computed max rate : %u bytes/sec (%u bits/sec)", info.computedMaximumRate * 50,
                    info.computedMaximumRate * 400));
    line(formatText("    Vbv buffer size : %u bytes", info.vbvBufferSize * 2048));
    line(formatText("    CSPF : %u", info.constrainedParameters));
    if (engine.work.programStreamType == 3 && info.frameRateCode != 3 && info.frameRateCode != 4)
        line("  WARNING: SVCD frame rate should be either 25 fps or 29.97 fps");
}

void logAudioInfo(Engine& engine, const AudioStreamInfo& info) {
    auto line = [&](const std::string& t) { engine.logDetail(t); };
    if (info.ac3()) {
        line("  AC3 audio stream information");
        line(formatText("    Stream length : %.0f", info.streamLength));
        line(formatText("    Syncwords : %u", info.syncWords));
        line(formatText("    Frames : %u size %u bytes", info.frames[0], info.frameLength[0]));
        line(formatText("    Bit rate : %u bytes/sec (%u kbit/sec)", info.bitrateIndex * 125, info.bitrateIndex));
        line(formatText("    Frequency : %2.1f kHz", kAc3KHz[info.samplingFrequency % 3]));
        return;
    }
    line("  MPEG audio stream information");
    line(formatText("    Stream length : %.0f", info.streamLength));
    line(formatText("    Syncwords : %u", info.syncWords));
    line(formatText("    Frames : %u size %u bytes", info.frames[0], info.frameLength[0]));
    line(formatText("    Frames : %u size %u bytes", info.frames[1], info.frameLength[1]));
    line(formatText("    Layer : %u", 4 - info.layer));
    line(info.protection == 0 ? "    CRC checksums : yes" : "    CRC checksums : no");
    if (info.bitrateIndex == 0) line("    Bit rate : free");
    else if (info.bitrateIndex == 15) line("    Bit rate : reserved");
    else {
        unsigned kbps = static_cast<unsigned>(kMpegAudioBitrates[info.layer & 3][info.bitrateIndex]);
        line(formatText("    Bit rate : %u bytes/sec (%u kbit/sec)", kbps * 125, kbps));
    }
    if (info.samplingFrequency == 3) line("    Frequency : reserved");
    else line(formatText("    Frequency : %2.1f kHz", kMpegAudioKHz[info.samplingFrequency]));
    const char* modes[4] = {"stereo", "joint stereo", "dual channel", "single channel"};
    line(formatText("    Mode : %u %s", info.mode, modes[info.mode & 3]));
    line(formatText("    Mode extension : %u", info.modeExtension));
    line(formatText("    Copyright bit : %u %s", info.copyright, info.copyright ? "copyright protected" : "no copyright"));
    line(formatText("    Original/Copy : %u %s", info.original, info.original ? "original" : "copy"));
    const char* emphases[4] = {"none", "50/15 microseconds", "reserved", "CCITT J.17"};
    line(formatText("    Emphasis : %u %s", info.emphasis, emphases[info.emphasis & 3]));
}

}  // namespace quillon
