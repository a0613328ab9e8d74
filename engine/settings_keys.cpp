#include "engine/settings_keys.h"

#include <cstring>
#include <strings.h>

namespace quillon {

namespace {

using S = EncoderSettings;
using T = SettingsKey::Type;

SettingsKey integer(const char* section, const char* name, int32_t S::*field) {
    SettingsKey k{section, name, T::Integer};
    k.integer = field;
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
    return k;
}
SettingsKey motion(const std::string& name, int entry, int field) {
    SettingsKey k{"advVideo", name, T::Integer};
    k.motionEntry = entry;
    k.motionField = field;
    return k;
}

std::vector<SettingsKey> buildKeys() {
    std::vector<SettingsKey> k;
    k.push_back(text("loadsave", "description", &S::description));

    const char* io = "iofiles";
    k.push_back(integer(io, "saveTempVideo", &S::saveTempVideo));
    k.push_back(integer(io, "saveTempAudio", &S::saveTempAudio));
    k.push_back(text(io, "intraQuantMatrix", &S::intraQuantMatrix));
    k.push_back(text(io, "nonIntraQuantMatrix", &S::nonIntraQuantMatrix));
    k.push_back(text(io, "statisticsFilename", &S::statisticsFilename));

    const char* g = "general";
    k.push_back(integer(g, "useFloatingPoint", &S::useFloatingPoint));
    k.push_back(integer(g, "verbose", &S::verbose));
    k.push_back(integer(g, "blackAndWhite", &S::blackAndWhite));
    k.push_back(integer(g, "userEncodeVideo", &S::userEncodeVideo));
    k.push_back(integer(g, "userEncodeAudio", &S::userEncodeAudio));
    k.push_back(integer(g, "multiplexVideo", &S::multiplexVideo));
    k.push_back(integer(g, "multiplexAudio", &S::multiplexAudio));
    k.push_back(integer(g, "muxStartTime", &S::muxStartTime));
    k.push_back(integer(g, "muxStopTime", &S::muxStopTime));
    k.push_back(integer(g, "maxFileSize", &S::maxFileSize));
    k.push_back(integer(g, "resetClocks", &S::resetClocks));
    k.push_back(integer(g, "setBrokenLink", &S::setBrokenLink));
    k.push_back(integer(g, "writeEndCodes", &S::writeEndCodes));

    const char* v = "video";
    k.push_back(integer(v, "videoType", &S::videoType));
    k.push_back(integer(v, "videoPulldownFlag", &S::videoPulldownFlag));
    k.push_back(integer(v, "profile", &S::profile));
    k.push_back(integer(v, "level", &S::level));
    k.push_back(integer(v, "chromaFormat", &S::chromaFormat));
    k.push_back(integer(v, "aspectRatio", &S::aspectRatio));
    k.push_back(integer(v, "frameRateCode", &S::frameRateCode));
    k.push_back(integer(v, "iFramesInGOP", &S::iFramesInGOP));
    k.push_back(integer(v, "ipFrameDistance", &S::ipFrameDistance));
    k.push_back(integer(v, "autoBitrate", &S::autoBitrate));
    k.push_back(integer(v, "constBitrateFlag", &S::constBitrateFlag));
    k.push_back(integer(v, "mquantValue", &S::mquantValue));
    k.push_back(bitrate(v, "constBitrate", &S::constBitrate));
    k.push_back(bitrate(v, "maxBitrate", &S::maxBitrate));
    k.push_back(bitrate(v, "avgBitrate", &S::avgBitrate));
    k.push_back(bitrate(v, "minBitrate", &S::minBitrate));
    k.push_back(integer(v, "firstFrameHours", &S::firstFrameHours));
    k.push_back(integer(v, "firstFrameMinutes", &S::firstFrameMinutes));
    k.push_back(integer(v, "firstFrameSeconds", &S::firstFrameSeconds));
    k.push_back(integer(v, "firstFrameFrame", &S::firstFrameFrame));

    const char* a = "audio";
    k.push_back(integer(a, "audioLayer", &S::audioLayer));
    k.push_back(integer(a, "audioMode", &S::audioMode));
    k.push_back(integer(a, "deEmphasis", &S::deEmphasis));
    k.push_back(integer(a, "audioBitrate", &S::audioBitrate));
    k.push_back(integer(a, "privateBit", &S::privateBit));
    k.push_back(integer(a, "copyrightBit", &S::copyrightBit));
    k.push_back(integer(a, "originalBit", &S::originalBit));
    k.push_back(integer(a, "errorProtection", &S::errorProtection));
    k.push_back(integer(a, "psychModel", &S::psychModel));

    const char* p = "program";
    k.push_back(integer(p, "programStreamType", &S::programStreamType));
    k.push_back(integer(p, "vbrMultiplex", &S::vbrMultiplex));
    k.push_back(integer(p, "padVCDAudio", &S::padVCDAudio));
    k.push_back(integer(p, "writeProgramEndCode", &S::writeProgramEndCode));
    k.push_back(integer(p, "muxSVCDScanOffsets", &S::muxSVCDScanOffsets));
    k.push_back(integer(p, "alignSequenceHeaders", &S::alignSequenceHeaders));
    k.push_back(integer(p, "usePrivateStream2", &S::usePrivateStream2));
    k.push_back(integer(p, "useComputedBitrate", &S::useComputedBitrate));
    k.push_back(integer(p, "frameTimestamps", &S::frameTimestamps));
    k.push_back(integer(p, "muxPulldownFlag", &S::muxPulldownFlag));
    k.push_back(integer(p, "userMuxRate", &S::userMuxRate));
    k.push_back(integer(p, "sectorSize", &S::sectorSize));
    k.push_back(integer(p, "packetsPerPack", &S::packetsPerPack));
    k.push_back(integer(p, "videoBufferSize", &S::videoBufferSize));
    k.push_back(integer(p, "audioBufferSize", &S::audioBufferSize));
    k.push_back(integer(p, "audio1BufferSize", &S::audio1BufferSize));
    k.push_back(integer(p, "sectorDelay", &S::sectorDelay));
    k.push_back(integer(p, "videoDelay", &S::videoDelay));
    k.push_back(integer(p, "audioDelay", &S::audioDelay));
    k.push_back(integer(p, "audio1Delay", &S::audio1Delay));
    k.push_back(integer(p, "alwaysWriteSysHeader", &S::alwaysWriteSysHeader));

    const char* x = "advVideo";
    k.push_back(integer(x, "colorPrimaries", &S::colorPrimaries));
    k.push_back(integer(x, "transferCharacteristics", &S::transferCharacteristics));
    k.push_back(integer(x, "matrixCoefficients", &S::matrixCoefficients));
    k.push_back(integer(x, "videoFormat", &S::videoFormat));
    k.push_back(integer(x, "intraDCPrec", &S::intraDCPrec));
    k.push_back(integer(x, "variableMaxMotion", &S::variableMaxMotion));
    k.push_back(integer(x, "vbvBufferSize", &S::vbvBufferSize));
    k.push_back(integer(x, "forceVBVDelay", &S::forceVBVDelay));
    k.push_back(integer(x, "displayHorizontalSize", &S::displayHorizontalSize));
    k.push_back(integer(x, "displayVerticalSize", &S::displayVerticalSize));
    k.push_back(integer(x, "progressiveSequence", &S::progressiveSequence));
    k.push_back(integer(x, "progressiveFrame", &S::progressiveFrame));
    k.push_back(integer(x, "fieldPictures", &S::fieldPictures));
    k.push_back(integer(x, "topFieldFirst", &S::topFieldFirst));
    k.push_back(integer(x, "repeatFirstField", &S::repeatFirstField));
    k.push_back(integer(x, "intraVLCFormatI", &S::intraVLCFormatI));
    k.push_back(integer(x, "intraVLCFormatP", &S::intraVLCFormatP));
    k.push_back(integer(x, "intraVLCFormatB", &S::intraVLCFormatB));
    k.push_back(integer(x, "framePredDCTI", &S::framePredDCTI));
    k.push_back(integer(x, "framePredDCTP", &S::framePredDCTP));
    k.push_back(integer(x, "framePredDCTB", &S::framePredDCTB));
    k.push_back(integer(x, "quantizationScaleI", &S::quantizationScaleI));
    k.push_back(integer(x, "quantizationScaleP", &S::quantizationScaleP));
    k.push_back(integer(x, "quantizationScaleB", &S::quantizationScaleB));
    k.push_back(integer(x, "alternateScanI", &S::alternateScanI));
    k.push_back(integer(x, "alternateScanP", &S::alternateScanP));
    k.push_back(integer(x, "alternateScanB", &S::alternateScanB));
    k.push_back(integer(x, "writeSequenceDisplayExt", &S::writeSequenceDisplayExt));
    k.push_back(integer(x, "writeSequenceEndCode", &S::writeSequenceEndCode));
    k.push_back(integer(x, "embedSVCDUserBlocks", &S::embedSVCDUserBlocks));
    k.push_back(integer(x, "writePictureDisplayExt", &S::writePictureDisplayExt));
    k.push_back(integer(x, "frameCentreHorizontalOffset", &S::frameCentreHorizontalOffset));
    k.push_back(integer(x, "frameCentreVerticalOffset", &S::frameCentreVerticalOffset));
    k.push_back(integer(x, "sliceHdrEveryMBrow", &S::sliceHdrEveryMBrow));
    k.push_back(integer(x, "reactionParameter", &S::reactionParameter));
    k.push_back(integer(x, "initialAverageActivity", &S::initialAverageActivity));
    k.push_back(integer(x, "initialIComplexity", &S::initialIComplexity));
    k.push_back(integer(x, "initialPComplexity", &S::initialPComplexity));
    k.push_back(integer(x, "initialBComplexity", &S::initialBComplexity));
    k.push_back(integer(x, "initialIFullness", &S::initialIFullness));
    k.push_back(integer(x, "initialPFullness", &S::initialPFullness));
    k.push_back(integer(x, "initialBFullness", &S::initialBFullness));
    k.push_back(integer(x, "minFramePercentage", &S::minFramePercentage));
    k.push_back(integer(x, "padFramePercentage", &S::padFramePercentage));
    k.push_back(integer(x, "resetPBIVBF", &S::resetPBIVBF));
    k.push_back(integer(x, "autoVectorLengths", &S::autoVectorLengths));
    k.push_back(integer(x, "horzPelMovement", &S::horzPelMovement));
    k.push_back(integer(x, "vertPelMovement", &S::vertPelMovement));
    k.push_back(motion("forwHorzFCodeP", 0, kForwHorzFCode));
    k.push_back(motion("forwVertFCodeP", 0, kForwVertFCode));
    k.push_back(motion("forwHorzSearchP", 0, kForwHorzSearch));
    k.push_back(motion("forwVertSearchP", 0, kForwVertSearch));
    static constexpr const char* kMotionNames[8] = {
        "forwHorzFCodeB", "forwVertFCodeB", "forwHorzSearchB", "forwVertSearchB",
        "backHorzFCodeB", "backVertFCodeB", "backHorzSearchB", "backVertSearchB"};
    for (int d = 1; d < kMotionEntries; ++d)
        for (int f = 0; f < 8; ++f) k.push_back(motion(kMotionNames[f] + std::to_string(d), d, f));
    return k;
}

}  // namespace

bool SettingsKey::isAudio() const { return std::strcmp(section, "audio") == 0; }

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
