#include "tests/support/av_reader.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace quillon::testing {
namespace {

std::atomic<int> g_loggedErrors{0};

void countingLogCallback(void* avcl, int level, const char* fmt, va_list args) {
    if (level <= AV_LOG_ERROR) {
        g_loggedErrors.fetch_add(1);
        va_list copy;
        va_copy(copy, args);
        char line[512];
        std::vsnprintf(line, sizeof line, fmt, copy);
        va_end(copy);
        std::fprintf(stderr, "[libav error] %s", line);
    }
    (void)avcl;
}

void installLogCounter() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(countingLogCallback);
    });
}

struct FormatCloser {
    AVFormatContext* ctx = nullptr;
    ~FormatCloser() {
        if (ctx) avformat_close_input(&ctx);
    }
};
struct CodecCloser {
    AVCodecContext* ctx = nullptr;
    ~CodecCloser() {
        if (ctx) avcodec_free_context(&ctx);
    }
};

void copyPlane(std::vector<uint8_t>& out, const uint8_t* src, int stride, int w, int h) {
    out.resize(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r)
        std::copy(src + static_cast<ptrdiff_t>(r) * stride, src + static_cast<ptrdiff_t>(r) * stride + w,
                  out.begin() + static_cast<ptrdiff_t>(r) * w);
}

bool openStream(const std::string& path, AVMediaType type, FormatCloser& fmt, CodecCloser& dec, int& index,
                bool crcCheck) {
    if (avformat_open_input(&fmt.ctx, path.c_str(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(fmt.ctx, nullptr) < 0) return false;
    index = av_find_best_stream(fmt.ctx, type, -1, -1, nullptr, 0);
    if (index < 0) return false;
    AVStream* st = fmt.ctx->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return false;
    dec.ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec.ctx, st->codecpar);
    dec.ctx->thread_count = 1;
    if (crcCheck) dec.ctx->err_recognition |= AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER;
    if (avcodec_open2(dec.ctx, codec, nullptr) < 0) return false;
    return true;
}

template <typename OnFrame>
int decodeAll(AVFormatContext* fmt, AVCodecContext* dec, int index, OnFrame onFrame) {
    int errors = 0;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&]() {
        for (;;) {
            int r = avcodec_receive_frame(dec, frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) {
                ++errors;
                break;
            }
            if (frame->decode_error_flags) ++errors;
            onFrame(frame);
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index) {
            if (avcodec_send_packet(dec, pkt) < 0) ++errors;
            drain();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return errors;
}

}  // namespace

int takeLoggedErrors() {
    installLogCounter();
    return g_loggedErrors.exchange(0);
}

DecodedVideo decodeVideo(const std::string& path) {
    installLogCounter();
    takeLoggedErrors();
    DecodedVideo out;
    FormatCloser fmt;
    CodecCloser dec;
    int index = -1;
    if (!openStream(path, AVMEDIA_TYPE_VIDEO, fmt, dec, index, false)) {
        out.errors = 1 + takeLoggedErrors();
        return out;
    }
    out.opened = true;
    out.codecName = dec.ctx->codec->name;
    AVStream* st = fmt.ctx->streams[index];
    out.frameRate = av_q2d(st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate);
    out.bitRate = st->codecpar->bit_rate;
    int errors = decodeAll(fmt.ctx, dec.ctx, index, [&](AVFrame* f) {
        DecodedPicture p;
        p.width = f->width;
        p.height = f->height;
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
        p.chromaWidth = AV_CEIL_RSHIFT(f->width, d->log2_chroma_w);
        p.chromaHeight = AV_CEIL_RSHIFT(f->height, d->log2_chroma_h);
        copyPlane(p.y, f->data[0], f->linesize[0], p.width, p.height);
        copyPlane(p.cb, f->data[1], f->linesize[1], p.chromaWidth, p.chromaHeight);
        copyPlane(p.cr, f->data[2], f->linesize[2], p.chromaWidth, p.chromaHeight);
        p.pts = f->best_effort_timestamp;
        p.pictType = f->pict_type;
        p.interlaced = f->interlaced_frame;
        p.topFieldFirst = f->top_field_first;
        p.repeatPict = f->repeat_pict;
        out.width = f->width;
        out.height = f->height;
        out.pixFmt = f->format;
        out.pictures.push_back(std::move(p));
    });
    out.errors = errors + takeLoggedErrors();
    return out;
}

DecodedAudio decodeAudio(const std::string& path, bool crcCheck) {
    installLogCounter();
    takeLoggedErrors();
    DecodedAudio out;
    FormatCloser fmt;
    CodecCloser dec;
    int index = -1;
    if (!openStream(path, AVMEDIA_TYPE_AUDIO, fmt, dec, index, crcCheck)) {
        out.errors = 1 + takeLoggedErrors();
        return out;
    }
    out.opened = true;
    out.codecName = dec.ctx->codec->name;
    out.bitRate = fmt.ctx->streams[index]->codecpar->bit_rate;
    int errors = decodeAll(fmt.ctx, dec.ctx, index, [&](AVFrame* f) {
        out.sampleRate = f->sample_rate;
        int ch = f->ch_layout.nb_channels;
        out.channels = ch;
        ++out.frames;
        AVSampleFormat sf = static_cast<AVSampleFormat>(f->format);
        bool planar = av_sample_fmt_is_planar(sf);
        for (int i = 0; i < f->nb_samples; ++i) {
            for (int c = 0; c < ch; ++c) {
                double v = 0;
                const uint8_t* base = planar ? f->extended_data[c] : f->extended_data[0];
                int idx = planar ? i : i * ch + c;
                switch (sf) {
                    case AV_SAMPLE_FMT_S16:
                    case AV_SAMPLE_FMT_S16P: v = reinterpret_cast<const int16_t*>(base)[idx]; break;
                    case AV_SAMPLE_FMT_S32:
                    case AV_SAMPLE_FMT_S32P: v = reinterpret_cast<const int32_t*>(base)[idx] / 65536.0; break;
                    case AV_SAMPLE_FMT_FLT:
                    case AV_SAMPLE_FMT_FLTP: v = reinterpret_cast<const float*>(base)[idx] * 32768.0; break;
                    case AV_SAMPLE_FMT_DBL:
                    case AV_SAMPLE_FMT_DBLP: v = reinterpret_cast<const double*>(base)[idx] * 32768.0; break;
                    default: break;
                }
                long s = std::lround(v);
                if (s > 32767) s = 32767;
                if (s < -32768) s = -32768;
                out.samples.push_back(static_cast<int16_t>(s));
            }
        }
    });
    out.errors = errors + takeLoggedErrors();
    return out;
}

DemuxedFile demux(const std::string& path) {
    installLogCounter();
    takeLoggedErrors();
    DemuxedFile out;
    FormatCloser fmt;
    if (avformat_open_input(&fmt.ctx, path.c_str(), nullptr, nullptr) < 0) {
        out.errors = 1 + takeLoggedErrors();
        return out;
    }
    avformat_find_stream_info(fmt.ctx, nullptr);
    out.opened = true;
    out.formatName = fmt.ctx->iformat->name;
    for (unsigned i = 0; i < fmt.ctx->nb_streams; ++i) {
        out.streamIds.push_back(fmt.ctx->streams[i]->id);
        out.codecIds.push_back(fmt.ctx->streams[i]->codecpar->codec_id);
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt.ctx, pkt) >= 0) {
        DemuxedPacket p;
        p.streamIndex = pkt->stream_index;
        // streams found after find_stream_info are appended as they appear
        while (out.streamIds.size() < fmt.ctx->nb_streams) {
            AVStream* st = fmt.ctx->streams[out.streamIds.size()];
            out.streamIds.push_back(st->id);
            out.codecIds.push_back(st->codecpar->codec_id);
        }
        p.streamId = out.streamIds[static_cast<size_t>(pkt->stream_index)];
        p.codecId = out.codecIds[static_cast<size_t>(pkt->stream_index)];
        p.pts = pkt->pts == AV_NOPTS_VALUE ? INT64_MIN : pkt->pts;
        p.dts = pkt->dts == AV_NOPTS_VALUE ? INT64_MIN : pkt->dts;
        p.pos = pkt->pos;
        p.data.assign(pkt->data, pkt->data + pkt->size);
        out.packets.push_back(std::move(p));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    out.errors = takeLoggedErrors();
    return out;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t count) {
    if (count == 0) return 0;
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return 99.0;
    double mse = sum / static_cast<double>(count);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    return psnr(a.data(), b.data(), std::min(a.size(), b.size()));
}

}  // namespace quillon::testing
