#include "input/frame_delivery.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/format.h"
#include "input/input_table.h"
#include "input/media_file.h"
#include "input/media_log.h"

namespace quillon {

namespace {

constexpr double kPalFramePeriod = 0.04;
constexpr double kNtscFramePeriod = 0.033366700033366704;  // 1 / 29.97
// Counted sample frames fetched per sound block: at every output rate the
// block holds more than one Layer II frame (1152 sample frames).
constexpr uint32_t kBlockFrames = 4096;

}  // namespace

EntryDelivery::EntryDelivery(std::vector<InputFileEntry*> entries, const DeliverySetup& setup, DeliveryHooks hooks)
    : entries_(std::move(entries)), setup_(setup), hooks_(std::move(hooks)) {}

void EntryDelivery::passMediaMessages() {
    std::vector<std::string> lines = takeMediaMessages();
    if (hooks_.logDetail)
        for (const std::string& line : lines) hooks_.logDetail(line);
}

void EntryDelivery::fail(const std::string& caption, const std::string& text) {
    passMediaMessages();
    if (hooks_.reportError) hooks_.reportError(caption, text);
    if (hooks_.abortJob) hooks_.abortJob();
}

int EntryDelivery::sourceFrameFor(const InputFileEntry& entry, int localFrame) const {
    const double period = setup_.pal ? kPalFramePeriod : kNtscFramePeriod;
    const double ratio = entry.frameRate * period;
    // The small allowance keeps 29.97 fps on 29.97 fps from landing a hair
    // below a whole frame and repeating the previous one.
    int64_t frame = static_cast<int64_t>(std::floor(static_cast<double>(localFrame) * ratio + 1e-6));
    const int64_t last = entry.selectedFrames > 0 ? static_cast<int64_t>(entry.selectedFrames) - 1 : 0;
    return static_cast<int>(std::clamp<int64_t>(frame, 0, last));
}

int EntryDelivery::getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) {
    if (entries_.empty()) return kFrameDecodeFailed;
    // Walk to the entry that holds output frame n; requests may come in any
    // order (the encoder reads ahead for reference pictures).
    size_t index = 0;
    int64_t local = frame < 0 ? 0 : frame;
    while (index + 1 < entries_.size() && local >= static_cast<int64_t>(entries_[index]->outputFrames)) {
        local -= entries_[index]->outputFrames;
        ++index;
    }
    frameEntry_ = index;
    if (hooks_.pump && hooks_.pump()) return kFrameAborted;
    InputFileEntry& entry = *entries_[index];
    const int sourceFrame = sourceFrameFor(entry, static_cast<int>(local));
    int result = deliverPicture(entry, sourceFrame);
    passMediaMessages();
    if (result != kFrameOk) return result;
    *rowBytes = output_.rowBytes();
    *pixels = output_.pixels.data();
    return kFrameOk;
}

int EntryDelivery::deliverPicture(InputFileEntry& entry, int sourceFrame) {
    std::string why;
    int result = loadSourcePicture(entry, sourceFrame, source_, &why, &listCache_);
    if (result != kFrameOk) {
        if (entry.isVideoFile) {
            fail("decode video error",
                 formatText("Can not get video frame %d of %s, compressor = %s.", sourceFrame, entry.path.c_str(),
                            entry.fourCC.empty() ? entry.videoCodecName.c_str() : entry.fourCC.c_str()) +
                     (why.empty() ? "" : " (" + why + ")"));
        } else {
            fail("decode video error", why);
        }
        return result;
    }
    const int w = setup_.width, h = setup_.height;
    if (source_.width == w && source_.height == h) {
        std::swap(output_, source_);
        return kFrameOk;
    }
    AbortCheck abort;
    if (hooks_.pump) abort = hooks_.pump;
    const bool scaled = entry.fillIn ? scaleBitmap(source_, output_, w, h, abort)
                                     : scaleProportional(source_, output_, w, h, setup_.target == 3, abort);
    if (!scaled) {
        fail("decode video error", formatText("Can not scale frame %d of %s (%d x %d) to %d x %d.", sourceFrame,
                                              entry.path.c_str(), source_.width, source_.height, w, h));
        return entry.fillIn ? kFrameStretchFailed : kFrameScaleFailed;
    }
    return kFrameOk;
}

uint32_t EntryDelivery::sampleSpan(size_t i) const {
    const InputFileEntry& entry = *entries_.at(i);
    const double fps = setup_.pal ? 25.0 : 29.97;
    // As long as the entry's pictures, whether its sound is longer (cut),
    // shorter (completed with silence) or missing (silence at the output
    // rate): the next joined entry's sound then starts with its first
    // picture.
    if (entry.hasAudio && entry.countedSampleRate() > 0) {
        const double rate = entry.countedSampleRate();
        return static_cast<uint32_t>(std::floor(entry.outputFrames * rate / fps + 0.5));
    }
    return static_cast<uint32_t>(std::floor(entry.outputFrames * static_cast<double>(setup_.sampleRate) / fps + 0.5));
}

int EntryDelivery::silence(int32_t* framesConsumed, int32_t* byteCount, const uint8_t** pcm, uint32_t span,
                           uint32_t local) {
    const uint32_t n = std::min(kBlockFrames, span - local);
    outputBlock_.assign(static_cast<size_t>(n) * 2, 0);
    *framesConsumed = static_cast<int32_t>(n);
    *byteCount = static_cast<int32_t>(n * 4);
    *pcm = reinterpret_cast<const uint8_t*>(outputBlock_.data());
    return kSourceOk;
}

int EntryDelivery::getSamples(int firstSample, int32_t* framesConsumed, int32_t* byteCount, const uint8_t** pcm) {
    *framesConsumed = 0;
    *byteCount = 0;
    *pcm = nullptr;
    if (entries_.empty()) return kSourceOk;
    if (firstSample <= 0) {
        sourceBytesTotal_ = 0;
        outputBytesTotal_ = 0;
    }
    size_t index = 0;
    int64_t local = firstSample < 0 ? 0 : firstSample;
    while (index < entries_.size() && local >= static_cast<int64_t>(sampleSpan(index))) {
        local -= sampleSpan(index);
        ++index;
    }
    if (index >= entries_.size()) return kSourceOk;  // past the end: no more sound
    if (index != soundEntry_) {
        // Each joined entry converts its own rate.
        sourceBytesTotal_ = 0;
        outputBytesTotal_ = 0;
    }
    soundEntry_ = index;
    InputFileEntry& entry = *entries_[index];
    const uint32_t span = sampleSpan(index);
    if (!entry.hasAudio || !entry.media) {
        return silence(framesConsumed, byteCount, pcm, span, static_cast<uint32_t>(local));
    }

    // Counted frames of this block, then the source frames behind them.
    const int mult = entry.rateMultiplier();
    const uint32_t counted = std::min<uint32_t>(kBlockFrames, span - static_cast<uint32_t>(local));
    const int sourceFrames = std::max(1, static_cast<int>((counted + mult - 1) / mult));
    const int64_t sourceFirst = local / mult;
    std::string why;
    std::vector<uint8_t> raw;
    int got = entry.media->readSamples(sourceFirst, sourceFrames, raw, &why);
    passMediaMessages();
    if (got < 0) {
        fail("decode audio error", "Can not get audio sample." + (why.empty() ? std::string() : " (" + why + ")"));
        return kSourceSoundFailed;
    }
    // 16-bit stereo at the counted rate; a sound that ends before its
    // reported length is completed with silence.
    sourceBlock_.assign(static_cast<size_t>(counted) * 2, 0);
    const int channels = entry.channels;
    const bool eightBit = entry.bitsPerSample == 8;
    for (int i = 0; i < got; ++i) {
        int16_t left, right;
        if (eightBit) {
            left = static_cast<int16_t>(raw[static_cast<size_t>(i * channels)] * 256 - 32768);
            right = channels == 2 ? static_cast<int16_t>(raw[static_cast<size_t>(i * 2 + 1)] * 256 - 32768) : left;
        } else {
            int16_t v[2] = {0, 0};
            std::memcpy(v, raw.data() + static_cast<size_t>(i) * channels * 2, static_cast<size_t>(channels) * 2);
            left = v[0];
            right = channels == 2 ? v[1] : left;
        }
        for (int k = 0; k < mult; ++k) {
            const size_t at = static_cast<size_t>(i) * mult + k;
            if (at >= counted) break;
            sourceBlock_[at * 2] = left;
            sourceBlock_[at * 2 + 1] = right;
        }
    }

    const int sourceRate = entry.countedSampleRate();
    const int targetRate = setup_.sampleRate;
    *framesConsumed = static_cast<int32_t>(counted);
    if (sourceRate == targetRate || sourceRate <= 0 || targetRate <= 0) {
        std::swap(outputBlock_, sourceBlock_);
        *byteCount = static_cast<int32_t>(counted * 4);
        *pcm = reinterpret_cast<const uint8_t*>(outputBlock_.data());
        return kSourceOk;
    }
    // Nearest-sample conversion with running byte totals, so the rounding of
    // one block is taken back by the next.
    sourceBytesTotal_ += static_cast<double>(counted) * 4;
    double bytes = std::floor(sourceBytesTotal_ * targetRate / sourceRate) - outputBytesTotal_;
    int64_t outBytes = static_cast<int64_t>(bytes);
    if (outBytes < 0) outBytes = 0;
    outBytes = (outBytes / 4 + 1) * 4;  // next multiple of 4, a multiple of 4 raised by 4
    outputBytesTotal_ += static_cast<double>(outBytes);
    const int64_t outFrames = outBytes / 4;
    outputBlock_.resize(static_cast<size_t>(outFrames) * 2);
    for (int64_t i = 0; i < outFrames; ++i) {
        int64_t j = i * sourceRate / targetRate;
        if (j > static_cast<int64_t>(counted) - 1) j = static_cast<int64_t>(counted) - 1;
        outputBlock_[static_cast<size_t>(i) * 2] = sourceBlock_[static_cast<size_t>(j) * 2];
        outputBlock_[static_cast<size_t>(i) * 2 + 1] = sourceBlock_[static_cast<size_t>(j) * 2 + 1];
    }
    *byteCount = static_cast<int32_t>(outBytes);
    *pcm = reinterpret_cast<const uint8_t*>(outputBlock_.data());
    return kSourceOk;
}

}  // namespace quillon
