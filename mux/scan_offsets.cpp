#include "mux/scan_offsets.h"

#include <sys/stat.h>

#include <cmath>

#include "engine/engine.h"
#include "engine/format.h"
#include "mux/bit_reader.h"
#include "mux/stream_tables.h"

namespace quillon {

namespace {

uint8_t bcd(uint32_t v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

}  // namespace

void encodeScanOffset(uint32_t pack, uint8_t out[3]) {
    // Two BCD digits of minutes reach 99:59:74; later packs keep that address.
    if (pack > 99u * 4500 + 59 * 75 + 74) pack = 99u * 4500 + 59 * 75 + 74;
    out[0] = bcd(pack / 4500);
    out[1] = static_cast<uint8_t>(bcd((pack % 4500) / 75) | 0x80);
    out[2] = static_cast<uint8_t>(bcd(pack % 75) | 0x80);
}

int scanJumpDistance(const VideoStreamInfo& info) {
    int gopLength = static_cast<int>(std::floor(static_cast<double>(info.pictures) / info.groups + 0.5));
    if (gopLength < 1) gopLength = 1;
    if (info.pulldown == 0) return static_cast<int>(std::ceil(kPictureRates[info.frameRateCode] * 7 / gopLength));
    return static_cast<int>(std::ceil(168.0 / gopLength));
}

bool writeScanOffsets(Engine& engine, const std::string& programPath, std::FILE* program,
                      const VideoStreamInfo& info, const std::string& scanPath, std::FILE*& scanFile) {
    if (info.frameRateCode == 0 || info.frameRateCode > 8) {
        engine.logDetail("  SVCD scan offsets aborted, invalid frame rate");
        return true;
    }
    if (info.groups == 0) {
        engine.logDetail("  SVCD scan offsets aborted, no GOP headers found");
        return true;
    }
    if (scanFile) std::fclose(scanFile);
    scanFile = nullptr;
    struct stat st;
    if (::stat(scanPath.c_str(), &st) != 0) {
        engine.reportError(formatText("Unable to get the size of the SVCD temporary file %s.", scanPath.c_str()));
        return false;
    }
    scanFile = std::fopen(scanPath.c_str(), "rb");
    if (!scanFile) {
        engine.reportError(formatText("Unable to open SVCD temporary file %s.", scanPath.c_str()));
        return false;
    }
    const int count = static_cast<int>(st.st_size / 4);
    engine.logDetail(formatText("  Calculating %d SVCD user data scan offsets for file %s", count, programPath.c_str()));
    BitReader reader(engine);
    if (!reader.open(programPath)) return false;
    const int R = scanJumpDistance(info);

    auto packOf = [&](int index, uint8_t out[3]) {
        if (std::fseek(scanFile, 4L * index, SEEK_SET) != 0) {
            engine.reportError(formatText("Unable to seek position in SVCD temporary file %s", scanPath.c_str()));
            return false;
        }
        uint32_t pack = 0;
        if (std::fread(&pack, 4, 1, scanFile) != 1) {
            struct stat now;
            if (::stat(scanPath.c_str(), &now) != 0)
                engine.reportError(formatText("Unable to get size of SVCD temporary file %s", scanPath.c_str()));
            else
                engine.reportError(formatText("Unable to read from SVCD temporary file %s, offset = %u, size = %u",
                                              scanPath.c_str(), 4u * index, static_cast<unsigned>(now.st_size)));
            return false;
        }
        encodeScanOffset(pack, out);
        return true;
    };

    int lastPercent = -1;
    int i = 0;
    for (; i < count && !reader.endOfData(); ++i) {
        engine.pumpMessages();
        if (engine.job.stopRequested) return false;
        int percent = static_cast<int>(std::floor(static_cast<double>(i) / count * 100));
        if (percent != lastPercent) {
            lastPercent = percent;
            engine.setProgress(formatText("SVCD Scan Offsets: %d%% - %d of %d  I-Frames.", percent, i, count), percent);
        }
        bool found = false;
        while (reader.search(0x000001B2, 32)) {
            uint32_t tag, length;
            if (!reader.readBits(8, tag)) {
                engine.reportError(formatText("Unable to read from program file %s.", programPath.c_str()));
                return false;
            }
            if (tag != 0x10) continue;
            if (!reader.readBits(8, length)) {
                engine.reportError(formatText("Unable to read from program file %s.", programPath.c_str()));
                return false;
            }
            if (length != 0x0E) continue;
            found = true;
            break;
        }
        if (!found) break;
        const long long at = static_cast<long long>(reader.position() / 8);
        if (fseeko(program, static_cast<off_t>(at), SEEK_SET) != 0) {
            engine.reportError(formatText("Unable to seek position in program file %s.", programPath.c_str()));
            return false;
        }
        uint8_t offsets[4][3];
        static constexpr uint8_t kNone[3] = {0xFF, 0xFF, 0xFF};
        auto none = [&](uint8_t out[3]) { out[0] = kNone[0], out[1] = kNone[1], out[2] = kNone[2]; };
        if (i == 0) none(offsets[0]);
        else if (!packOf(i - 1, offsets[0])) return false;
        if (i == count - 1) none(offsets[1]);
        else if (!packOf(i + 1, offsets[1])) return false;
        if (!packOf(i >= R ? i - R : 0, offsets[2])) return false;
        if (!packOf(i >= count - R - 1 ? count - 1 : i + R, offsets[3])) return false;
        if (engine.work.verbose) {
            engine.logDetail(formatText("  i frame: %d", i));
            const char* names[4] = {"Prev", "Next", "Back", "Forw"};
            for (int j = 0; j < 4; ++j)
                engine.logDetail(formatText("    %s I Offset: %02X:%02X:%02X", names[j], offsets[j][0],
                                          offsets[j][1] & 0x7F, offsets[j][2] & 0x7F));
        }
        if (std::fwrite(offsets, 1, 12, program) != 12) {
            engine.reportError(formatText("Unable to write to program file %s.", programPath.c_str()));
            return false;
        }
    }
    if (std::fflush(program) != 0) {
        engine.reportError(formatText("Unable to write to program file %s.", programPath.c_str()));
        return false;
    }
    if (i == count) {
        engine.setProgress(formatText("SVCD Scan Offsets: 100%% - %d of %d  I-Frames.", count, count), 100);
        engine.logDetail(formatText("  Finished calculating SVCD scan offsets for file %s", programPath.c_str()));
        return true;
    }
    engine.reportError(formatText("Could not find User Data at I-frame %d in file %s.", i, programPath.c_str()));
    return false;
}

}  // namespace quillon
