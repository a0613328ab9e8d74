#include "engine/fit_size.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "engine/engine.h"
#include "engine/format.h"
#include "engine/presets.h"
#include "engine/validation.h"

namespace quillon {

namespace {

// The share of the target kept free: the second pass's total and the
// multiplexer's packing are estimates, the disc is not.
constexpr double kFitReserve = 0.005;
// The smallest average video bitrate two passes aim at: below it every
// picture sits at the coarsest quantiser and the size is no longer ours to
// choose.
constexpr double kMpeg1FloorBitrate = 150000;
constexpr double kMpeg2FloorBitrate = 300000;

std::string withCommas(int64_t v) {
    std::string digits = std::to_string(v < 0 ? -v : v);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return v < 0 ? "-" + out : out;
}

// Bytes of program stream per byte of elementary stream, and the fixed
// bytes per second (DVD navigation packs, one per GOP).
struct PackCost {
    double factor = 1;
    double bytesPerSecond = 0;
    double fixedBytes = 0;
};

// Packs a program stream has whatever its length: the first with the
// system header, each stream's last one only partly filled, the end. A
// three-second SVCD measured 2.9 sectors above the per-pack share; on a
// short job that alone went over the size.
constexpr double kFixedSectors = 4;

PackCost packCost(const EncoderSettings& s) {
    PackCost c;
    const double sector = std::max(512, static_cast<int>(s.sectorSize));
    const bool mpeg2 = s.programStreamType >= kKindMpeg2;
    // Pack header, PES header with its time stamps and buffer fields, and
    // a packet per pack; the bytes per pack were measured on our own
    // multiplexer's DVD and SVCD streams (42 and 56 a pack), the SVCD's
    // including the scan offsets it adds.
    const double packHeader = mpeg2 ? 14 : 12;
    const double pesHeader = (mpeg2 ? 28 : 18) + (s.muxSVCDScanOffsets ? 14 : 0);
    const double payload = sector - packHeader - pesHeader * std::max(1, static_cast<int>(s.packetsPerPack));
    c.factor = sector / payload;
    c.fixedBytes = kFixedSectors * sector;
    if (s.usePrivateStream2) {
        const double gopSeconds = std::max(1, static_cast<int>(s.iFramesInGOP)) / std::max(1.0, s.frameRate);
        c.bytesPerSecond = sector / gopSeconds;
    }
    return c;
}

double topVideoBitrate(const EncoderSettings& s) {
    if (s.maxBitrate > 0) return s.maxBitrate;
    if (isMpeg2Syntax(s)) {
        const LevelLimits* l = levelLimits(s.level);
        return l ? l->bitsPerSecond : 15000000;
    }
    return s.constBitrate;
}

}  // namespace

bool parseFitSize(const std::string& text, int64_t* bytes, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "cannot read the size \"" + text + "\": " + why +
                     " (give bytes, a number with k, M or G, or dvd5, dvd9, cd74, cd80)";
        return false;
    };
    static const struct {
        const char* name;
        int64_t bytes;
    } kNamed[] = {{"dvd5", kDvd5Bytes}, {"dvd9", kDvd9Bytes}, {"cd74", kCd74Bytes}, {"cd80", kCd80Bytes}};
    for (const auto& n : kNamed) {
        if (strcasecmp(text.c_str(), n.name) == 0) {
            *bytes = n.bytes;
            return true;
        }
    }
    if (text.empty()) return fail("it is empty");
    size_t end = 0;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
    const std::string number = text.substr(0, end);
    if (number.empty() || std::count(number.begin(), number.end(), '.') > 1 || number == ".")
        return fail("it does not start with a number");
    std::string unit = text.substr(end);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b') && unit.size() <= 2) unit.pop_back();
    double scale = 1;
    if (unit.empty()) {
        if (number.find('.') != std::string::npos) return fail("a number of bytes has no fraction");
    } else if (unit.size() == 1) {
        switch (std::tolower(static_cast<unsigned char>(unit[0]))) {
            case 'k': scale = 1024.0; break;
            case 'm': scale = 1024.0 * 1024.0; break;
            case 'g': scale = 1024.0 * 1024.0 * 1024.0; break;
            default: return fail("unknown unit \"" + unit + "\"");
        }
    } else {
        return fail("unknown unit \"" + unit + "\"");
    }
    const double value = std::strtod(number.c_str(), nullptr) * scale;
    if (!(value >= 1) || value > 9.0e18) return fail("it is out of range");
    *bytes = static_cast<int64_t>(std::floor(value));
    return true;
}

std::string sizeText(int64_t bytes) {
    const double v = static_cast<double>(bytes);
    std::string scaled;
    if (v >= 1024.0 * 1024 * 1024)
        scaled = formatText("%.2f GB", v / (1024.0 * 1024 * 1024));
    else if (v >= 1024.0 * 1024)
        scaled = formatText("%.1f MB", v / (1024.0 * 1024));
    else
        scaled = formatText("%.0f kB", v / 1024.0);
    return scaled + " (" + withCommas(bytes) + " bytes)";
}

bool planFitSize(const EncoderSettings& s, const FitJob& job, int64_t target, FitPlan* plan, std::string* problem) {
    if (s.constBitrateFlag) {
        *problem = "Fit to size needs a variable bitrate; this target codes its video at a constant bitrate.";
        return false;
    }
    if (!(job.videoSeconds > 0)) {
        *problem = "Fit to size needs video with a known duration.";
        return false;
    }
    const double seconds = std::max(job.videoSeconds, job.audioSeconds);
    const double audioBits = job.audioSeconds > 0 ? audioBitrateBps(s.audioLayer, s.audioBitrate) * job.audioSeconds : 0;
    const PackCost cost = job.multiplexed ? packCost(s) : PackCost{};
    // Program stream bytes for an average video bitrate.
    auto bytesFor = [&](double videoBitrate) {
        return ((videoBitrate * job.videoSeconds + audioBits) / 8.0) * cost.factor + cost.bytesPerSecond * seconds +
               cost.fixedBytes;
    };
    const double floorRate = std::max(s.minBitrate, isMpeg2Syntax(s) ? kMpeg2FloorBitrate : kMpeg1FloorBitrate);
    const double top = topVideoBitrate(s);
    FitPlan p;
    p.smallest = static_cast<int64_t>(std::ceil(bytesFor(floorRate) / (1 - kFitReserve)));
    p.largest = static_cast<int64_t>(std::floor(bytesFor(top) / (1 - kFitReserve)));
    if (p.largest < p.smallest) p.largest = p.smallest;
    if (target < p.smallest || target > p.largest) {
        *problem = formatText("The size %s cannot be reached with these settings: the smallest is %s, the largest "
                              "%s.",
                              sizeText(target).c_str(), sizeText(p.smallest).c_str(), sizeText(p.largest).c_str());
        if (plan) *plan = p;
        return false;
    }
    const double usable = static_cast<double>(target) * (1 - kFitReserve);
    const double videoBytes = (usable - cost.bytesPerSecond * seconds - cost.fixedBytes) / cost.factor - audioBits / 8.0;
    p.videoBitrate = std::clamp(videoBytes * 8.0 / job.videoSeconds, floorRate, top);
    if (plan) *plan = p;
    return true;
}

bool applyFitSize(Engine& engine, std::string* problem) {
    EncoderSettings& w = engine.work;
    if (engine.fitSize <= 0 || !w.encodeVideo) return true;
    if (engine.ev.quality == 0) {
        *problem = "Fit to size codes in two passes, which the classic quality level does not; choose high or best.";
        return false;
    }
    FitJob job;
    const double rate = w.frameRate > 0 ? w.frameRate : 25;
    job.videoSeconds = engine.job.frameCount / rate;
    job.multiplexed = w.multiplexVideo != 0;
    // The sound lasts as long as the pictures: the front ends cut it or
    // complete it with silence to that length. Its sample count cannot say
    // so: it counts the source's samples while the rate is the output's,
    // and a 48 kHz source made into SVCD's 44.1 kHz sound looked 9 % longer
    // than it was, which left that share of the audio's bits unused.
    if (job.multiplexed && (w.encodeAudio || w.multiplexAudio) && engine.ev.audioSampleRate > 0 &&
        engine.job.sampleCount > 0)
        job.audioSeconds = job.videoSeconds;
    FitPlan plan;
    if (!planFitSize(w, job, engine.fitSize, &plan, problem)) return false;
    w.twoPass = 1;
    w.avgBitrate = std::floor(plan.videoBitrate);
    return true;
}

bool twoPassProblem(const Engine& engine, std::string* problem) {
    const EncoderSettings& w = engine.work;
    if (!w.twoPass || !w.encodeVideo) return true;
    if (w.constBitrateFlag) {
        *problem = "twoPass=1 needs a variable bitrate (constBitrateFlag=0).";
        return false;
    }
    if (!(w.avgBitrate > 0)) {
        *problem = "twoPass=1 needs the average bitrate to aim at in avgBitrate.";
        return false;
    }
    if (engine.ev.quality == 0) {
        *problem = "twoPass=1 needs the high or best quality level; classic codes in one pass.";
        return false;
    }
    return true;
}

}  // namespace quillon
