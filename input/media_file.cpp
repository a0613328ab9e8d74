#include "input/media_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "engine/format.h"
#include "image/image_file.h"
#include "platform/cpu_features.h"

namespace quillon {

namespace {

constexpr int kNineRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// A forward jump of at most this many frames decodes on instead of seeking.
constexpr int64_t kForwardDecodeLimit = 48;

// A double as a 64-bit count: rounded, NaN as 0, and clamped instead of
// overflowing (damaged files carry any time stamp or duration).
int64_t roundToInt64(double v) {
    if (!(v == v)) return 0;
    if (v >= 9.0e18) return INT64_C(9000000000000000000);
    if (v <= -9.0e18) return -INT64_C(9000000000000000000);
    return static_cast<int64_t>(std::llround(v));
}

bool isNineRate(int rate) {
    return std::find(std::begin(kNineRates), std::end(kNineRates), rate) != std::end(kNineRates);
}

std::string avErrorText(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

AVCodecContext* openDecoder(AVStream* stream, bool threads) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return nullptr;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return nullptr;
    if (avcodec_parameters_to_context(ctx, stream->codecpar) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    ctx->pkt_timebase = stream->time_base;
    ctx->thread_count = threads ? 2 : 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

MediaFile::~MediaFile() {
    av_frame_free(&pulled_);
    av_frame_free(&current_);
    av_frame_free(&pending_);
    av_frame_free(&audioFrame_);
    av_packet_free(&packet_);
    av_packet_free(&audioPacket_);
    sws_freeContext(sws_);
    swr_free(&swr_);
    avcodec_free_context(&videoCodec_);
    avcodec_free_context(&audioCodec_);
    avformat_close_input(&videoFormat_);
    avformat_close_input(&audioFormat_);
}

std::unique_ptr<MediaFile> MediaFile::open(const std::string& path, MediaOpenFailure* failure,
                                           std::string* detail) {
    std::unique_ptr<MediaFile> file(new MediaFile());
    file->path_ = path;
    file->packet_ = av_packet_alloc();
    file->audioPacket_ = av_packet_alloc();
    file->pulled_ = av_frame_alloc();
    file->current_ = av_frame_alloc();
    file->pending_ = av_frame_alloc();
    file->audioFrame_ = av_frame_alloc();
    if (!file->openVideo(failure, detail)) return nullptr;
    file->openAudio();
    if (!file->hasVideo() && file->audioStream_ < 0) {
        if (failure) *failure = MediaOpenFailure::NoStreams;
        return nullptr;
    }
    if (failure) *failure = MediaOpenFailure::None;
    return file;
}

bool MediaFile::openVideo(MediaOpenFailure* failure, std::string* detail) {
    int r = avformat_open_input(&videoFormat_, path_.c_str(), nullptr, nullptr);
    if (r < 0) {
        if (failure) *failure = MediaOpenFailure::CannotOpen;
        if (detail) *detail = avErrorText(r);
        return false;
    }
    r = avformat_find_stream_info(videoFormat_, nullptr);
    if (r < 0) {
        if (failure) *failure = MediaOpenFailure::NoStreamInfo;
        if (detail) *detail = avErrorText(r);
        return false;
    }
    seekable_ = videoFormat_->pb == nullptr || (videoFormat_->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0;
    videoStream_ = av_find_best_stream(videoFormat_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoStream_ < 0) {
        videoStream_ = -1;
        return true;
    }
    AVStream* stream = videoFormat_->streams[videoStream_];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) {
        videoStream_ = -1;
        return true;
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec) {
        videoCodecName_ = codec->name;
        videoCodecLongName_ = codec->long_name ? codec->long_name : "";
    }
    // With one thread the decoder's own two threads are all that overlaps
    // decoding with coding. With more, the media input decodes on its
    // read-ahead thread beside the coding, and frame threads would only add
    // their hand-over: 1.65 s against 1.3 s of CPU for a 60 s 720x576 H.264
    // clip.
    videoCodec_ = openDecoder(stream, configuredThreadCount() <= 1);
    if (!videoCodec_) {
        if (failure) *failure = MediaOpenFailure::NoVideoDecoder;
        if (detail) *detail = avcodec_get_name(stream->codecpar->codec_id);
        return false;
    }
    width_ = stream->codecpar->width;
    height_ = stream->codecpar->height;
    if (std::string big = pictureSizeProblem(path_, width_, height_); !big.empty()) {
        if (failure) *failure = MediaOpenFailure::BadTiming;
        if (detail) *detail = big;
        return false;
    }
    // The decoder refuses pictures larger than the header said instead of
    // allocating them.
    videoCodec_->max_pixels = kMaxPicturePixels;
    // The first rate the file gives that lies within reason: a header rate
    // of a million pictures a second (or one a day) is a damaged header.
    const AVRational candidates[3] = {stream->avg_frame_rate, stream->r_frame_rate,
                                      av_guess_frame_rate(videoFormat_, stream, nullptr)};
    frameRate_ = 0;
    double absurd = 0;
    bool anyRate = false;
    for (const AVRational& rate : candidates) {
        if (rate.num <= 0 || rate.den <= 0) continue;
        anyRate = true;
        const double fps = av_q2d(rate);
        if (fps >= kMinInputFrameRate && fps <= kMaxInputFrameRate) {
            frameRate_ = fps;
            break;
        }
        if (absurd == 0) absurd = fps;
    }
    if (!anyRate) frameRate_ = 25.0;
    if (frameRate_ == 0) {
        if (failure) *failure = MediaOpenFailure::BadTiming;
        if (detail)
            *detail = formatText("Can't get time per frame: %s gives %g pictures per second; %g to %g are accepted.",
                                 path_.c_str(), absurd, kMinInputFrameRate, kMaxInputFrameRate);
        return false;
    }
    // Width / height of one source pixel (1 when the file does not say).
    const AVRational sar = av_guess_sample_aspect_ratio(videoFormat_, stream, nullptr);
    if (sar.num > 0 && sar.den > 0) {
        const double v = av_q2d(sar);
        if (v >= 0.1 && v <= 10) pixelAspect_ = v;
    }
    double seconds = 0;
    if (stream->duration > 0 && stream->duration != AV_NOPTS_VALUE) {
        seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    } else if (videoFormat_->duration > 0) {
        seconds = static_cast<double>(videoFormat_->duration) / AV_TIME_BASE;
    }
    if (!(seconds > 0) || seconds > kMaxInputSeconds) seconds = 0;
    durationTicks_ = roundToInt64(seconds * 1e7);
    if (stream->nb_frames > 0) {
        totalFrames_ = stream->nb_frames;
    } else {
        totalFrames_ = roundToInt64(seconds * frameRate_);
    }
    // Every picture takes some bytes of the file. A header that promises
    // more pictures than that is damaged: count the pictures there are.
    const int64_t fileBytes = videoFormat_->pb ? avio_size(videoFormat_->pb) : -1;
    if (totalFrames_ > 0 && fileBytes >= 0 && totalFrames_ > fileBytes / kMinBytesPerPicture) {
        const int64_t declared = totalFrames_;
        totalFrames_ = countVideoPackets();
        timingNote_ = formatText("%s declares %lld pictures but holds %lld; the pictures found are used.",
                                 path_.c_str(), static_cast<long long>(declared), static_cast<long long>(totalFrames_));
        durationTicks_ = 0;
    }
    if (durationTicks_ <= 0 && totalFrames_ > 0) {
        durationTicks_ = roundToInt64(static_cast<double>(totalFrames_) / frameRate_ * 1e7);
    }
    // AVI keeps no presentation times: pictures of a stream with B-frames
    // come out of the decoder stamped with a later packet's time. The first
    // picture is frame 0, so its stamp gives the lag for the whole stream.
    if (pullPicture(nullptr)) indexOffset_ = lastPulledIndex_;
    seekVideo(0);
    return true;
}

void MediaFile::openAudio() {
    if (avformat_open_input(&audioFormat_, path_.c_str(), nullptr, nullptr) < 0) return;
    if (avformat_find_stream_info(audioFormat_, nullptr) < 0) return;
    int index = av_find_best_stream(audioFormat_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return;
    audioStream_ = index;
    AVStream* stream = audioFormat_->streams[index];
    for (unsigned i = 0; i < audioFormat_->nb_streams; ++i) {
        if (static_cast<int>(i) != index) audioFormat_->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    audioCodecName_ = codec ? codec->name : avcodec_get_name(stream->codecpar->codec_id);
    audioCodec_ = openDecoder(stream, false);
    if (!audioCodec_) return;
    const int sourceChannels = audioCodec_->ch_layout.nb_channels;
    const int sourceRate = audioCodec_->sample_rate;
    if (sourceChannels <= 0 || sourceRate <= 0) return;
    decodeRate_ = sourceRate;
    channels_ = sourceChannels >= 2 ? 2 : 1;
    sampleRate_ = isNineRate(sourceRate) ? sourceRate : (sourceRate % 11025 == 0 ? 44100 : 48000);
    bitsPerSample_ = audioCodec_->sample_fmt == AV_SAMPLE_FMT_U8 ? 8 : 16;
    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, channels_);
    AVChannelLayout inLayout;
    if (av_channel_layout_copy(&inLayout, &audioCodec_->ch_layout) < 0 ||
        inLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_default(&inLayout, sourceChannels);
    }
    int r = swr_alloc_set_opts2(&swr_, &outLayout, bitsPerSample_ == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16,
                                sampleRate_, &inLayout, audioCodec_->sample_fmt, sourceRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (r < 0 || swr_init(swr_) < 0) {
        swr_free(&swr_);
        return;
    }
    double seconds = 0;
    if (stream->duration > 0 && stream->duration != AV_NOPTS_VALUE) {
        seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    } else if (audioFormat_->duration > 0) {
        seconds = static_cast<double>(audioFormat_->duration) / AV_TIME_BASE;
    }
    if (!(seconds > 0) || seconds > kMaxInputSeconds) seconds = 0;
    totalSamples_ = roundToInt64(seconds * sampleRate_);
    audioDecodable_ = totalSamples_ > 0;
    fifoPositioned_ = true;  // the first decoded sample is sample 0
}

int64_t MediaFile::countVideoPackets() {
    AVFormatContext* counter = nullptr;
    if (avformat_open_input(&counter, path_.c_str(), nullptr, nullptr) < 0) return 0;
    int64_t count = 0;
    if (avformat_find_stream_info(counter, nullptr) >= 0 && videoStream_ < static_cast<int>(counter->nb_streams)) {
        for (unsigned i = 0; i < counter->nb_streams; ++i)
            if (static_cast<int>(i) != videoStream_) counter->streams[i]->discard = AVDISCARD_ALL;
        AVPacket* p = av_packet_alloc();
        while (p && av_read_frame(counter, p) >= 0) {
            if (p->stream_index == videoStream_) ++count;
            av_packet_unref(p);
        }
        av_packet_free(&p);
    }
    avformat_close_input(&counter);
    return count;
}

// ---- pictures ----

int64_t MediaFile::rawIndexOf(int64_t ts) const {
    const AVStream* stream = videoFormat_->streams[videoStream_];
    int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    double seconds = static_cast<double>(ts - start) * av_q2d(stream->time_base);
    return roundToInt64(seconds * frameRate_);
}

int64_t MediaFile::frameIndexOf(const AVFrame* frame) const {
    int64_t ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame->pts;
    if (ts != AV_NOPTS_VALUE) return rawIndexOf(ts) - indexOffset_;
    // Pictures the decoder gives up at the end carry no stamp: they follow
    // the last one, or, right after a seek, the last packet sent.
    if (lastPulledIndex_ >= 0) return lastPulledIndex_ + 1;
    if (lastSentRaw_ >= 0) return lastSentRaw_ + 1 - indexOffset_;
    return 0;
}

bool MediaFile::pullPicture(std::string* error) {
    for (;;) {
        int r = avcodec_receive_frame(videoCodec_, pulled_);
        if (r == 0) {
            int64_t index = frameIndexOf(pulled_);
            // A decoder that repeats or reorders a time stamp still gives
            // pictures in display order: never step backwards.
            if (index <= lastPulledIndex_) index = lastPulledIndex_ + 1;
            lastPulledIndex_ = index;
            return true;
        }
        if (r == AVERROR_EOF) {
            videoEnded_ = true;
            return false;
        }
        if (r != AVERROR(EAGAIN)) {
            if (error) *error = avErrorText(r);
            return false;
        }
        if (videoFlushing_) {
            videoEnded_ = true;
            return false;
        }
        r = av_read_frame(videoFormat_, packet_);
        if (r < 0) {
            videoFlushing_ = true;
            avcodec_send_packet(videoCodec_, nullptr);
            continue;
        }
        if (packet_->stream_index == videoStream_) {
            const int64_t ts = packet_->dts != AV_NOPTS_VALUE ? packet_->dts : packet_->pts;
            if (ts != AV_NOPTS_VALUE) lastSentRaw_ = std::max(lastSentRaw_, rawIndexOf(ts));
            int s = avcodec_send_packet(videoCodec_, packet_);
            // A damaged packet is skipped; the pictures around it still decode.
            (void)s;
        }
        av_packet_unref(packet_);
    }
}

bool MediaFile::seekVideo(int64_t frame) {
    const AVStream* stream = videoFormat_->streams[videoStream_];
    int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    int64_t ts = start + roundToInt64(std::floor(static_cast<double>(frame) / frameRate_ / av_q2d(stream->time_base)));
    int r = av_seek_frame(videoFormat_, videoStream_, frame <= 0 ? INT64_MIN / 2 : ts, AVSEEK_FLAG_BACKWARD);
    if (r < 0 && frame > 0) r = av_seek_frame(videoFormat_, videoStream_, ts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    if (r < 0) {
        // Some files cannot seek; reading again from the very start always works.
        r = avformat_seek_file(videoFormat_, -1, INT64_MIN, 0, 0, 0);
        if (r < 0) r = av_seek_frame(videoFormat_, -1, 0, AVSEEK_FLAG_BYTE | AVSEEK_FLAG_BACKWARD);
        if (r < 0) return false;
    }
    avcodec_flush_buffers(videoCodec_);
    av_frame_unref(current_);
    av_frame_unref(pending_);
    currentIndex_ = -1;
    cacheIndex_ = -1;
    pendingIndex_ = -1;
    lastPulledIndex_ = -1;
    lastSentRaw_ = -1;
    videoEnded_ = false;
    videoFlushing_ = false;
    return true;
}

bool MediaFile::convertPicture(const AVFrame* frame, Bitmap& out) {
    if (frame->width <= 0 || frame->height <= 0) return false;
    sws_ = pictureScaler(sws_, frame);
    if (!sws_) return false;
    // Every byte of the picture is written below: a picture of the same
    // size (the one before, as a rule) is not cleared first.
    if (out.width != frame->width || out.height != frame->height || out.pixels.size() != static_cast<size_t>(out.rowBytes()) * static_cast<size_t>(out.height))
        out.allocate(frame->width, frame->height);
    scaleFrameToBitmap(sws_, frame, out, scratch_);
    return true;
}

bool MediaFile::readFrame(int64_t frame, Bitmap& out, std::string* error) {
    if (!hasVideo()) {
        if (error) *error = "no video stream";
        return false;
    }
    if (frame < 0) frame = 0;
    if (frame == cacheIndex_) {
        if (convertPicture(current_, out)) return true;
        if (error) *error = "cannot convert the picture of frame " + std::to_string(frame);
        return false;
    }
    // current_ changes below: it holds the last converted picture no more.
    cacheIndex_ = -1;
    bool seeked = false;
    int64_t seekFrom = frame;
    if (currentIndex_ < 0 || frame < currentIndex_ || frame > currentIndex_ + kForwardDecodeLimit) {
        if (!seekVideo(frame)) {
            if (error) *error = "cannot seek to frame " + std::to_string(frame);
            return false;
        }
        seeked = true;
    }
    for (int attempts = 0;;) {
        if (currentIndex_ == frame) break;
        AVFrame* next = nullptr;
        int64_t nextIndex = -1;
        if (pendingIndex_ >= 0) {
            next = pending_;
            nextIndex = pendingIndex_;
        } else {
            std::string why;
            if (!pullPicture(&why)) {
                // The stream ended: a request just past its last picture
                // (a frame count rounded up from the duration) repeats it.
                if (currentIndex_ >= 0 && frame - currentIndex_ <= 2 && videoEnded_) break;
                if (error) {
                    *error = why.empty() ? "frame " + std::to_string(frame) + " is past the end of the stream"
                                         : why;
                }
                return false;
            }
            next = pulled_;
            nextIndex = lastPulledIndex_;
        }
        if (nextIndex <= frame) {
            av_frame_unref(current_);
            av_frame_move_ref(current_, next);
            currentIndex_ = nextIndex;
            pendingIndex_ = -1;
            continue;
        }
        // The next picture lies past the request.
        if (currentIndex_ >= 0) {
            // A dropped frame in the file: the picture shown at that time is
            // the one before it.
            if (next != pending_) {
                av_frame_unref(pending_);
                av_frame_move_ref(pending_, next);
                pendingIndex_ = nextIndex;
            }
            break;
        }
        // The seek landed after the wanted frame: go back further.
        if (++attempts > 6 || seekFrom == 0) {
            if (error) *error = "cannot find frame " + std::to_string(frame);
            return false;
        }
        seekFrom = seekFrom > 64 ? seekFrom - (int64_t{16} << attempts) : 0;
        if (seekFrom < 0) seekFrom = 0;
        if (!seekVideo(seekFrom)) {
            if (error) *error = "cannot seek to frame " + std::to_string(frame);
            return false;
        }
        seeked = true;
    }
    (void)seeked;
    if (!convertPicture(current_, out)) {
        if (error) *error = "cannot convert the picture of frame " + std::to_string(frame);
        return false;
    }
    cacheIndex_ = frame;
    return true;
}

// ---- sound ----

bool MediaFile::seekAudio(int64_t sample) {
    const AVStream* stream = audioFormat_->streams[audioStream_];
    int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    avcodec_flush_buffers(audioCodec_);
    swr_close(swr_);
    swr_init(swr_);
    fifo_.clear();
    fifoRead_ = 0;
    audioEnded_ = false;
    audioFlushing_ = false;
    if (sample <= 0) {
        int r = av_seek_frame(audioFormat_, audioStream_, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD);
        if (r < 0) r = avformat_seek_file(audioFormat_, -1, INT64_MIN, 0, 0, 0);
        if (r < 0) return false;
        fifoStart_ = 0;
        fifoPositioned_ = true;
        return true;
    }
    int64_t ts = start + static_cast<int64_t>(std::floor(
                             static_cast<double>(sample) / sampleRate_ / av_q2d(stream->time_base)));
    if (av_seek_frame(audioFormat_, audioStream_, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
    fifoPositioned_ = false;
    seekTarget_ = sample;
    return true;
}

bool MediaFile::decodeMoreSound(std::string* error, bool* failed) {
    *failed = false;
    const int frameBytes = channels_ * bitsPerSample_ / 8;
    for (;;) {
        int r = avcodec_receive_frame(audioCodec_, audioFrame_);
        if (r == 0) {
            if (!fifoPositioned_) {
                // After a seek the frame's time stamp tells where it starts.
                int64_t ts = audioFrame_->best_effort_timestamp;
                if (ts == AV_NOPTS_VALUE) ts = audioFrame_->pts;
                const AVStream* stream = audioFormat_->streams[audioStream_];
                int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
                fifoStart_ = ts == AV_NOPTS_VALUE
                                 ? seekTarget_
                                 : static_cast<int64_t>(std::llround(static_cast<double>(ts - start) *
                                                                     av_q2d(stream->time_base) * sampleRate_));
                fifoPositioned_ = true;
            }
            int outCount = swr_get_out_samples(swr_, audioFrame_->nb_samples);
            if (outCount < 0) outCount = 0;
            size_t base = fifo_.size();
            fifo_.resize(base + static_cast<size_t>(outCount) * frameBytes);
            uint8_t* dst = fifo_.data() + base;
            int got = swr_convert(swr_, &dst, outCount, const_cast<const uint8_t**>(audioFrame_->extended_data),
                                  audioFrame_->nb_samples);
            av_frame_unref(audioFrame_);
            if (got < 0) got = 0;
            fifo_.resize(base + static_cast<size_t>(got) * frameBytes);
            if (got > 0) return true;
            continue;
        }
        if (r == AVERROR_EOF) {
            // What the resampler still holds.
            int outCount = swr_get_out_samples(swr_, 0);
            if (outCount > 0 && !audioEnded_) {
                size_t base = fifo_.size();
                fifo_.resize(base + static_cast<size_t>(outCount) * frameBytes);
                uint8_t* dst = fifo_.data() + base;
                int got = swr_convert(swr_, &dst, outCount, nullptr, 0);
                if (got < 0) got = 0;
                fifo_.resize(base + static_cast<size_t>(got) * frameBytes);
                audioEnded_ = true;
                if (got > 0) return true;
            }
            audioEnded_ = true;
            return false;
        }
        if (r != AVERROR(EAGAIN)) {
            if (error) *error = avErrorText(r);
            *failed = true;
            return false;
        }
        if (audioFlushing_) {
            audioEnded_ = true;
            return false;
        }
        r = av_read_frame(audioFormat_, audioPacket_);
        if (r < 0) {
            audioFlushing_ = true;
            avcodec_send_packet(audioCodec_, nullptr);
            continue;
        }
        if (audioPacket_->stream_index == audioStream_) avcodec_send_packet(audioCodec_, audioPacket_);
        av_packet_unref(audioPacket_);
    }
}

int MediaFile::readSamples(int64_t first, int count, std::vector<uint8_t>& out, std::string* error) {
    out.clear();
    if (!hasAudio() || count <= 0) return 0;
    const size_t frameBytes = static_cast<size_t>(channels_ * bitsPerSample_ / 8);
    auto available = [&]() { return static_cast<int64_t>((fifo_.size() - fifoRead_) / frameBytes); };
    // Reposition when the request is not where the sound stands.
    if (fifoPositioned_ && (first < fifoStart_ || first > fifoStart_ + available() + sampleRate_)) {
        if (!seekAudio(first)) {
            if (error) *error = "cannot seek to sample " + std::to_string(first);
            return -1;
        }
    }
    for (int guard = 0;; ++guard) {
        if (fifoPositioned_) {
            if (first < fifoStart_) {
                // The seek landed after the wanted sample: read from the start.
                if (guard > 0 && fifoStart_ == 0) break;
                if (!seekAudio(0)) return -1;
                continue;
            }
            int64_t skip = std::min<int64_t>(first - fifoStart_, available());
            fifoRead_ += static_cast<size_t>(skip) * frameBytes;
            fifoStart_ += skip;
            if (fifoStart_ == first && available() >= count) break;
        }
        bool failed = false;
        if (!decodeMoreSound(error, &failed)) {
            if (failed) return -1;
            break;
        }
        // Keep the FIFO from growing without end.
        if (fifoRead_ > (1u << 20)) {
            fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<ptrdiff_t>(fifoRead_));
            fifoRead_ = 0;
        }
    }
    if (!fifoPositioned_ || fifoStart_ != first) return 0;
    int64_t n = std::min<int64_t>(count, available());
    out.assign(fifo_.begin() + static_cast<ptrdiff_t>(fifoRead_),
               fifo_.begin() + static_cast<ptrdiff_t>(fifoRead_ + static_cast<size_t>(n) * frameBytes));
    fifoRead_ += static_cast<size_t>(n) * frameBytes;
    fifoStart_ += n;
    return static_cast<int>(n);
}

}  // namespace quillon
