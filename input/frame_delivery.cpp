#include "input/frame_delivery.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/format.h"
#include "engine/thread_name.h"
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
// Pictures the read-ahead makes before they are asked for: a reference
// picture is asked for with the B pictures before it, three or more at once.
constexpr int kPicturesAhead = 4;

}  // namespace

EntryDelivery::EntryDelivery(std::vector<InputFileEntry*> entries, const DeliverySetup& setup, DeliveryHooks hooks)
    : entries_(std::move(entries)), setup_(setup), hooks_(std::move(hooks)) {
    // Made once: the queue holds pointers to them.
    if (setup_.readAhead) aheadRecords_.resize(kPicturesAhead);
    for (Ahead& a : aheadRecords_) aheadFree_.push_back(&a);
}

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

size_t EntryDelivery::entryOf(int frame, int64_t* local) const {
    size_t index = 0;
    *local = frame < 0 ? 0 : frame;
    while (index + 1 < entries_.size() && *local >= static_cast<int64_t>(entries_[index]->outputFrames)) {
        *local -= entries_[index]->outputFrames;
        ++index;
    }
    return index;
}

int EntryDelivery::conversionBuffers() const { return setup_.readAhead ? kPicturesAhead + 1 : 1; }

bool EntryDelivery::setConversion(Conversion convert, const std::vector<void*>& buffers) {
    // Pictures made ahead were converted (or not) by the conversion before.
    dropAhead();
    if (convert && static_cast<int>(buffers.size()) < conversionBuffers()) return false;
    convert_ = std::move(convert);
    converted_ = convert_ ? buffers[0] : nullptr;
    for (size_t i = 0; i < aheadRecords_.size(); ++i)
        aheadRecords_[i].converted = convert_ ? buffers[i + 1] : nullptr;
    return true;
}

int EntryDelivery::getConvertedFrame(int frame, void** buffer) {
    if (!convert_) return kFrameCopyFailed;
    int32_t rowBytes = 0;
    const uint8_t* pixels = nullptr;
    bool convertedAhead = false;
    const int result = getFrame(frame, &rowBytes, &pixels, &convertedAhead);
    if (result != kFrameOk) return result;
    if (!convertedAhead) convert_(rowBytes, pixels, converted_);
    *buffer = converted_;
    return kFrameOk;
}

int EntryDelivery::getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) {
    bool convertedAhead = false;
    return getFrame(frame, rowBytes, pixels, &convertedAhead);
}

int EntryDelivery::getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels, bool* convertedAhead) {
    if (entries_.empty()) return kFrameDecodeFailed;
    // Walk to the entry that holds output frame n; requests may come in any
    // order (the encoder reads ahead for reference pictures).
    int64_t local = 0;
    const size_t index = entryOf(frame, &local);
    frameEntry_ = index;
    if (hooks_.pump && hooks_.pump()) return kFrameAborted;
    InputFileEntry& entry = *entries_[index];
    const int sourceFrame = sourceFrameFor(entry, static_cast<int>(local));
    int result;
    Ahead* made = nullptr;
    if (aheadThread_.joinable()) {
        std::unique_lock<std::mutex> lock(aheadMutex_);
        if (!aheadQueue_.empty() && aheadQueue_.front()->entry == index &&
            aheadQueue_.front()->sourceFrame == sourceFrame) {
            made = aheadQueue_.front();
            aheadWake_.wait(lock, [&] { return made->ready; });
            aheadQueue_.pop_front();
        }
    }
    if (made) {
        if (made->result.result == kFrameOk) {
            std::swap(output_, made->output);
            std::swap(converted_, made->converted);
            *convertedAhead = convert_ != nullptr;
        }
        result = report(entry, sourceFrame, made->result);
        std::lock_guard<std::mutex> lock(aheadMutex_);
        aheadFree_.push_back(made);
    } else {
        // A guess that missed: the pictures asked for after it go.
        dropAhead();
        result = deliverPicture(entry, sourceFrame);
    }
    passMediaMessages();
    if (result != kFrameOk) return result;
    *rowBytes = output_.rowBytes();
    *pixels = output_.pixels.data();
    // The encoder asks for the pictures in order, a reference picture's
    // with the pictures before it at once: the next few are made while
    // this one is coded.
    if (setup_.readAhead && frame >= 0) topUpAhead(frame);
    return kFrameOk;
}

EntryDelivery::Prepared EntryDelivery::prepare(InputFileEntry& entry, int sourceFrame, Bitmap& source,
                                               Bitmap& output, ListPictureCache* cache,
                                               const AbortCheck& abort) {
    Prepared p;
    p.result = loadSourcePicture(entry, sourceFrame, source, &p.why, cache);
    if (p.result != kFrameOk) {
        p.loadFailed = true;
        return p;
    }
    const int w = setup_.width, h = setup_.height;
    p.sourceWidth = source.width;
    p.sourceHeight = source.height;
    if (source.width == w && source.height == h) {
        std::swap(output, source);
        return p;
    }
    const bool scaled = entry.fillIn ? scaleBitmap(source, output, w, h, abort)
                                     : scaleProportional(source, output, w, h, setup_.target == 3, abort);
    if (!scaled) p.result = entry.fillIn ? kFrameStretchFailed : kFrameScaleFailed;
    return p;
}

int EntryDelivery::report(const InputFileEntry& entry, int sourceFrame, const Prepared& p) {
    if (p.result == kFrameOk) return kFrameOk;
    if (p.loadFailed) {
        if (entry.isVideoFile) {
            fail("decode video error",
                 formatText("Can not get video frame %d of %s, compressor = %s.", sourceFrame, entry.path.c_str(),
                            entry.fourCC.empty() ? entry.videoCodecName.c_str() : entry.fourCC.c_str()) +
                     (p.why.empty() ? "" : " (" + p.why + ")"));
        } else {
            fail("decode video error", p.why);
        }
    } else {
        fail("decode video error", formatText("Can not scale frame %d of %s (%d x %d) to %d x %d.", sourceFrame,
                                              entry.path.c_str(), p.sourceWidth, p.sourceHeight, setup_.width,
                                              setup_.height));
    }
    return p.result;
}

int EntryDelivery::deliverPicture(InputFileEntry& entry, int sourceFrame) {
    AbortCheck abort;
    if (hooks_.pump) abort = hooks_.pump;
    return report(entry, sourceFrame, prepare(entry, sourceFrame, source_, output_, &listCache_, abort));
}

EntryDelivery::~EntryDelivery() {
    if (aheadThread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(aheadMutex_);
            aheadQuit_ = true;
        }
        aheadWake_.notify_all();
        aheadThread_.join();
    }
}

void EntryDelivery::dropAhead() {
    if (!aheadThread_.joinable()) return;
    std::unique_lock<std::mutex> lock(aheadMutex_);
    aheadWake_.wait(lock, [this] { return aheadWorking_ == nullptr; });
    for (Ahead* a : aheadQueue_) aheadFree_.push_back(a);
    aheadQueue_.clear();
}

void EntryDelivery::topUpAhead(int frame) {
    int64_t total = 0;
    for (const InputFileEntry* e : entries_) total += e->outputFrames;
    if (!aheadThread_.joinable())
        aheadThread_ = std::thread([this] {
            nameThisThread("q-ahead");
            aheadLoop();
        });
    bool asked = false;
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        int next = aheadQueue_.empty() ? frame + 1 : aheadQueue_.back()->outputFrame + 1;
        while (!aheadFree_.empty() && next < total) {
            Ahead* a = aheadFree_.back();
            aheadFree_.pop_back();
            int64_t local = 0;
            a->outputFrame = next;
            a->entry = entryOf(next, &local);
            a->sourceFrame = sourceFrameFor(*entries_[a->entry], static_cast<int>(local));
            a->ready = false;
            aheadQueue_.push_back(a);
            asked = true;
            ++next;
        }
    }
    if (asked) aheadWake_.notify_all();
}

void EntryDelivery::aheadLoop() {
    std::unique_lock<std::mutex> lock(aheadMutex_);
    auto nextAsked = [this]() -> Ahead* {
        for (Ahead* a : aheadQueue_)
            if (!a->ready) return a;
        return nullptr;
    };
    for (;;) {
        aheadWake_.wait(lock, [&] { return aheadQuit_ || nextAsked() != nullptr; });
        if (aheadQuit_) return;
        Ahead* a = nextAsked();
        aheadWorking_ = a;
        lock.unlock();
        // A scaling in progress ends when the delivery goes away.
        AbortCheck abort = [this] { return aheadQuit_.load(); };
        Prepared p = prepare(*entries_[a->entry], a->sourceFrame, a->source, a->output, &aheadCache_, abort);
        // The conversion and the buffers change only while this thread is idle.
        if (p.result == kFrameOk && convert_) convert_(a->output.rowBytes(), a->output.pixels.data(), a->converted);
        lock.lock();
        a->result = std::move(p);
        a->ready = true;
        aheadWorking_ = nullptr;
        aheadWake_.notify_all();
    }
}

bool EntryDelivery::beginConcurrentSound() {
    soundFailed_ = false;
    soundThreaded_ = true;
    return true;
}

void EntryDelivery::endConcurrentSound(bool report) {
    soundThreaded_ = false;
    if (soundFailed_ && report) fail(soundFailure_[0], soundFailure_[1]);
    soundFailed_ = false;
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
    const bool threaded = soundThreaded_.load();
    // The sound may come from the file the read-ahead decodes. A media file
    // has a demuxer and decoder for each side, so the wait only keeps the
    // order of the media libraries' messages when nothing runs alongside.
    if (!threaded) dropAhead();
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
    // The media libraries' messages go out with the pictures' meanwhile.
    if (!threaded) passMediaMessages();
    if (got < 0) {
        const std::string text = "Can not get audio sample." + (why.empty() ? std::string() : " (" + why + ")");
        if (threaded) {
            soundFailed_ = true;
            soundFailure_[0] = "decode audio error";
            soundFailure_[1] = text;
        } else {
            fail("decode audio error", text);
        }
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
