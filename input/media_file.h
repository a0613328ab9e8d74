// A video file opened through libavformat/libavcodec: its description,
// frame-accurate picture fetching for any order of requests, and its sound
// as 8- or 16-bit PCM from any sample position.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/bitmap.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct SwrContext;

namespace quillon {

// Why an open failed, so the caller can pick the message.
// BadTiming: the file's timing or picture size is beyond reason (the
// detail says what).
enum class MediaOpenFailure { None, CannotOpen, NoStreamInfo, NoStreams, NoVideoDecoder, BadTiming };

// Picture rates taken from a file: outside these the header is damaged.
inline constexpr double kMinInputFrameRate = 0.01;
inline constexpr double kMaxInputFrameRate = 1000.0;
// A duration beyond a year is a damaged header.
inline constexpr double kMaxInputSeconds = 366.0 * 24 * 3600;
// Fewer bytes than this per picture on average: the header's picture count
// is not believed and the pictures are counted.
inline constexpr int64_t kMinBytesPerPicture = 2;

class MediaFile {
public:
    ~MediaFile();
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;

    static std::unique_ptr<MediaFile> open(const std::string& path, MediaOpenFailure* failure,
                                           std::string* detail);

    const std::string& path() const { return path_; }
    bool hasVideo() const { return videoStream_ >= 0; }
    bool hasAudio() const { return audioStream_ >= 0 && audioDecodable_; }
    // An audio stream exists but nothing here decodes it.
    bool audioUndecodable() const { return audioStream_ >= 0 && !audioDecodable_; }
    int width() const { return width_; }
    int height() const { return height_; }
    double frameRate() const { return frameRate_; }
    // Width / height of one source pixel; 1 for square pixels.
    double pixelAspect() const { return pixelAspect_; }
    int64_t durationTicks() const { return durationTicks_; }
    int64_t totalFrames() const { return totalFrames_; }
    bool seekable() const { return seekable_; }
    int channels() const { return channels_; }
    int sampleRate() const { return sampleRate_; }
    int bitsPerSample() const { return bitsPerSample_; }
    int64_t totalSamples() const { return totalSamples_; }  // source sample frames
    const std::string& videoCodecName() const { return videoCodecName_; }
    const std::string& videoCodecLongName() const { return videoCodecLongName_; }
    const std::string& audioCodecName() const { return audioCodecName_; }
    // Set when the file's header was mended at open (a picture count the
    // file cannot hold): what was found, for the log.
    const std::string& timingNote() const { return timingNote_; }

    // Decodes source frame f (0-based) into a 32-bit bottom-up picture.
    // Frames past the end of the stream give false.
    bool readFrame(int64_t frame, Bitmap& out, std::string* error);

    // Reads up to count sample frames starting at source sample frame
    // first, interleaved, channels() channels, bitsPerSample() bits (8-bit
    // unsigned or 16-bit signed). Returns the frames read, 0 at the end of
    // the sound, -1 on a decode failure.
    int readSamples(int64_t first, int count, std::vector<uint8_t>& out, std::string* error);

private:
    MediaFile() = default;
    bool openVideo(MediaOpenFailure* failure, std::string* detail);
    void openAudio();
    // Video packets in the whole file, read without decoding.
    int64_t countVideoPackets();
    int64_t frameIndexOf(const AVFrame* frame) const;
    int64_t rawIndexOf(int64_t timestamp) const;
    bool seekVideo(int64_t frame);
    // Next decoded picture in display order into pulled_; false at the end.
    bool pullPicture(std::string* error);
    bool convertPicture(const AVFrame* frame, Bitmap& out);
    bool seekAudio(int64_t sample);
    // Decodes more sound into the FIFO; false at the end or on failure.
    bool decodeMoreSound(std::string* error, bool* failed);

    std::string path_;
    AVFormatContext* videoFormat_ = nullptr;
    AVFormatContext* audioFormat_ = nullptr;
    AVCodecContext* videoCodec_ = nullptr;
    AVCodecContext* audioCodec_ = nullptr;
    AVPacket* packet_ = nullptr;  // the pictures'
    // The sound's own, so that sound and pictures can be read on two threads
    // (each side has its own demuxer and decoder as well).
    AVPacket* audioPacket_ = nullptr;
    AVFrame* pulled_ = nullptr;   // the picture pullPicture produced
    AVFrame* current_ = nullptr;  // last picture at or before the last request
    AVFrame* pending_ = nullptr;  // decoded, past the last request
    AVFrame* audioFrame_ = nullptr;
    // Padded rows the scaler writes into (see scaleFrameToBitmap).
    std::vector<uint8_t> scratch_;
    SwsContext* sws_ = nullptr;
    SwrContext* swr_ = nullptr;
    int videoStream_ = -1;
    int audioStream_ = -1;
    bool audioDecodable_ = false;
    int width_ = 0, height_ = 0;
    double frameRate_ = 0;
    double pixelAspect_ = 1.0;
    int64_t durationTicks_ = 0;
    int64_t totalFrames_ = 0;
    bool seekable_ = true;
    int channels_ = 0, sampleRate_ = 0, bitsPerSample_ = 0;
    int decodeRate_ = 0;  // the decoder's own rate (resampled when it is not one of the nine)
    int64_t totalSamples_ = 0;
    std::string videoCodecName_, videoCodecLongName_, audioCodecName_;
    std::string timingNote_;

    // Picture state.
    int64_t indexOffset_ = 0;
    int64_t currentIndex_ = -1;
    int64_t pendingIndex_ = -1;
    int64_t lastPulledIndex_ = -1;
    int64_t lastSentRaw_ = -1;
    bool videoEnded_ = false;
    bool videoFlushing_ = false;
    // The frame whose picture current_ still holds as last converted, for a
    // request of the same frame again (-1: none). Converting it again costs
    // less than a copy kept of every picture.
    int64_t cacheIndex_ = -1;

    // Sound state: FIFO of converted sample frames starting at fifoStart_.
    std::vector<uint8_t> fifo_;
    size_t fifoRead_ = 0;      // bytes already taken from the front
    int64_t fifoStart_ = 0;    // sample index of fifo_[fifoRead_]
    bool fifoPositioned_ = false;  // fifoStart_ known
    int64_t seekTarget_ = 0;
    bool audioEnded_ = false;
    bool audioFlushing_ = false;
};

}  // namespace quillon
