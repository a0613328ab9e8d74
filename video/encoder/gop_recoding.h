// Bitrate limits of variable-bitrate coding, met by coding whole GOPs again:
// each GOP is coded with the fixed quantiser, measured at the next GOP start,
// and when it breaks maxBitrate, avgBitrate (with a bank) or minBitrate the
// output and every piece of encoder state roll back to the GOP's start and
// the GOP is coded again with another quantiser.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/bit_writer.h"
#include "video/encoder/rate_control.h"
#include "video/encoder/video_types.h"

namespace quillon {

// The decision part, free of pictures and files.
class GopBudget {
public:
    // N pictures per GOP; rates in bit/s, 0 when not set.
    void start(int N, double frameRate, double maxBitrate, double minBitrate, double avgBitrate, int mquantValue);

    struct Verdict {
        bool recode = false;
        int mquant = 0;  // the quantiser for the next attempt or GOP
    };
    // bits: the whole finished GOP with its headers. On acceptance the bank
    // is charged and the quantiser goes back to the configured one.
    // pictures: the GOP's length when its limits scale with it (GOPs of the
    // lookahead's plan, cut short by scene cuts); 0 measures every GOP
    // against N pictures.
    Verdict check(int bits, int mquantValue, int pictures = 0);

    // Text of the verbose report line for this attempt.
    std::string reportLine(int bits, int mquantValue) const;
    void noteReported() { reported_ = true; }

    double allowed() const;
    int64_t maxGopBits() const { return maxGopBits_; }
    int64_t minGopBits() const { return minGopBits_; }
    int64_t targetGopBits() const { return targetGopBits_; }
    double bank() const { return bank_; }
    int gopNumber() const { return gopNumber_; }
    bool raised() const { return raised_; }

private:
    int N_ = 1;
    double frameRate_ = 25;
    int64_t maxGopBits_ = 2147483647;
    int64_t minGopBits_ = 0;
    int64_t targetGopBits_ = 2147483647;
    double bank_ = 0;
    bool useBank_ = false;
    int baseMquant_ = 1;
    int gopNumber_ = 1;
    bool raised_ = false;
    bool reported_ = false;
};

// Everything coding a GOP changes that coding it again must start from:
// the output (the writer's state; the buffer's bytes go to enc.undoBuffer),
// the header bit count, the running statistics, the seven pictures and the
// roles they play, the macroblock records, the motion table (the
// hierarchical search adapts it) and the motion search's own state (its
// quarter-resolution anchors). Saved whole and restored whole.
struct EncoderCheckpoint {
    WriterSnapshot writer;
    double headerBits = 0;
    SavedRateStatistics statistics;
    std::array<Picture, 7> pictures;
    // Role of each picture pointer, as an index into pictureStore (-1: none).
    std::array<int, 9> roles{};
    std::vector<MacroblockInfo> mbInfo;
    int32_t motion[kMotionEntries][8] = {};
    std::shared_ptr<MotionSearchState> motionSearch;
};

void saveCheckpoint(VideoEncoder& enc, EncoderCheckpoint& to);
void restoreCheckpoint(VideoEncoder& enc, const EncoderCheckpoint& from);

// The GOP being measured: its budget, where it started and the encoder's
// state there.
struct GopRecodingState {
    GopBudget budget;
    int gopStartIndex = 0;
    EncoderCheckpoint start;
};

// Set-up: the seven picture copies, the macroblock record copy and the
// writer's undo buffer, each with its allocation message. The
// encoder's own buffers must be allocated already.
bool setUpGopRecoding(VideoEncoder& enc);
// After the first sequence header.
void startGopRecoding(VideoEncoder& enc);
// At coding index i opening a GOP (i > 0): returns the index to go on from,
// which is the previous GOP's start when that GOP is coded again.
int recodeCheckAtGopStart(VideoEncoder& enc, int i);
// Before the writer closes: a stream that was rolled back may have left
// bytes of an abandoned attempt beyond its end; cut them off.
void cutStreamAtWrittenLength(VideoEncoder& enc);

}  // namespace quillon
