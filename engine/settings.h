// The engine's settings record. Field names are the settings-file keys, so
// the record, the settings file and the `quillon settings` printout all use
// one vocabulary.
#pragma once

#include <cstdint>

namespace quillon {

constexpr int kTextFieldSize = 260;  // 259 characters plus the terminator
constexpr int kMotionEntries = 16;

// One motion table entry: entry 0 serves P pictures, entry d (1..15) the B
// picture at distance d from its forward reference.
enum MotionField : int {
    kForwHorzFCode = 0,
    kForwVertFCode = 1,
    kForwHorzSearch = 2,
    kForwVertSearch = 3,
    kBackHorzFCode = 4,
    kBackVertFCode = 5,
    kBackHorzSearch = 6,
    kBackVertSearch = 7,
};

// Target kinds as stored in videoType and programStreamType.
enum TargetKind : int {
    kKindMpeg1 = 0,
    kKindVcd = 1,
    kKindMpeg2 = 2,
    kKindSvcd = 3,
    kKindDvd = 4,
};

struct EncoderSettings {
    // [loadsave]
    char description[kTextFieldSize] = {};

    // [iofiles]
    int32_t saveTempVideo = 0;
    int32_t saveTempAudio = 0;
    char intraQuantMatrix[kTextFieldSize] = {};
    char nonIntraQuantMatrix[kTextFieldSize] = {};
    char statisticsFilename[kTextFieldSize] = {};

    // [general]
    int32_t useFloatingPoint = 0;
    int32_t verbose = 0;
    int32_t blackAndWhite = 0;
    int32_t userEncodeVideo = 1;
    int32_t userEncodeAudio = 1;
    int32_t encodeVideo = 1;  // working flags: cleared by the job when the
    int32_t encodeAudio = 1;  // source lacks video or sound
    int32_t multiplexVideo = 1;
    int32_t multiplexAudio = 1;
    int32_t muxStartTime = 0;
    int32_t muxStopTime = 0;
    int32_t maxFileSize = 0;
    int32_t resetClocks = 1;
    int32_t writeEndCodes = 1;
    int32_t setBrokenLink = 1;

    // [video]
    int32_t videoType = 0;
    int32_t videoPulldownFlag = 0;
    int32_t profile = 4;
    int32_t level = 8;
    int32_t chromaFormat = 1;
    int32_t aspectRatio = 1;
    int32_t frameRateCode = 3;
    int32_t iFramesInGOP = 15;
    int32_t ipFrameDistance = 3;
    int32_t autoBitrate = 0;
    int32_t constBitrateFlag = 0;
    int32_t mquantValue = 4;
    double constBitrate = 0;
    double maxBitrate = 0;
    double avgBitrate = 0;
    double minBitrate = 0;
    int32_t twoPass = 0;  // variable bitrate: a first pass measures, a second spends avgBitrate
    int32_t firstFrameHours = 0;
    int32_t firstFrameMinutes = 0;
    int32_t firstFrameSeconds = 0;
    int32_t firstFrameFrame = 0;

    // derived video values (no key)
    double frameRate = 25.0;
    int32_t firstFrameTimecode = 0;
    int32_t constrainedParameters = 0;
    int32_t lowDelay = 0;
    int32_t concealmentMotionVectorsI = 0;
    int32_t concealmentMotionVectorsP = 0;
    int32_t concealmentMotionVectorsB = 0;

    // [audio]
    int32_t audioLayer = 2;
    int32_t audioMode = 0;
    int32_t audioBitrate = 11;
    int32_t deEmphasis = 0;
    int32_t privateBit = 0;
    int32_t copyrightBit = 0;
    int32_t originalBit = 0;
    int32_t errorProtection = 0;
    int32_t psychModel = 2;

    // [program]
    int32_t programStreamType = 0;
    int32_t muxPulldownFlag = 0;
    int32_t vbrMultiplex = 1;
    int32_t useComputedBitrate = 2;
    int32_t userMuxRate = 0;
    int32_t sectorSize = 2048;
    int32_t packetsPerPack = 1;
    int32_t videoBufferSize = 46;
    int32_t audioBufferSize = 4;
    int32_t audio1BufferSize = 4;
    int32_t sectorDelay = 0;
    int32_t videoDelay = 180;
    int32_t audioDelay = 180;
    int32_t audio1Delay = 180;
    int32_t alwaysWriteSysHeader = 0;
    int32_t padVCDAudio = 0;
    int32_t writeProgramEndCode = 1;
    int32_t muxSVCDScanOffsets = 0;
    int32_t alignSequenceHeaders = 0;
    int32_t usePrivateStream2 = 0;
    int32_t frameTimestamps = 0;

    // [advVideo]
    int32_t videoFormat = 1;
    int32_t colorPrimaries = 5;
    int32_t transferCharacteristics = 5;
    int32_t matrixCoefficients = 5;
    int32_t displayHorizontalSize = 352;
    int32_t displayVerticalSize = 288;
    int32_t writeSequenceDisplayExt = 1;
    int32_t writeSequenceEndCode = 1;
    int32_t embedSVCDUserBlocks = 0;
    int32_t writePictureDisplayExt = 0;
    int32_t frameCentreHorizontalOffset = 0;
    int32_t frameCentreVerticalOffset = 0;
    int32_t intraDCPrec = 0;
    int32_t progressiveSequence = 1;
    int32_t progressiveFrame = 1;
    int32_t fieldPictures = 0;
    int32_t topFieldFirst = 0;
    int32_t repeatFirstField = 0;
    int32_t framePredDCTI = 1;
    int32_t framePredDCTP = 1;
    int32_t framePredDCTB = 1;
    int32_t quantizationScaleI = 0;
    int32_t quantizationScaleP = 0;
    int32_t quantizationScaleB = 0;
    int32_t intraVLCFormatI = 0;
    int32_t intraVLCFormatP = 0;
    int32_t intraVLCFormatB = 0;
    int32_t alternateScanI = 0;
    int32_t alternateScanP = 0;
    int32_t alternateScanB = 0;
    int32_t sliceHdrEveryMBrow = 0;
    int32_t vbvBufferSize = 23;
    int32_t forceVBVDelay = 0;
    int32_t variableMaxMotion = 58;
    int32_t reactionParameter = 0;
    int32_t initialAverageActivity = 0;
    int32_t initialIComplexity = 0;
    int32_t initialPComplexity = 0;
    int32_t initialBComplexity = 0;
    int32_t initialIFullness = 0;
    int32_t initialPFullness = 0;
    int32_t initialBFullness = 0;
    int32_t resetPBIVBF = 1;
    int32_t minFramePercentage = 25;
    int32_t padFramePercentage = 90;
    int32_t horzPelMovement = 3;
    int32_t vertPelMovement = 3;
    int32_t autoVectorLengths = 1;

    // motion table: [entry][MotionField]
    int32_t motion[kMotionEntries][8] = {};

    // [quality] The coding tools above the classic encoder. The values here
    // are the classic ones (every tool off); the engine's start-up sets them
    // from the quality level before a settings file is read over them.
    int32_t iQuantRatio = 100;        // I-picture quantiser, percent of mquantValue's (variable bitrate)
    int32_t bQuantRatio = 100;        // B-picture quantiser, percent of mquantValue's
    int32_t typeWeights = 0;          // constant bitrate: the controller's I/P/B weights favour references
    int32_t cbrActivity = 100;        // constant bitrate: strength of the quantiser's variation by activity, percent
    int32_t zigzagProgressive = 0;    // zigzag scan on pictures without field structure
    int32_t intraVLCAll = 0;          // the second intra VLC table for intra blocks of every picture type
    int32_t dcPrecisionByRate = 0;    // intra DC precision from the quantiser
    int32_t adaptiveQuant = 0;        // strength of the quantiser's variation by luminance variance, percent
    int32_t trellis = 0;              // levels chosen by distortion and bits
    int32_t lambdaPercent = 100;      // scales the one lambda of every distortion/bits choice
    int32_t rdDecision = 0;           // 1: DCT type, 2: also coding the error at all and intra, by distortion and bits
    int32_t motionSearch = 0;         // 0 rings around the coarse vector, 1 predictive search of frame vectors
    int32_t rdModes = 0;              // by distortion and bits: 1 B macroblocks' direction, coding, skipping; 2 P intra ones too; 3 every P one
    int32_t rdModesPrune = 0;         // B directions costed only with a prediction error within this percent of the best's (0: all)
    int32_t vectorCost = 0;           // motion vectors by distance plus their bits' weight, percent (0: distance alone)
    int32_t grainRatios = 0;          // grainy pictures trade the I/B quantiser ratios for grain ratios of their own
    int32_t fieldModes = 0;           // interlaced-looking frames choose frame/field prediction and DCT per macroblock
    int32_t lookahead = 0;            // pictures analysed ahead of the coding loop; 0: the fixed GOP formula
    int32_t propagation = 0;          // strength of the temporal propagation's quantiser factors, percent
    int32_t sceneCut = 0;             // percent of a picture's intra cost its prediction must reach to start a GOP
};

// Values the engine keeps beside the record. They outlive a job: the size
// fields, for instance, keep their contents when a request has no video.
struct EngineValues {
    int tvStandard = 0;  // 0 NTSC, 1 PAL
    int MMXMode = 0;
    int quality = 1;  // 0 classic, 1 high, 2 best
    int batchMode = 0;
    int audioStereo = 1;
    int horizontalSize = 0;
    int verticalSize = 0;
    int audioSampleRate = 0;
    int audioBitsPerSample = 0;
    int hasVideo = 0;
    int hasAudio = 0;
    uint32_t cpuFeatures = 0;
};

inline bool isMpeg2Syntax(const EncoderSettings& s) { return s.videoType >= 2; }

}  // namespace quillon
