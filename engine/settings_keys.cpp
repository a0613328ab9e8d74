#include "engine/settings_keys.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <strings.h>

namespace quillon {

namespace {

using S = EncoderSettings;
using T = SettingsKey::Type;

// The largest bit rate any stream can state (an MPEG-2 header's 30 bits in
// units of 400 bit/s); the video rules narrow it for MPEG-1 and by level.
constexpr int64_t kMaxBitrate = 429496729200LL;

SettingsKey integer(const char* section, const char* name, int32_t S::*field, int64_t lo, int64_t hi) {
    SettingsKey k{section, name, T::Integer};
    k.integer = field;
    k.minimum = lo;
    k.maximum = hi;
    return k;
}
SettingsKey flag(const char* section, const char* name, int32_t S::*field) {
    return integer(section, name, field, 0, 1);
}
SettingsKey oneOf(const char* section, const char* name, int32_t S::*field,
                  std::vector<int32_t> values) {
    SettingsKey k = integer(section, name, field, values.front(), values.back());
    k.allowed = std::move(values);
    return k;
}
SettingsKey text(const char* section, const char* name, char (S::*field)[kTextFieldSize]) {
    SettingsKey k{section, name, T::Text};
    k.text = field;
    return k;
}
SettingsKey bitrate(const char* section, const char* name, double S::*field) {
    SettingsKey k{section, name, T::Bitrate};
    k.bitrate = field;
    k.minimum = 0;
    k.maximum = kMaxBitrate;
    return k;
}
SettingsKey motion(const std::string& name, int entry, int field) {
    SettingsKey k{"advVideo", name, T::Integer};
    k.motionEntry = entry;
    k.motionField = field;
    // f_codes 1..9 (0 in unused entries); search ranges in samples as far
    // as the largest f_code reaches.
    const bool fCode = field == kForwHorzFCode || field == kForwVertFCode || field == kBackHorzFCode ||
                       field == kBackVertFCode;
    k.minimum = 0;
    k.maximum = fCode ? 9 : 2047;
    return k;
}

std::vector<SettingsKey> buildKeys() {
    std::vector<SettingsKey> k;
    k.push_back(text("loadsave", "description", &S::description));

    const char* io = "iofiles";
    k.push_back(flag(io, "saveTempVideo", &S::saveTempVideo));
    k.push_back(flag(io, "saveTempAudio", &S::saveTempAudio));
    k.push_back(text(io, "intraQuantMatrix", &S::intraQuantMatrix));
    k.push_back(text(io, "nonIntraQuantMatrix", &S::nonIntraQuantMatrix));
    k.push_back(text(io, "statisticsFilename", &S::statisticsFilename));

    const char* g = "general";
    k.push_back(flag(g, "useFloatingPoint", &S::useFloatingPoint));
    k.push_back(flag(g, "verbose", &S::verbose));
    k.push_back(flag(g, "blackAndWhite", &S::blackAndWhite));
    k.push_back(flag(g, "userEncodeVideo", &S::userEncodeVideo));
    k.push_back(flag(g, "userEncodeAudio", &S::userEncodeAudio));
    k.push_back(flag(g, "multiplexVideo", &S::multiplexVideo));
    k.push_back(flag(g, "multiplexAudio", &S::multiplexAudio));
    // Start and stop in seconds; a day stays well inside the time stamps'
    // 33 bits of 90 kHz.
    k.push_back(integer(g, "muxStartTime", &S::muxStartTime, 0, 86400));
    k.push_back(integer(g, "muxStopTime", &S::muxStopTime, 0, 86400));
    k.push_back(integer(g, "maxFileSize", &S::maxFileSize, 0, 4096));
    k.push_back(flag(g, "resetClocks", &S::resetClocks));
    k.push_back(flag(g, "setBrokenLink", &S::setBrokenLink));
    k.push_back(flag(g, "writeEndCodes", &S::writeEndCodes));

    const char* v = "video";
    k.push_back(integer(v, "videoType", &S::videoType, 0, 4));
    k.push_back(integer(v, "videoPulldownFlag", &S::videoPulldownFlag, 0, 2));
    k.push_back(oneOf(v, "profile", &S::profile, {1, 4, 5}));
    k.push_back(oneOf(v, "level", &S::level, {4, 6, 8, 10}));
    k.push_back(integer(v, "chromaFormat", &S::chromaFormat, 1, 3));
    k.push_back(integer(v, "aspectRatio", &S::aspectRatio, 1, 14));
    k.push_back(integer(v, "frameRateCode", &S::frameRateCode, 1, 8));
    k.push_back(integer(v, "iFramesInGOP", &S::iFramesInGOP, 1, 32));
    k.push_back(integer(v, "ipFrameDistance", &S::ipFrameDistance, 1, 16));
    k.push_back(flag(v, "autoBitrate", &S::autoBitrate));
    k.push_back(flag(v, "constBitrateFlag", &S::constBitrateFlag));
    k.push_back(integer(v, "mquantValue", &S::mquantValue, 1, 31));
    k.push_back(bitrate(v, "constBitrate", &S::constBitrate));
    k.push_back(bitrate(v, "maxBitrate", &S::maxBitrate));
    k.push_back(bitrate(v, "avgBitrate", &S::avgBitrate));
    k.push_back(bitrate(v, "minBitrate", &S::minBitrate));
    k.push_back(flag(v, "twoPass", &S::twoPass));
    // The GOP header's time code fields.
    k.push_back(integer(v, "firstFrameHours", &S::firstFrameHours, 0, 23));
    k.push_back(integer(v, "firstFrameMinutes", &S::firstFrameMinutes, 0, 59));
    k.push_back(integer(v, "firstFrameSeconds", &S::firstFrameSeconds, 0, 59));
    k.push_back(integer(v, "firstFrameFrame", &S::firstFrameFrame, 0, 59));

    const char* a = "audio";
    k.push_back(integer(a, "audioLayer", &S::audioLayer, 1, 2));
    k.push_back(integer(a, "audioMode", &S::audioMode, 0, 3));
    k.push_back(oneOf(a, "deEmphasis", &S::deEmphasis, {0, 1, 3}));
    // Free format (0) is not something the encoder can write.
    k.push_back(integer(a, "audioBitrate", &S::audioBitrate, 1, 14));
    k.push_back(flag(a, "privateBit", &S::privateBit));
    k.push_back(flag(a, "copyrightBit", &S::copyrightBit));
    k.push_back(flag(a, "originalBit", &S::originalBit));
    k.push_back(flag(a, "errorProtection", &S::errorProtection));
    k.push_back(integer(a, "psychModel", &S::psychModel, 1, 2));

    const char* p = "program";
    k.push_back(integer(p, "programStreamType", &S::programStreamType, 0, 4));
    k.push_back(flag(p, "vbrMultiplex", &S::vbrMultiplex));
    k.push_back(flag(p, "padVCDAudio", &S::padVCDAudio));
    k.push_back(flag(p, "writeProgramEndCode", &S::writeProgramEndCode));
    k.push_back(flag(p, "muxSVCDScanOffsets", &S::muxSVCDScanOffsets));
    k.push_back(flag(p, "alignSequenceHeaders", &S::alignSequenceHeaders));
    k.push_back(flag(p, "usePrivateStream2", &S::usePrivateStream2));
    k.push_back(integer(p, "useComputedBitrate", &S::useComputedBitrate, 0, 2));
    k.push_back(integer(p, "frameTimestamps", &S::frameTimestamps, 0, 2));
    k.push_back(integer(p, "muxPulldownFlag", &S::muxPulldownFlag, 0, 3));
    // The pack header's 22-bit rate field, in units of 50 bytes/s.
    k.push_back(integer(p, "userMuxRate", &S::userMuxRate, 0, 4194303));
    // Packs are built in a 4096-byte buffer.
    k.push_back(integer(p, "sectorSize", &S::sectorSize, 512, 4096));
    k.push_back(integer(p, "packetsPerPack", &S::packetsPerPack, 1, 16));
    // Buffer sizes as the system header's 13-bit fields can state them
    // (video in KB; audio in units of 128 bytes, so KB * 8).
    k.push_back(integer(p, "videoBufferSize", &S::videoBufferSize, 1, 8191));
    k.push_back(integer(p, "audioBufferSize", &S::audioBufferSize, 1, 1023));
    k.push_back(integer(p, "audio1BufferSize", &S::audio1BufferSize, 1, 1023));
    // Delays in milliseconds.
    k.push_back(integer(p, "sectorDelay", &S::sectorDelay, 0, 10000));
    k.push_back(integer(p, "videoDelay", &S::videoDelay, 0, 10000));
    k.push_back(integer(p, "audioDelay", &S::audioDelay, 0, 10000));
    k.push_back(integer(p, "audio1Delay", &S::audio1Delay, 0, 10000));
    k.push_back(flag(p, "alwaysWriteSysHeader", &S::alwaysWriteSysHeader));

    const char* x = "advVideo";
    k.push_back(integer(x, "colorPrimaries", &S::colorPrimaries, 1, 7));
    k.push_back(integer(x, "transferCharacteristics", &S::transferCharacteristics, 1, 7));
    k.push_back(integer(x, "matrixCoefficients", &S::matrixCoefficients, 1, 7));
    k.push_back(integer(x, "videoFormat", &S::videoFormat, 0, 4));
    k.push_back(integer(x, "intraDCPrec", &S::intraDCPrec, 0, 3));
    // The motion search limit, as far as the largest f_code reaches.
    k.push_back(integer(x, "variableMaxMotion", &S::variableMaxMotion, 0, 2047));
    k.push_back(integer(x, "vbvBufferSize", &S::vbvBufferSize, 1, 262143));
    k.push_back(flag(x, "forceVBVDelay", &S::forceVBVDelay));
    k.push_back(integer(x, "displayHorizontalSize", &S::displayHorizontalSize, 0, 16383));
    k.push_back(integer(x, "displayVerticalSize", &S::displayVerticalSize, 0, 16383));
    k.push_back(flag(x, "progressiveSequence", &S::progressiveSequence));
    k.push_back(flag(x, "progressiveFrame", &S::progressiveFrame));
    k.push_back(flag(x, "fieldPictures", &S::fieldPictures));
    k.push_back(flag(x, "topFieldFirst", &S::topFieldFirst));
    k.push_back(flag(x, "repeatFirstField", &S::repeatFirstField));
    k.push_back(flag(x, "intraVLCFormatI", &S::intraVLCFormatI));
    k.push_back(flag(x, "intraVLCFormatP", &S::intraVLCFormatP));
    k.push_back(flag(x, "intraVLCFormatB", &S::intraVLCFormatB));
    k.push_back(flag(x, "framePredDCTI", &S::framePredDCTI));
    k.push_back(flag(x, "framePredDCTP", &S::framePredDCTP));
    k.push_back(flag(x, "framePredDCTB", &S::framePredDCTB));
    k.push_back(flag(x, "quantizationScaleI", &S::quantizationScaleI));
    k.push_back(flag(x, "quantizationScaleP", &S::quantizationScaleP));
    k.push_back(flag(x, "quantizationScaleB", &S::quantizationScaleB));
    k.push_back(flag(x, "alternateScanI", &S::alternateScanI));
    k.push_back(flag(x, "alternateScanP", &S::alternateScanP));
    k.push_back(flag(x, "alternateScanB", &S::alternateScanB));
    k.push_back(flag(x, "writeSequenceDisplayExt", &S::writeSequenceDisplayExt));
    k.push_back(flag(x, "writeSequenceEndCode", &S::writeSequenceEndCode));
    k.push_back(flag(x, "embedSVCDUserBlocks", &S::embedSVCDUserBlocks));
    k.push_back(flag(x, "writePictureDisplayExt", &S::writePictureDisplayExt));
    // 16-bit signed fields of the picture display extension.
    k.push_back(integer(x, "frameCentreHorizontalOffset", &S::frameCentreHorizontalOffset, -32768, 32767));
    k.push_back(integer(x, "frameCentreVerticalOffset", &S::frameCentreVerticalOffset, -32768, 32767));
    k.push_back(flag(x, "sliceHdrEveryMBrow", &S::sliceHdrEveryMBrow));
    // Rate control start values (0 = computed). The bounds lie well above
    // what the computed values reach at the highest bit rate, and keep
    // the controller's integer state from overflowing.
    k.push_back(integer(x, "reactionParameter", &S::reactionParameter, 0, 100000000));
    k.push_back(integer(x, "initialAverageActivity", &S::initialAverageActivity, 0, 1000000));
    k.push_back(integer(x, "initialIComplexity", &S::initialIComplexity, 0, 1000000000));
    k.push_back(integer(x, "initialPComplexity", &S::initialPComplexity, 0, 1000000000));
    k.push_back(integer(x, "initialBComplexity", &S::initialBComplexity, 0, 1000000000));
    k.push_back(integer(x, "initialIFullness", &S::initialIFullness, 0, 100000000));
    k.push_back(integer(x, "initialPFullness", &S::initialPFullness, 0, 100000000));
    k.push_back(integer(x, "initialBFullness", &S::initialBFullness, 0, 100000000));
    k.push_back(integer(x, "minFramePercentage", &S::minFramePercentage, 0, 100));
    k.push_back(integer(x, "padFramePercentage", &S::padFramePercentage, 0, 100));
    k.push_back(flag(x, "resetPBIVBF", &S::resetPBIVBF));
    k.push_back(flag(x, "autoVectorLengths", &S::autoVectorLengths));
    // Pels per picture interval; 16 intervals of 127 stay inside the
    // largest search range.
    k.push_back(integer(x, "horzPelMovement", &S::horzPelMovement, 0, 127));
    k.push_back(integer(x, "vertPelMovement", &S::vertPelMovement, 0, 127));
    k.push_back(motion("forwHorzFCodeP", 0, kForwHorzFCode));
    k.push_back(motion("forwVertFCodeP", 0, kForwVertFCode));
    k.push_back(motion("forwHorzSearchP", 0, kForwHorzSearch));
    k.push_back(motion("forwVertSearchP", 0, kForwVertSearch));
    static constexpr const char* kMotionNames[8] = {
        "forwHorzFCodeB", "forwVertFCodeB", "forwHorzSearchB", "forwVertSearchB",
        "backHorzFCodeB", "backVertFCodeB", "backHorzSearchB", "backVertSearchB"};
    for (int d = 1; d < kMotionEntries; ++d)
        for (int f = 0; f < 8; ++f) k.push_back(motion(kMotionNames[f] + std::to_string(d), d, f));

    // The coding tools; the quality level gives their values, which a
    // settings file or --set may change one by one.
    const char* q = "quality";
    k.push_back(integer(q, "iQuantRatio", &S::iQuantRatio, 25, 400));
    k.push_back(integer(q, "bQuantRatio", &S::bQuantRatio, 25, 400));
    k.push_back(flag(q, "typeWeights", &S::typeWeights));
    k.push_back(integer(q, "cbrActivity", &S::cbrActivity, 0, 100));
    k.push_back(flag(q, "zigzagProgressive", &S::zigzagProgressive));
    k.push_back(flag(q, "intraVLCAll", &S::intraVLCAll));
    k.push_back(flag(q, "dcPrecisionByRate", &S::dcPrecisionByRate));
    k.push_back(integer(q, "adaptiveQuant", &S::adaptiveQuant, 0, 100));
    k.push_back(integer(q, "trellis", &S::trellis, 0, 2));
    k.push_back(integer(q, "lambdaPercent", &S::lambdaPercent, 10, 1000));
    k.push_back(integer(q, "rdDecision", &S::rdDecision, 0, 2));
    k.push_back(integer(q, "rdModes", &S::rdModes, 0, 3));
    k.push_back(integer(q, "rdModesPrune", &S::rdModesPrune, 0, 1000));
    k.push_back(flag(q, "fieldModes", &S::fieldModes));
    k.push_back(integer(q, "vectorCost", &S::vectorCost, 0, 1000));
    k.push_back(integer(q, "motionSearch", &S::motionSearch, 0, 1));
    k.push_back(flag(q, "grainRatios", &S::grainRatios));
    k.push_back(integer(q, "lookahead", &S::lookahead, 0, 60));
    k.push_back(integer(q, "sceneCut", &S::sceneCut, 0, 100));
    k.push_back(integer(q, "propagation", &S::propagation, 0, 100));
    return k;
}

}  // namespace

bool SettingsKey::isAudio() const { return std::strcmp(section, "audio") == 0; }

bool SettingsKey::accepts(int64_t value) const {
    if (type == Type::Text) return true;
    if (value < minimum || value > maximum) return false;
    return allowed.empty() || std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

std::string SettingsKey::rangeText() const {
    if (allowed.empty()) return std::to_string(minimum) + ".." + std::to_string(maximum);
    std::string out;
    for (size_t i = 0; i < allowed.size(); ++i) {
        if (i) out += i + 1 == allowed.size() ? " or " : ", ";
        out += std::to_string(allowed[i]);
    }
    return out;
}

int64_t SettingsKey::valueOf(const EncoderSettings& s) const {
    switch (type) {
        case Type::Integer: return integerOf(s);
        case Type::Bitrate: {
            // As the settings file holds it: whole bits per second. NaN and
            // values past the 64-bit range come out beyond every maximum.
            const double v = s.*bitrate;
            if (!(v == v) || v >= 9.2e18) return INT64_MAX;
            if (v <= -9.2e18) return INT64_MIN;
            return static_cast<int64_t>(v);
        }
        case Type::Text: return 0;
    }
    return 0;
}

std::string outOfRangeText(const SettingsKey& key, int64_t value) {
    const bool set = !key.allowed.empty();
    return key.name + "=" + std::to_string(value) + (set ? " is not " : " is outside its range ") + key.rangeText();
}

const SettingsKey* keyOutOfRange(const EncoderSettings& s, std::string* problem) {
    for (const SettingsKey& key : settingsKeys()) {
        if (key.type == SettingsKey::Type::Text) continue;
        const int64_t value = key.valueOf(s);
        if (key.accepts(value)) continue;
        if (problem) *problem = outOfRangeText(key, value);
        return &key;
    }
    return nullptr;
}

const std::vector<SettingsKey>& settingsKeys() {
    static const std::vector<SettingsKey> keys = buildKeys();
    return keys;
}

const SettingsKey* findSettingsKey(const std::string& name) {
    for (const SettingsKey& k : settingsKeys())
        if (strcasecmp(k.name.c_str(), name.c_str()) == 0) return &k;
    return nullptr;
}

}  // namespace quillon
