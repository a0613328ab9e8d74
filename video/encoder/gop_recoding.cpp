#include "video/encoder/gop_recoding.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "engine/format.h"
#include "video/encoder/motion_estimation.h"

namespace quillon {

void GopBudget::start(int N, double frameRate, double maxBitrate, double minBitrate, double avgBitrate,
                      int mquantValue) {
    N_ = N > 0 ? N : 1;
    frameRate_ = frameRate > 0 ? frameRate : 25;
    maxGopBits_ = maxBitrate > 0 ? static_cast<int64_t>(std::floor(N_ * maxBitrate / frameRate_)) : 2147483647;
    minGopBits_ = minBitrate > 0 ? static_cast<int64_t>(std::floor(N_ * minBitrate / frameRate_)) : 0;
    useBank_ = avgBitrate > 0;
    if (useBank_) {
        bank_ = 40000000;
        targetGopBits_ = static_cast<int64_t>(std::floor(N_ * avgBitrate / frameRate_));
    } else {
        bank_ = 0;
        targetGopBits_ = 2147483647;
    }
    baseMquant_ = mquantValue;
    gopNumber_ = 1;
    raised_ = false;
    reported_ = false;
}

double GopBudget::allowed() const {
    // The average target plus the bank spread over ten seconds of GOPs.
    return std::floor(bank_ / (frameRate_ * 10 / N_) + static_cast<double>(targetGopBits_));
}

std::string GopBudget::reportLine(int bits, int mquantValue) const {
    const uint32_t rate = static_cast<uint32_t>(static_cast<double>(bits) * frameRate_ / N_);
    if (!reported_) return formatText("  GOP #%5d, bitrate = %u, act mquant = %d", gopNumber_, rate, mquantValue);
    return formatText("              bitrate = %u, new mquant = %d", rate, mquantValue);
}

GopBudget::Verdict GopBudget::check(int bits, int mquantValue, int pictures) {
    const double scale = pictures > 0 ? static_cast<double>(pictures) / N_ : 1.0;
    const double target = static_cast<double>(targetGopBits_) * scale;
    const double allowedBits = pictures > 0 && useBank_ ? std::floor(bank_ / (frameRate_ * 10 / N_) + target) : allowed();
    const double maxGopBits = static_cast<double>(maxGopBits_) * scale;
    const double minGopBits = static_cast<double>(minGopBits_) * scale;
    const bool tooLarge = (bits > maxGopBits || bits > allowedBits) && mquantValue < 31;
    const bool tooSmall = bits < minGopBits && !raised_ && mquantValue > 1;
    Verdict v;
    if (tooLarge || tooSmall) {
        v.recode = true;
        double q;
        if (bits >= minGopBits) {
            raised_ = true;
            const double limit = std::min(allowedBits, maxGopBits);
            // A spent bank leaves no room at all: go straight to the coarsest.
            q = limit > 0 ? std::max(mquantValue + 1.0, std::floor(bits / limit * mquantValue + 0.5)) : 31;
        } else {
            const double limit = std::min(allowedBits, minGopBits);
            q = limit > 0 ? std::min(mquantValue - 1.0, std::floor(bits / limit * mquantValue + 0.5) + 1) : mquantValue - 1.0;
        }
        v.mquant = static_cast<int>(std::clamp(q, 1.0, 31.0));
        return v;
    }
    raised_ = false;
    reported_ = false;
    gopNumber_ += 1;
    if (useBank_) bank_ += target - bits;
    v.mquant = baseMquant_;
    return v;
}

namespace {

constexpr const char* kCopyMessages[7] = {
    "Cannot allocate memory for new ref frame.", "Cannot allocate memory for old ref frame.",
    "Cannot allocate memory for aux frame.",     "Cannot allocate memory for new org frame.",
    "Cannot allocate memory for old org frame.", "Cannot allocate memory for aux org frame.",
    "Cannot allocate memory for pred frame."};

std::array<Picture*, 9> rolePointers(VideoEncoder& enc) {
    return {enc.newRef, enc.oldRef, enc.aux, enc.newOrg, enc.oldOrg, enc.auxOrg, enc.pred, enc.current,
            enc.reconstructed};
}

int storeIndex(VideoEncoder& enc, const Picture* p) {
    for (int k = 0; k < 7; ++k)
        if (p == &enc.pictureStore[static_cast<size_t>(k)]) return k;
    return -1;
}

Picture* fromIndex(VideoEncoder& enc, int k) {
    return k >= 0 && k < 7 ? &enc.pictureStore[static_cast<size_t>(k)] : nullptr;
}

// Plane copies keep their capacity, so after the first save nothing is
// allocated again.
void copyPicture(Picture& to, const Picture& from) {
    for (int c = 0; c < 3; ++c) {
        to.plane[c].resize(from.plane[c].size());
        std::copy(from.plane[c].begin(), from.plane[c].end(), to.plane[c].begin());
    }
}

}  // namespace

void saveCheckpoint(VideoEncoder& enc, EncoderCheckpoint& to) {
    if (enc.undoBuffer.size() < static_cast<size_t>(kBitWriterBufferSize)) enc.undoBuffer.assign(kBitWriterBufferSize, 0);
    enc.writer.snapshot(to.writer, enc.undoBuffer.data());
    to.headerBits = enc.headerBits;
    to.statistics = saveRateStatistics(enc.rcStats);
    for (size_t k = 0; k < 7; ++k) copyPicture(to.pictures[k], enc.pictureStore[k]);
    auto roles = rolePointers(enc);
    for (size_t r = 0; r < roles.size(); ++r) to.roles[r] = storeIndex(enc, roles[r]);
    to.mbInfo = enc.mbInfo;
    std::memcpy(to.motion, enc.s.motion, sizeof(to.motion));
    if (enc.motion) {
        if (!to.motionSearch) to.motionSearch = std::make_shared<MotionSearchState>();
        *to.motionSearch = *enc.motion;
    }
}

void restoreCheckpoint(VideoEncoder& enc, const EncoderCheckpoint& from) {
    enc.writer.restore(from.writer, enc.undoBuffer.data());
    enc.headerBits = from.headerBits;
    restoreRateStatistics(enc.rcStats, from.statistics);
    for (size_t k = 0; k < 7; ++k) copyPicture(enc.pictureStore[k], from.pictures[k]);
    enc.newRef = fromIndex(enc, from.roles[0]);
    enc.oldRef = fromIndex(enc, from.roles[1]);
    enc.aux = fromIndex(enc, from.roles[2]);
    enc.newOrg = fromIndex(enc, from.roles[3]);
    enc.oldOrg = fromIndex(enc, from.roles[4]);
    enc.auxOrg = fromIndex(enc, from.roles[5]);
    enc.pred = fromIndex(enc, from.roles[6]);
    enc.current = fromIndex(enc, from.roles[7]);
    enc.reconstructed = fromIndex(enc, from.roles[8]);
    std::copy(from.mbInfo.begin(), from.mbInfo.end(), enc.mbInfo.begin());
    std::memcpy(enc.s.motion, from.motion, sizeof(from.motion));
    if (enc.motion && from.motionSearch) *enc.motion = *from.motionSearch;
}

bool setUpGopRecoding(VideoEncoder& enc) {
    auto st = std::make_shared<GopRecodingState>();
    auto attempt = [&](const char* message, auto&& allocate) {
        try {
            allocate();
            return true;
        } catch (const std::bad_alloc&) {
            enc.engine.reportError(message);
            return false;
        }
    };
    for (size_t k = 0; k < 7; ++k)
        if (!attempt(kCopyMessages[k], [&] { copyPicture(st->start.pictures[k], enc.pictureStore[k]); })) return false;
    if (!attempt("Cannot allocate memory for mb info.", [&] { st->start.mbInfo = enc.mbInfo; })) return false;
    if (!attempt("Cannot allocate memory for undo file buffer.",
                 [&] { enc.undoBuffer.assign(kBitWriterBufferSize, 0); }))
        return false;
    enc.recoding = std::move(st);
    return true;
}

void startGopRecoding(VideoEncoder& enc) {
    if (!enc.recoding && !setUpGopRecoding(enc)) return;
    GopRecodingState& st = *enc.recoding;
    st.gopStartIndex = 0;
    st.budget.start(enc.gopSize, enc.s.frameRate, enc.s.maxBitrate, enc.s.minBitrate,
                    enc.s.constBitrateFlag ? 0.0 : enc.s.avgBitrate, enc.s.mquantValue);
    saveCheckpoint(enc, st.start);
}

int recodeCheckAtGopStart(VideoEncoder& enc, int i) {
    if (!enc.recoding) return i;
    GopRecodingState& st = *enc.recoding;
    const int bits = static_cast<int>(enc.writer.totalBits() - static_cast<double>(st.start.writer.totalBits));
    if (enc.s.verbose) {
        enc.engine.logLine(st.budget.reportLine(bits, enc.s.mquantValue));
        st.budget.noteReported();
    }
    // The lookahead's GOPs end at scene cuts: their limits follow their
    // length. (The fixed plan keeps measuring against N.)
    const int pictures = enc.s.lookahead > 0 ? i - st.gopStartIndex : 0;
    GopBudget::Verdict v = st.budget.check(bits, enc.s.mquantValue, pictures);
    enc.s.mquantValue = v.mquant;
    if (v.recode) {
        restoreCheckpoint(enc, st.start);
        return st.gopStartIndex;
    }
    st.gopStartIndex = i;
    saveCheckpoint(enc, st.start);
    return i;
}

void cutStreamAtWrittenLength(VideoEncoder& enc) {
    if (!enc.recoding || !enc.writer.isOpen() || enc.writer.writeError()) return;
    std::FILE* f = enc.writer.file();
    // Every full buffer is flushed when written, so the descriptor sees all
    // bytes before the buffered ones; the buffered ones follow at close.
    std::fflush(f);
    const int64_t length = enc.writer.bytePosition();
    if (length >= 0 && ftruncate(fileno(f), static_cast<off_t>(length)) != 0)
        enc.engine.reportError("Unable to write to output file.");
}

}  // namespace quillon
