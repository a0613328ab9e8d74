// The engine's two pull callbacks over the input table: output frame n as a
// picture of the output size, and the next block of 16-bit stereo sound at
// the output rate. In joiner mode both walk across the entries.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/request.h"
#include "image/bitmap.h"
#include "input/input_file_entry.h"
#include "input/input_table.h"

namespace quillon {

// Frame callback results.
enum FrameResult : int {
    kFrameOk = 0,
    kFrameAborted = 1,
    kFrameDecodeFailed = 2,
    kFrameLockFailed = 4,
    kFrameUnlockFailed = 5,
    kFrameCopyFailed = 6,
    kFrameListRewindFailed = 7,
    kFrameListLineMissing = 8,
    kFramePictureLoadFailed = 9,
    kFrameDepthFailed = 10,
    kFrameColourFixFailed = 11,
    kFrameCropFailed = 12,
    kFrameStretchFailed = 13,
    kFrameScaleFailed = 15,
};

// What the callbacks need of their surroundings. pump processes pending
// events and returns true when the user has stopped the conversion;
// reportError tells the user why a frame or sound block failed; abortJob
// (after the message) makes the conversion end unfinished. The encoders
// take a failed picture after the first as the end of the input and a
// failed sound block as the end of the sound, which would let a broken file
// pass as a complete conversion; with an engine set
// `engine.job.stopRequested = true` here.
struct DeliveryHooks {
    std::function<bool()> pump;
    std::function<void(const std::string& caption, const std::string& text)> reportError;
    std::function<void()> abortJob;
    // Where the media libraries' own messages go (the log's quiet level);
    // dropped when unset.
    std::function<void(const std::string& line)> logDetail;
};

struct DeliverySetup {
    int width = 352;
    int height = 240;
    int pal = 0;            // 1 PAL (T = 0.04), 0 NTSC (T = 1/29.97)
    int target = 1;         // 3 (SVCD) keeps the 4:3 shape on a 480-wide canvas
    int sampleRate = 44100; // output rate
    // Decode and scale the next picture on a thread of its own while the
    // encoder works on the last one.
    bool readAhead = false;
};

class EntryDelivery : public FrameSource, public SampleSource {
public:
    // entries: the entries this output covers, in order (one for batch).
    // Their outputFrames (pictures each gives) must be set (see conversion_start).
    EntryDelivery(std::vector<InputFileEntry*> entries, const DeliverySetup& setup, DeliveryHooks hooks);
    ~EntryDelivery() override;
    EntryDelivery(const EntryDelivery&) = delete;
    EntryDelivery& operator=(const EntryDelivery&) = delete;

    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override;
    int conversionBuffers() const override;
    bool setConversion(Conversion convert, const std::vector<void*>& buffers) override;
    int getConvertedFrame(int frame, void** buffer) override;
    int getSamples(int firstSample, int32_t* framesConsumed, int32_t* byteCount,
                   const uint8_t** pcm) override;
    bool beginConcurrentSound() override;
    void endConcurrentSound(bool report) override;

    // Sample span of entry i in the joined sound, in its counted samples (at
    // the output rate for an entry without sound): the length of its
    // outputFrames pictures, so joined entries stay in step with them.
    uint32_t sampleSpan(size_t i) const;
    // Index (into the entries given) of the entry being converted.
    size_t currentEntry() const { return frameEntry_; }
    // The source frame local output frame n maps to.
    int sourceFrameFor(const InputFileEntry& entry, int localFrame) const;

private:
    // A picture made ready: the source picture scaled to the output size,
    // or why it could not be (what deliverPicture reports).
    struct Prepared {
        int result = 0;
        bool loadFailed = false;  // else a scaling failure when result != 0
        std::string why;
        int sourceWidth = 0, sourceHeight = 0;
    };
    // Output frame n's entry and local frame number.
    size_t entryOf(int frame, int64_t* local) const;
    // Load and scale (no messages, any thread); abort ends a scaling early.
    Prepared prepare(InputFileEntry& entry, int sourceFrame, Bitmap& source, Bitmap& output,
                     ListPictureCache* cache, const AbortCheck& abort);
    int report(const InputFileEntry& entry, int sourceFrame, const Prepared& p);
    int deliverPicture(InputFileEntry& entry, int sourceFrame);
    // getFrame, telling whether the picture came converted from the read-ahead.
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels, bool* convertedAhead);
    // The read-ahead thread: topUpAhead asks it for the pictures after
    // output frame n, dropAhead takes back what it has not delivered and
    // waits until it is idle (before anything else reads the entries' files).
    void topUpAhead(int frame);
    void dropAhead();
    void aheadLoop();
    int silence(int32_t* framesConsumed, int32_t* byteCount, const uint8_t** pcm, uint32_t span,
                uint32_t local);
    void fail(const std::string& caption, const std::string& text);
    void passMediaMessages();

    std::vector<InputFileEntry*> entries_;
    DeliverySetup setup_;
    DeliveryHooks hooks_;
    size_t frameEntry_ = 0;
    size_t soundEntry_ = 0;
    Bitmap source_;
    Bitmap output_;
    ListPictureCache listCache_;
    // Sound conversion state.
    std::vector<int16_t> sourceBlock_;  // stereo 16-bit at the counted rate
    std::vector<int16_t> outputBlock_;
    double sourceBytesTotal_ = 0;       // running totals, restarted at sample 0
    double outputBytesTotal_ = 0;
    // While the sound is read on a thread of its own: the failure held for
    // endConcurrentSound (caption, text), if any.
    std::atomic<bool> soundThreaded_{false};
    bool soundFailed_ = false;
    std::string soundFailure_[2];
    // A picture asked of the read-ahead thread. Its bitmaps and buffer are
    // the thread's from the request until it is ready.
    struct Ahead {
        int outputFrame = -1;
        size_t entry = 0;
        int sourceFrame = -1;
        bool ready = false;
        Prepared result;
        Bitmap source, output;
        void* converted = nullptr;  // output converted, with a conversion set
    };
    // Read-ahead state, guarded by aheadMutex_: the requests in order (the
    // thread prepares them front to back) and the unused records.
    std::thread aheadThread_;
    std::mutex aheadMutex_;
    std::condition_variable aheadWake_;
    std::vector<Ahead> aheadRecords_;
    std::deque<Ahead*> aheadQueue_;
    std::vector<Ahead*> aheadFree_;
    Ahead* aheadWorking_ = nullptr;
    std::atomic<bool> aheadQuit_{false};
    ListPictureCache aheadCache_;
    // The caller's conversion; converted_ holds output_ converted.
    Conversion convert_;
    void* converted_ = nullptr;
};

}  // namespace quillon
