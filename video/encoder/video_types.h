// Types shared by every stage of the video encoder: the per-macroblock
// record, pictures and blocks, the encode's geometry, the values of the
// picture being coded, and the per-encode context that every routine is
// handed instead of module-level state.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/bit_writer.h"
#include "engine/engine.h"
#include "engine/settings.h"
#include "video/dsp/block_routines.h"
#include "video/dsp/frame_conversion.h"
#include "video/dsp/syntax_values.h"

namespace quillon {

// One record per macroblock of the current picture, raster order. Layout
// and meaning are shared by rate control, motion estimation, prediction,
// quantisation and the VLC stage.
struct MacroblockInfo {
    int32_t type = 0;        // kMb* bits
    int32_t motionType = 0;  // kMotion*
    int32_t dctType = 0;     // 0 frame, 1 field
    int32_t mquant = 0;      // quantiser scale value, not its code
    int32_t cbp = 0;         // block 0 in the most significant of blockCount bits
    int32_t skipped = 0;
    int32_t mv[2][2][2] = {};          // [first/second][forward/backward][horizontal/vertical], half samples
    int32_t fieldSelect[2][2] = {};    // [first/second][forward/backward]
    int32_t dualPrimeDelta[2] = {};    // dmvector horizontal, vertical
    double activity = 0;               // spatial activity for rate control
    int32_t variance = 0;              // from motion estimation
    // The forward frame vector the search found for a P macroblock it then
    // made intra; a decision by cost may still prefer it.
    int32_t searchedMv[2] = {};
    int32_t hasSearchedMv = 0;
};

// Three 8-bit planes, row-major, top row first. The luminance plane is
// paddedWidth x paddedHeight with stride paddedWidth; each chroma plane is
// chromaWidth x chromaHeight with stride chromaWidth. Field pictures address
// one field of these frame buffers (stride doubled, bottom field one line
// down); see VideoGeometry::lineStep.
struct Picture {
    std::vector<uint8_t> plane[3];  // Y, Cb, Cr
    uint8_t* y() { return plane[0].data(); }
    uint8_t* cb() { return plane[1].data(); }
    uint8_t* cr() { return plane[2].data(); }
    const uint8_t* y() const { return plane[0].data(); }
    const uint8_t* cb() const { return plane[1].data(); }
    const uint8_t* cr() const { return plane[2].data(); }
};

// Fixed for one encode; computed by set-up.
struct VideoGeometry {
    int width = 0, height = 0;  // horizontalSize, verticalSize
    int chromaFormat = 1;       // 1 4:2:0, 2 4:2:2, 3 4:4:4
    int mbWidth = 0;
    int mbHeight = 0;            // macroblock rows of the frame
    int mbHeightPicture = 0;     // macroblock rows of one coded picture (half with fieldPictures)
    int paddedWidth = 0, paddedHeight = 0;
    int chromaWidth = 0, chromaHeight = 0;
    int lineStep = 0;            // line distance within one coded picture, luminance
    int chromaLineStep = 0;      // the same for chroma
    int pictureHeight = 0;       // paddedHeight, halved with fieldPictures
    int blockCount = 6;          // 6, 8, 12
    int macroblockCount() const { return mbWidth * mbHeightPicture; }
    size_t lumaSize() const { return static_cast<size_t>(paddedWidth) * paddedHeight; }
    size_t chromaSize() const { return static_cast<size_t>(chromaWidth) * chromaHeight; }
};

// Quantiser weights, all in natural (row by row) order.
struct QuantMatrices {
    std::array<uint8_t, 64> intra{};
    std::array<uint16_t, 64> nonIntra16{};
    std::array<uint16_t, 64> nonIntraReciprocal{};  // floor(65536 / w), 16 bits (0 for w = 1)
    std::array<uint8_t, 64> nonIntra8{};
    bool loadIntra = false;     // load_intra_quantiser_matrix
    bool loadNonIntra = false;  // load_non_intra_quantiser_matrix
};

// The syntax values of the picture being coded, set by the picture loop and
// read by the headers, motion estimation, prediction, quantisation and VLC.
struct PictureState {
    int codingIndex = 0;
    int displayIndex = 0;
    int frameNumber = 0;  // displayIndex + the source's first frame number
    int pictureCodingType = kPictureI;
    int temporalReference = 0;
    int pictureStructure = kFramePicture;
    int topFieldFirst = 0;
    int repeatFirstField = 0;
    int progressiveFrame = 1;
    int framePredFrameDct = 1;
    int qScaleType = 0;
    int intraVlcFormat = 0;
    int alternateScan = 0;
    int intraDcPrecision = 0;  // 0 under MPEG-1 syntax
    int fCode[2][2] = {{kUnusedFCode, kUnusedFCode}, {kUnusedFCode, kUnusedFCode}};  // [forward/backward][h/v]
    int searchRange[2][2] = {};  // [forward/backward][h/v], samples
    bool secondField = false;    // second field of a frame in field-picture coding
    bool iFrame = false;         // the frame is an I frame (its second field is coded as P)
    int vbvDelay = 0;            // written by the picture header
    bool isField() const { return pictureStructure != kFramePicture; }
};

// Running statistics of the encode, in both bitrate modes. Cleared by
// set-up; printed by the end lines; the max window bits are what the
// max-bitrate embedding writes.
struct RateStatistics {
    double bitsAtLastFrame = 0;
    double bitsAtLastWindow = 0;
    int framesInWindow = 0;
    int windowLength = 25;
    uint32_t minFrameBits = 200000000;
    uint32_t maxFrameBits = 0;
    uint32_t minWindowBits = 200000000;
    uint32_t maxWindowBits = 0;
    int minMquant = 200;
    int maxMquant = 0;
    double mquantSum = 0;
    int mquantCount = 0;
    double avgMquant = 0;
    // Constant bitrate only.
    int vbvUnderflows = 0;
    int vbvOverflows = 0;
    double totalPaddingBits = 0;
    double maxPaddingBits = 0;
};

constexpr int kNoFrame = -2147483647 - 1;

// Frame input window (N + 1 slots) and its work planes.
struct FrameWindow {
    std::vector<Picture> slots;
    int windowFirst = 0;  // frame number held in slot 0
    int n = 1;            // iFramesInGOP
    std::vector<int> held;  // frame number in each slot, kNoFrame when none
    std::vector<uint8_t> u444, v444, u422, v422;
    int threads = 1;  // colour conversion bands and chroma planes side by side
    FrameInputRoutines routines;
    // Set while the source converts the pictures itself (frame_input).
    std::shared_ptr<struct AheadConversion> ahead;
};

// Where the bits of the coding step in progress went (both fields of field
// pictures): the two-pass record is made of these.
struct PictureTally {
    double macroblockBits = 0;  // everything the macroblocks wrote
    double blockBits = 0;       // of that, the coded blocks
    double quantSum = 0;
    int macroblocks = 0;
    int intra = 0;
    int skipped = 0;
};

class RateController;
struct VideoEncoder;

// Opaque per-encode state of other stages; defined in their own files and
// created by their set-up (shared_ptr so this header needs no definition).
struct MotionSearchState;
struct GopRecodingState;

// Sees every coded frame (after both fields of field pictures): tests and
// tools compare it with what a decoder makes of the stream.
class PictureObserver {
public:
    virtual ~PictureObserver() = default;
    // enc.current holds the source, enc.reconstructed the reconstruction
    // and enc.pic the picture's values (displayIndex).
    virtual void frameCoded(const VideoEncoder& enc) = 0;
};

// The state of one encode. Created by runVideoEncoder, passed to every
// routine of the encoder.
struct VideoEncoder {
    explicit VideoEncoder(Engine& e);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    Engine& engine;
    EncoderSettings& s;  // engine.work: the working copies
    bool mpeg2 = false;  // videoType >= 2
    VideoGeometry geo;

    BitWriter writer;
    double headerBits = 0;
    std::vector<uint8_t> undoBuffer;  // shared snapshot buffer (GOP re-coding)

    QuantMatrices quant;
    PictureState pic;

    // Coding structure of the encode: N, M and the job's frame count.
    int gopSize = 1;           // N
    int refDistance = 1;       // M
    int nframes = 0;
    int firstFrameNumber = 0;  // the source's first frame number

    // The seven pictures, and the roles they play. Swapping reference roles
    // swaps the pointers; the storage never moves.
    std::array<Picture, 7> pictureStore;
    Picture* newRef = nullptr;   // newer reconstructed reference (current I/P is built here)
    Picture* oldRef = nullptr;   // older reconstructed reference
    Picture* aux = nullptr;      // reconstructed B picture
    Picture* newOrg = nullptr;   // source of the newer reference
    Picture* oldOrg = nullptr;   // source of the older reference
    Picture* auxOrg = nullptr;   // source of the B picture
    Picture* pred = nullptr;     // prediction of the current picture
    // The picture being coded and where its reconstruction goes.
    Picture* current = nullptr;
    Picture* reconstructed = nullptr;

    std::vector<MacroblockInfo> mbInfo;  // mbHeightPicture x mbWidth
    // The lookahead's quantiser factor of each macroblock of the picture
    // being coded; empty when it has none.
    std::vector<double> temporalFactor;
    // Set while the pictures before a break the lookahead met are coded:
    // the source has already ended the job, but those pictures are still
    // wanted, as they would have been without reading ahead.
    bool codingBeforeBreak = false;
    bool stopNow() const { return engine.job.stopRequested && !codingBeforeBreak; }

    // clip[i] for i in -384..639 is i clamped to 0..255; use clip().
    std::array<uint8_t, 1024> clipTable{};
    const uint8_t* clip() const { return clipTable.data() + 384; }
    // coefClip[i] for i in -512..511 is i clamped to -256..255; use coefClip().
    std::array<int16_t, 1024> coefClipTable{};
    const int16_t* coefClip() const { return coefClipTable.data() + 512; }
    TransformRoutines transforms;

    FrameWindow input;

    RateStatistics rcStats;
    // The share of the I and B quantiser ratios the picture being coded
    // takes, percent (grainy pictures take less).
    int typeRatioShare = 100;
    // The constant-bitrate controller; null in variable-bitrate mode, where
    // every macroblock uses the fixed quantiser of fixedMquant().
    std::unique_ptr<RateController> rate;

    // Temporary file that collects sequence header offsets for the
    // max-bitrate embedding; null when not needed.
    std::FILE* maxBitrateFile = nullptr;
    std::string maxBitrateFileName;
    bool gopRecoding = false;

    PictureObserver* observer = nullptr;
    std::shared_ptr<MotionSearchState> motion;
    PictureTally tally;
    // Second pass of two-pass coding: the picture's quantiser scale (0 when
    // the fixed quantiser rules), and the mquantValue it was planned for
    // (GOP re-coding scales it by the ratio of the two).
    double passQuant = 0;
    int passMquantValue = 0;
    // Progress over both passes: frames done before this pass, and in all.
    int progressDone = 0;
    int progressTotal = 0;
    std::shared_ptr<GopRecodingState> recoding;

    std::FILE* statistics() const { return engine.job.statisticsFile; }
    bool constantBitrate() const { return s.constBitrateFlag != 0; }
};

}  // namespace quillon
