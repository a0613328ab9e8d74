// What the application hands the engine for one output, and the two pull
// callbacks through which the engine asks for pictures and sound.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quillon {

// Result codes shared by both callbacks.
constexpr int kSourceOk = 0;
constexpr int kSourceAborted = 1;
constexpr int kSourceSoundFailed = 17;

// Pictures of exactly the output size, 4 bytes per pixel in blue, green,
// red, unused order, rows bottom-up. The picture stays valid until the next
// call on the same source.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Returns 0 on success, 1 when the user aborted, another code on failure.
    virtual int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) = 0;

    // What the caller makes of every picture (the encoder's own planes),
    // into buffers of the caller's, as many as conversionBuffers says (0:
    // the source takes no conversion; then the caller converts what
    // getFrame gives). A source that makes the next pictures ahead on a
    // thread of its own converts them there too, so the caller's thread
    // finds them converted. An empty conversion takes it back (after any
    // conversion in progress).
    using Conversion = std::function<void(int32_t rowBytes, const uint8_t* pixels, void* buffer)>;
    virtual int conversionBuffers() const { return 0; }
    virtual bool setConversion(Conversion convert, const std::vector<void*>& buffers) {
        (void)convert, (void)buffers;
        return false;
    }
    // Frame n as the conversion made it, in *buffer: the buffer is the
    // caller's until the next call, the others the source's. Results as
    // getFrame's.
    virtual int getConvertedFrame(int frame, void** buffer) {
        (void)frame, (void)buffer;
        return -1;
    }
};

// 16-bit interleaved stereo PCM at the output rate, valid until the next call.
class SampleSource {
public:
    virtual ~SampleSource() = default;
    // firstSample: the first sample frame wanted. Returns 0 on success,
    // 17 when the platform failed to deliver sound.
    virtual int getSamples(int firstSample, int32_t* framesConsumed, int32_t* byteCount,
                           const uint8_t** pcm) = 0;
    // Sound read on a thread of its own while the pictures are fetched on
    // the engine's: false when this source cannot be read so. Until the end
    // call, getSamples reaches nothing of the engine's thread (messages, the
    // job's stop); a failure is held, and the end call reports it there,
    // when `report` is set, as getSamples would have.
    virtual bool beginConcurrentSound() { return false; }
    virtual void endConcurrentSound(bool report) { (void)report; }
};

// Fifteen slots, in the order the application fills them.
struct ConversionRequest {
    int32_t videoPresent = 0;  // slot 0
    int32_t width = 0;         // 1
    int32_t height = 0;        // 2
    int32_t firstFrame = 0;    // 3, always 0
    int32_t lastFrame = 0;     // 4, inclusive
    int32_t firstSample = 0;   // 5, always 0
    int32_t lastSample = 0;    // 6, inclusive
    int32_t audioPresent = 0;  // 7
    int32_t sampleRate = 0;    // 8
    int32_t stereo = 1;        // 9, always 1
    int32_t bitsPerSample = 16;  // 10, always 16
    const char* outputName = nullptr;      // 11
    FrameSource* frameSource = nullptr;    // 12
    SampleSource* sampleSource = nullptr;  // 13
    int32_t maxFileSize = 0;   // 14, megabytes, 0 = no split
};

}  // namespace quillon
