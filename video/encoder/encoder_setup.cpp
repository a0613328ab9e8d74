#include "video/encoder/encoder_setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/format.h"
#include "video/dsp/dct.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/gop_recoding.h"
#include "video/encoder/max_bitrate.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

namespace {

// Builds the tables and fills enc.transforms from useFloatingPoint/MMXMode.
void initTransforms(VideoEncoder& enc) {
    buildCoefficientClipTable(enc.coefClipTable);
    (void)forwardDctFloatScale();
    enc.transforms = selectTransformRoutines(enc.s.useFloatingPoint != 0, enc.engine.ev.MMXMode,
                                             enc.engine.ev.cpuFeatures);
}

}  // namespace

const std::array<uint8_t, 64> kDefaultIntraMatrix = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83,
};

VideoGeometry computeGeometry(const EncoderSettings& s, int horizontalSize, int verticalSize) {
    VideoGeometry g;
    g.width = horizontalSize;
    g.height = verticalSize;
    g.chromaFormat = s.chromaFormat >= 1 && s.chromaFormat <= 3 ? s.chromaFormat : 1;
    g.mbWidth = (horizontalSize + 15) / 16;
    g.mbHeight = s.progressiveSequence ? (verticalSize + 15) / 16 : 2 * ((verticalSize + 31) / 32);
    g.mbHeightPicture = s.fieldPictures ? g.mbHeight / 2 : g.mbHeight;
    g.paddedWidth = 16 * g.mbWidth;
    g.paddedHeight = 16 * g.mbHeight;
    g.chromaWidth = g.chromaFormat == 3 ? g.paddedWidth : g.paddedWidth / 2;
    g.chromaHeight = g.chromaFormat == 1 ? g.paddedHeight / 2 : g.paddedHeight;
    g.lineStep = s.fieldPictures ? 2 * g.paddedWidth : g.paddedWidth;
    g.chromaLineStep = s.fieldPictures ? 2 * g.chromaWidth : g.chromaWidth;
    g.pictureHeight = s.fieldPictures ? g.paddedHeight / 2 : g.paddedHeight;
    g.blockCount = g.chromaFormat == 1 ? 6 : g.chromaFormat == 2 ? 8 : 12;
    return g;
}

namespace {

// Reads 64 whitespace-separated integers, each 1..255.
enum class MatrixRead { Ok, CannotOpen, Invalid };

MatrixRead readMatrixFile(const char* path, int (&values)[64]) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return MatrixRead::CannotOpen;
    MatrixRead result = MatrixRead::Ok;
    for (int i = 0; i < 64; ++i) {
        // A missing value counts as invalid, like one out of range.
        if (std::fscanf(f, "%d", &values[i]) != 1 || values[i] < 1 || values[i] > 255) {
            result = MatrixRead::Invalid;
            break;
        }
    }
    std::fclose(f);
    return result;
}

bool allocatePicture(Engine& engine, Picture& p, const VideoGeometry& g, const char* message) {
    try {
        p.plane[0].assign(g.lumaSize(), 0);
        p.plane[1].assign(g.chromaSize(), 128);
        p.plane[2].assign(g.chromaSize(), 128);
    } catch (const std::bad_alloc&) {
        engine.reportError(message);
        return false;
    }
    return true;
}

}  // namespace

bool loadQuantMatrices(VideoEncoder& enc) {
    QuantMatrices& q = enc.quant;
    const char* intraName = enc.s.intraQuantMatrix;
    if (intraName[0] != '\0') {
        int values[64];
        switch (readMatrixFile(intraName, values)) {
            case MatrixRead::CannotOpen:
                enc.engine.reportError(formatText("Could not open intra quant matrix file %s.", intraName));
                return false;
            case MatrixRead::Invalid:
                enc.engine.reportError(formatText("Invalid value in intra quant matrix file %s.", intraName));
                return false;
            case MatrixRead::Ok: break;
        }
        q.loadIntra = true;
        for (int i = 0; i < 64; ++i) q.intra[static_cast<size_t>(i)] = static_cast<uint8_t>(values[i]);
    } else {
        q.loadIntra = false;
        q.intra = kDefaultIntraMatrix;
    }

    const char* nonIntraName = enc.s.nonIntraQuantMatrix;
    if (nonIntraName[0] == '\0' || std::strcmp(nonIntraName, "mpeg default") == 0) {
        q.loadNonIntra = false;
        q.nonIntra8.fill(16);
        q.nonIntra16.fill(16);
        q.nonIntraReciprocal.fill(4096);
        return true;
    }
    int values[64];
    switch (readMatrixFile(nonIntraName, values)) {
        case MatrixRead::CannotOpen:
            enc.engine.reportError(formatText("Could not open non-intra quant matrix file %s.", nonIntraName));
            return false;
        case MatrixRead::Invalid:
            enc.engine.reportError(formatText("Invalid value in non-intra quant matrix file %s.", nonIntraName));
            return false;
        case MatrixRead::Ok: break;
    }
    q.loadNonIntra = true;
    for (size_t i = 0; i < 64; ++i) {
        const int w = values[i];
        q.nonIntra8[i] = static_cast<uint8_t>(w);
        q.nonIntra16[i] = static_cast<uint16_t>(w);
        // 65536 does not fit: weight 1 marks the entry for the exact form.
        q.nonIntraReciprocal[i] = static_cast<uint16_t>(w == 1 ? 0 : 65536 / w);
    }
    return true;
}

bool setUpEncoder(VideoEncoder& enc) {
    Engine& engine = enc.engine;
    const EncoderSettings& s = enc.s;
    enc.mpeg2 = isMpeg2Syntax(s);
    enc.firstFrameNumber = engine.job.firstFrame;

    if (!enc.writer.open(engine, engine.job.videoStreamName)) return false;
    if (!loadQuantMatrices(enc)) return false;
    enc.gopRecoding = !s.constBitrateFlag && (s.maxBitrate != 0 || s.avgBitrate != 0 || s.minBitrate != 0);

    enc.geo = computeGeometry(s, engine.ev.horizontalSize, engine.ev.verticalSize);
    enc.headerBits = 0;
    enc.rcStats = RateStatistics{};

    if (s.constBitrateFlag) enc.rate = makeConstantRateController(enc);
    // The temporary max-bitrate file (MPEG-2, variable bitrate, no
    // maxBitrate) is created here by the max-bitrate embedding's set-up.
    if (needsMaxBitrateEmbedding(s) && !openMaxBitrateFile(enc)) return false;

    buildClipTable(enc.clipTable);
    initTransforms(enc);

    static const char* const kMessages[7] = {
        "Cannot allocate memory for new ref frame.", "Cannot allocate memory for old ref frame.",
        "Cannot allocate memory for aux frame.",     "Cannot allocate memory for new org frame.",
        "Cannot allocate memory for old org frame.", "Cannot allocate memory for aux org frame.",
        "Cannot allocate memory for pred frame.",
    };
    for (int i = 0; i < 7; ++i)
        if (!allocatePicture(engine, enc.pictureStore[static_cast<size_t>(i)], enc.geo, kMessages[i])) return false;
    enc.newRef = &enc.pictureStore[0];
    enc.oldRef = &enc.pictureStore[1];
    enc.aux = &enc.pictureStore[2];
    enc.newOrg = &enc.pictureStore[3];
    enc.oldOrg = &enc.pictureStore[4];
    enc.auxOrg = &enc.pictureStore[5];
    enc.pred = &enc.pictureStore[6];

    const size_t mbCount = static_cast<size_t>(enc.geo.macroblockCount());
    try {
        enc.mbInfo.assign(mbCount, MacroblockInfo{});
    } catch (const std::bad_alloc&) {
        engine.reportError("Cannot allocate memory for mb info.");
        return false;
    }
    if (enc.gopRecoding) {
        try {
            enc.undoBuffer.assign(kBitWriterBufferSize, 0);
        } catch (const std::bad_alloc&) {
            engine.reportError("Cannot allocate memory for undo file buffer.");
            return false;
        }
    }
    if (enc.gopRecoding && !setUpGopRecoding(enc)) return false;
    return setUpFrameInput(enc);
}

void tearDownEncoder(VideoEncoder& enc) {
    if (enc.writer.isOpen()) {
        enc.writer.alignToByte();
        cutStreamAtWrittenLength(enc);
        enc.writer.close();
    }
    tearDownFrameInput(enc);
    if (enc.maxBitrateFile) {
        std::fclose(enc.maxBitrateFile);
        enc.maxBitrateFile = nullptr;
    }
    for (Picture& p : enc.pictureStore)
        for (auto& plane : p.plane) {
            plane.clear();
            plane.shrink_to_fit();
        }
    enc.newRef = enc.oldRef = enc.aux = enc.newOrg = enc.oldOrg = enc.auxOrg = enc.pred = nullptr;
    enc.current = enc.reconstructed = nullptr;
    enc.mbInfo.clear();
    enc.mbInfo.shrink_to_fit();
    enc.undoBuffer.clear();
    enc.undoBuffer.shrink_to_fit();
    enc.recoding.reset();
}

}  // namespace quillon
