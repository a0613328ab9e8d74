#include "image/image_file.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

extern "C" {
#include <jpeglib.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/regular_file.h"

namespace quillon {

namespace {

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr info) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

std::string formatNoMemory(const std::string& path, int w, int h) {
    return "not enough memory for the " + std::to_string(w) + " x " + std::to_string(h) + " picture of " + path;
}

bool hasJpegSignature(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char head[3] = {};
    size_t n = std::fread(head, 1, 3, f);
    std::fclose(f);
    return n == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

struct DictionaryCloser {
    AVDictionary** options;
    unsigned count;
    ~DictionaryCloser() {
        for (unsigned i = 0; i < count; ++i) av_dict_free(&options[i]);
        av_free(options);
    }
};

bool loadWithLibav(const std::string& path, Bitmap& out, std::string* error) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        setError(error, "cannot open " + path);
        return false;
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(raw);
    // Finding the stream information may decode a picture: the decoders it
    // starts refuse pictures over the limit instead of allocating them.
    const unsigned streams = format->nb_streams;
    auto* options = static_cast<AVDictionary**>(av_calloc(streams ? streams : 1, sizeof(AVDictionary*)));
    DictionaryCloser closeOptions{options, options ? streams : 0};
    if (options)
        for (unsigned i = 0; i < streams; ++i)
            av_dict_set_int(&options[i], "max_pixels", kMaxPicturePixels, 0);
    if (avformat_find_stream_info(format.get(), options) < 0) {
        setError(error, "cannot read " + path);
        return false;
    }
    int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
        setError(error, path + " holds no picture");
        return false;
    }
    const AVCodecParameters* par = format->streams[stream]->codecpar;
    if (std::string big = pictureSizeProblem(path, par->width, par->height); !big.empty()) {
        setError(error, big);
        return false;
    }
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        setError(error, "no decoder for " + path);
        return false;
    }
    std::unique_ptr<AVCodecContext, CodecCloser> ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), par) < 0) {
        setError(error, "cannot start the decoder for " + path);
        return false;
    }
    ctx->max_pixels = kMaxPicturePixels;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        setError(error, "cannot start the decoder for " + path);
        return false;
    }
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    bool got = false;
    bool flushing = false;
    while (!got) {
        if (!flushing) {
            int r = av_read_frame(format.get(), packet.get());
            if (r < 0) {
                flushing = true;
                avcodec_send_packet(ctx.get(), nullptr);
            } else {
                if (packet->stream_index == stream) avcodec_send_packet(ctx.get(), packet.get());
                av_packet_unref(packet.get());
            }
        }
        int r = avcodec_receive_frame(ctx.get(), frame.get());
        if (r == 0) {
            got = true;
        } else if (r == AVERROR_EOF || (flushing && r == AVERROR(EAGAIN))) {
            break;
        }
    }
    if (!got || frame->width <= 0 || frame->height <= 0) {
        setError(error, "cannot decode " + path);
        return false;
    }
    if (std::string big = pictureSizeProblem(path, frame->width, frame->height); !big.empty()) {
        setError(error, big);
        return false;
    }
    out.allocate(frame->width, frame->height);
    SwsContext* sws = pictureScaler(nullptr, frame.get());
    if (!sws) {
        setError(error, "cannot convert the picture of " + path);
        return false;
    }
    std::vector<uint8_t> scratch;
    // Pictures without transparency give 0 in the unused byte (the scaling
    // clears it), like the bitmaps every other path makes.
    scaleFrameToBitmap(sws, frame.get(), out, scratch);
    sws_freeContext(sws);
    return true;
}

}  // namespace

bool loadJpeg(const std::string& path, Bitmap& out, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        setError(error, "cannot open " + path);
        return false;
    }
    jpeg_decompress_struct info;
    JpegErrorManager manager;
    info.err = jpeg_std_error(&manager.base);
    manager.base.error_exit = jpegErrorExit;
    manager.message[0] = 0;
    if (setjmp(manager.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        setError(error, path + ": " + manager.message);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    // The header alone says how large the picture is: refuse before any of
    // it is decoded or allocated.
    if (std::string big = pictureSizeProblem(path, info.image_width, info.image_height); !big.empty()) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        setError(error, big);
        return false;
    }
    info.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&info);
    const int w = static_cast<int>(info.output_width);
    const int h = static_cast<int>(info.output_height);
    try {
        out.allocate(w, h);
    } catch (const std::bad_alloc&) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        setError(error, formatNoMemory(path, w, h));
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.topRow(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    changeDepth(out);
    return true;
}

std::string pictureSizeProblem(const std::string& what, int64_t width, int64_t height) {
    if (width <= kMaxPictureSide && height <= kMaxPictureSide && width * height <= kMaxPicturePixels) return {};
    return what + " is " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels; pictures may be at most " + std::to_string(kMaxPictureSide) + " pixels a side and " +
           std::to_string(kMaxPicturePixels / (1024 * 1024)) + " megapixels.";
}

bool loadPicture(const std::string& path, Bitmap& out, std::string* error) {
    std::string why;
    if (checkRegularFile(path, 0, &why) != FileCheck::Ok) {
        setError(error, path + " " + why);
        return false;
    }
    try {
        if (hasJpegSignature(path)) return loadJpeg(path, out, error);
        return loadWithLibav(path, out, error);
    } catch (const std::bad_alloc&) {
        out = Bitmap();
        setError(error, "not enough memory to load " + path);
        return false;
    }
}

SwsContext* pictureScaler(SwsContext* cached, const AVFrame* frame) {
    AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: format = AV_PIX_FMT_YUV420P; fullRange = true; break;
        case AV_PIX_FMT_YUVJ422P: format = AV_PIX_FMT_YUV422P; fullRange = true; break;
        case AV_PIX_FMT_YUVJ444P: format = AV_PIX_FMT_YUV444P; fullRange = true; break;
        case AV_PIX_FMT_YUVJ440P: format = AV_PIX_FMT_YUV440P; fullRange = true; break;
        case AV_PIX_FMT_YUVJ411P: format = AV_PIX_FMT_YUV411P; fullRange = true; break;
        default: break;
    }
    SwsContext* sws = sws_getCachedContext(cached, frame->width, frame->height, format, frame->width, frame->height,
                                           AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (!sws) return nullptr;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3) {
        // Untagged pictures keep the scaler's default matrix.
        const int space = frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : frame->colorspace;
        int *inverse = nullptr, *table = nullptr;
        int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
        sws_getColorspaceDetails(sws, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation);
        sws_setColorspaceDetails(sws, sws_getCoefficients(space), fullRange ? 1 : 0, table, dstRange, brightness,
                                 contrast, saturation);
    }
    return sws;
}

namespace {

// count BGRA pixels from `from` to `to` with the fourth byte of each 0.
void copyClearingUnused(const uint8_t* from, uint8_t* to, int count) {
    int x = 0;
#ifdef __SSE2__
    const __m128i keep = _mm_set1_epi32(0x00ffffff);
    for (; x + 4 <= count; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4 * x), _mm_and_si128(v, keep));
    }
#endif
    for (; x < count; ++x) {
        std::memcpy(to + 4 * x, from + 4 * x, 3);
        to[4 * x + 3] = 0;
    }
}

}  // namespace

void scaleFrameToBitmap(SwsContext* sws, const AVFrame* frame, Bitmap& out, std::vector<uint8_t>& scratch) {
    const int stride = (out.rowBytes() + 64 + 63) & ~63;
    scratch.resize(static_cast<size_t>(stride) * (static_cast<size_t>(frame->height) + 1));
    uint8_t* dst[4] = {scratch.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {stride, 0, 0, 0};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    // The unused byte is cleared on the way rather than in a second pass
    // over the picture.
    for (int r = 0; r < frame->height; ++r)
        copyClearingUnused(scratch.data() + static_cast<size_t>(r) * stride, out.topRow(r), frame->width);
}

}  // namespace quillon
