#include "video/encoder/max_bitrate.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "engine/format.h"
#include "platform/temp_name.h"

namespace quillon {

bool needsMaxBitrateEmbedding(const EncoderSettings& s) {
    return isMpeg2Syntax(s) && !s.constBitrateFlag && s.maxBitrate == 0;
}

bool openMaxBitrateFile(VideoEncoder& enc) {
    closeMaxBitrateFile(enc);
    std::string name = createTemporaryFile("tmp_s");
    std::FILE* f = name.empty() ? nullptr : std::fopen(name.c_str(), "wb");
    if (!f) {
        if (!name.empty()) std::remove(name.c_str());
        enc.engine.reportError("Could not create temporary max bitrate output file.");
        return false;
    }
    enc.maxBitrateFile = f;
    enc.maxBitrateFileName = name;
    return true;
}

void recordSequenceHeaderOffset(VideoEncoder& enc) {
    if (!enc.maxBitrateFile) return;
    const double offset = enc.writer.totalBits() / 8 + 8;
    // Offsets are 32-bit records: headers beyond 4 GB cannot be recorded
    // and keep the bit_rate_value they were written with.
    if (offset > 4294967295.0) return;
    const uint32_t v = static_cast<uint32_t>(offset);
    const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
    std::fwrite(bytes, 1, 4, enc.maxBitrateFile);
}

void closeMaxBitrateFile(VideoEncoder& enc) {
    if (enc.maxBitrateFile) {
        std::fclose(enc.maxBitrateFile);
        enc.maxBitrateFile = nullptr;
    }
}

void removeMaxBitrateFile(VideoEncoder& enc) {
    closeMaxBitrateFile(enc);
    if (!enc.maxBitrateFileName.empty()) {
        std::remove(enc.maxBitrateFileName.c_str());
        enc.maxBitrateFileName.clear();
    }
}

void maxBitratePatch(uint32_t maxWindowBits, int vbvBufferSize, uint8_t out[3]) {
    const uint32_t value = static_cast<uint32_t>(std::ceil(maxWindowBits * 0.0025));
    out[0] = static_cast<uint8_t>(value >> 10);
    out[1] = static_cast<uint8_t>((value >> 2) & 0xFF);
    out[2] = static_cast<uint8_t>(((value & 3) << 6) | 0x20 | ((vbvBufferSize >> 5) & 0x1F));
}

bool embedMaxBitrate(Engine& engine, const std::string& videoPath, const std::string& offsetsPath,
                     uint32_t maxWindowBits, int vbvBufferSize) {
    std::FILE* video = std::fopen(videoPath.c_str(), "r+b");
    if (!video) {
        engine.reportError("Unable to open video stream.");
        return false;
    }
    std::FILE* offsets = std::fopen(offsetsPath.c_str(), "rb");
    if (!offsets) {
        std::fclose(video);
        engine.reportError("Unable to open temporary max bitrate file.");
        return false;
    }
    auto fail = [&](const std::string& message) {
        std::fclose(offsets);
        std::fclose(video);
        engine.reportError(message);
        return false;
    };
    struct stat st;
    if (::fstat(fileno(offsets), &st) != 0) return fail("Unable to get size of temporary max bitrate file.");

    engine.logLine(" ");
    engine.logLine("Embedding max bitrate value in sequence headers ...");
    uint8_t patch[3];
    maxBitratePatch(maxWindowBits, vbvBufferSize, patch);
    const int64_t count = static_cast<int64_t>(st.st_size) / 4;
    for (int64_t k = 1; k <= count; ++k) {
        const int percent = static_cast<int>(std::floor(static_cast<double>(k) / count * 100));
        engine.setProgress(formatText("Embedding max bitrate values: %d%% - %d of %d.", percent, static_cast<int>(k),
                                      static_cast<int>(count)),
                           percent);
        uint8_t b[4];
        if (std::fread(b, 1, 4, offsets) != 4) return fail("Unable to read from temporary max bitrate file.");
        const uint32_t offset = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        if (fseeko(video, static_cast<off_t>(offset), SEEK_SET) != 0)
            return fail(formatText("Unable to seek in video stream, offset = %u.", offset));
        if (std::fwrite(patch, 1, 3, video) != 3) return fail("Unable to write to video stream");
    }
    std::fclose(offsets);
    // A delayed write failure shows only when the stream is closed.
    if (std::fclose(video) != 0) {
        engine.reportError("Unable to write to video stream");
        return false;
    }
    return true;
}

bool embedMaxBitrate(VideoEncoder& enc) {
    closeMaxBitrateFile(enc);
    return embedMaxBitrate(enc.engine, enc.engine.job.videoStreamName, enc.maxBitrateFileName,
                           enc.rcStats.maxWindowBits, enc.s.vbvBufferSize);
}

}  // namespace quillon
