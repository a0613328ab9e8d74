#include "video/encoder/stream_headers.h"

#include <cmath>

#include "video/encoder/max_bitrate.h"
#include "video/encoder/rate_interface.h"
#include "video/dsp/vlc.h"

namespace quillon {

namespace {

// Adds the bits a header routine wrote to enc.headerBits.
class HeaderBits {
public:
    explicit HeaderBits(VideoEncoder& enc) : enc_(enc), start_(enc.writer.totalBits()) {}
    ~HeaderBits() { enc_.headerBits += enc_.writer.totalBits() - start_; }

private:
    VideoEncoder& enc_;
    double start_;
};

uint32_t rateUnits(double bitsPerSecond) { return static_cast<uint32_t>(std::ceil(bitsPerSecond * 0.0025)); }

uint32_t sequenceRateUnits(const VideoEncoder& enc) {
    return rateUnits(enc.s.constBitrateFlag ? enc.s.constBitrate : enc.s.maxBitrate);
}

}  // namespace

int codedFrameRateCode(const EncoderSettings& s) {
    if (s.videoPulldownFlag == 1 || s.videoPulldownFlag == 2) return s.frameRateCode == 1 ? 4 : 5;
    return s.frameRateCode;
}

uint32_t makeTimeCode(const EncoderSettings& s, int n) {
    int base;
    if (s.videoPulldownFlag == 1 || s.videoPulldownFlag == 2) {
        n = ((n / 2) * 5) / 2;
        base = 30;
    } else {
        base = static_cast<int>(s.frameRate + 0.5);
    }
    if (base < 1) base = 1;
    const int pictures = n % base;
    const int secondsTotal = n / base;
    const int minutesTotal = secondsTotal / 60;
    const uint32_t hours = static_cast<uint32_t>((minutesTotal / 60) % 24);
    const uint32_t minutes = static_cast<uint32_t>(minutesTotal % 60);
    const uint32_t seconds = static_cast<uint32_t>(secondsTotal % 60);
    return (hours << 19) | (minutes << 13) | (1u << 12) | (seconds << 6) | static_cast<uint32_t>(pictures);
}

template <class Sink>
void putSequenceHeader(Sink& w, const VideoEncoder& enc) {
    const EncoderSettings& s = enc.s;
    w.putBits(0x000001B3, 32);
    w.putBits(static_cast<uint32_t>(enc.geo.width) & 0xFFF, 12);
    w.putBits(static_cast<uint32_t>(enc.geo.height) & 0xFFF, 12);
    w.putBits(static_cast<uint32_t>(s.aspectRatio), 4);
    w.putBits(static_cast<uint32_t>(codedFrameRateCode(s)), 4);
    uint32_t rate;
    if (s.constBitrateFlag)
        rate = rateUnits(s.constBitrate);
    else if (enc.mpeg2)
        rate = rateUnits(s.maxBitrate);
    else
        rate = 0x3FFFF;
    w.putBits(rate & 0x3FFFF, 18);
    w.putBit(1);
    w.putBits(static_cast<uint32_t>(s.vbvBufferSize) & 0x3FF, 10);
    w.putBit(s.constrainedParameters ? 1 : 0);
    w.putBit(enc.quant.loadIntra ? 1 : 0);
    if (enc.quant.loadIntra)
        for (int i = 0; i < 64; ++i) w.putBits(enc.quant.intra[kZigzagScan[i]], 8);
    w.putBit(enc.quant.loadNonIntra ? 1 : 0);
    if (enc.quant.loadNonIntra)
        for (int i = 0; i < 64; ++i) w.putBits(enc.quant.nonIntra8[kZigzagScan[i]], 8);
}

template <class Sink>
void putSequenceExtension(Sink& w, const VideoEncoder& enc) {
    const EncoderSettings& s = enc.s;
    w.alignToByte();
    w.putBits(0x000001B5, 32);
    w.putBits(1, 4);
    w.putBits(static_cast<uint32_t>((s.profile << 4) | s.level) & 0xFF, 8);
    w.putBit(s.progressiveSequence ? 1 : 0);
    w.putBits(static_cast<uint32_t>(s.chromaFormat), 2);
    w.putBits(static_cast<uint32_t>(enc.geo.width >> 12), 2);
    w.putBits(static_cast<uint32_t>(enc.geo.height >> 12), 2);
    w.putBits((sequenceRateUnits(enc) >> 18) & 0xFFF, 12);
    w.putBit(1);
    w.putBits(static_cast<uint32_t>(s.vbvBufferSize >> 10) & 0xFF, 8);
    w.putBit(0);
    w.putBits(0, 2);
    w.putBits(0, 5);
}

template <class Sink>
void putSequenceDisplayExtension(Sink& w, const VideoEncoder& enc) {
    const EncoderSettings& s = enc.s;
    w.alignToByte();
    w.putBits(0x000001B5, 32);
    w.putBits(2, 4);
    w.putBits(static_cast<uint32_t>(s.videoFormat), 3);
    w.putBit(1);
    w.putBits(static_cast<uint32_t>(s.colorPrimaries), 8);
    w.putBits(static_cast<uint32_t>(s.transferCharacteristics), 8);
    w.putBits(static_cast<uint32_t>(s.matrixCoefficients), 8);
    w.putBits(static_cast<uint32_t>(s.displayHorizontalSize), 14);
    w.putBit(1);
    w.putBits(static_cast<uint32_t>(s.displayVerticalSize), 14);
}

template <class Sink>
void putGopHeader(Sink& w, const VideoEncoder& enc, int firstDisplayFrame, bool closed, bool brokenLink) {
    w.alignToByte();
    w.putBits(0x000001B8, 32);
    w.putBits(makeTimeCode(enc.s, firstDisplayFrame + enc.s.firstFrameTimecode), 25);
    w.putBit(closed ? 1 : 0);
    w.putBit(brokenLink ? 1 : 0);
}

template <class Sink>
void putPictureHeaderBody(Sink& w, const VideoEncoder& enc) {
    const PictureState& pic = enc.pic;
    w.putBits(static_cast<uint32_t>(pic.temporalReference) & 0x3FF, 10);
    w.putBits(static_cast<uint32_t>(pic.pictureCodingType), 3);
    w.putBits(enc.s.forceVBVDelay ? 0xFFFF : static_cast<uint32_t>(pic.vbvDelay) & 0xFFFF, 16);
    if (pic.pictureCodingType == kPictureP || pic.pictureCodingType == kPictureB) {
        w.putBit(0);
        w.putBits(enc.mpeg2 ? 7 : static_cast<uint32_t>(pic.fCode[0][0]), 3);
    }
    if (pic.pictureCodingType == kPictureB) {
        w.putBit(0);
        w.putBits(enc.mpeg2 ? 7 : static_cast<uint32_t>(pic.fCode[1][0]), 3);
    }
    w.putBit(0);
}

template <class Sink>
void putPictureHeader(Sink& w, const VideoEncoder& enc) {
    w.alignToByte();
    w.putBits(0x00000100, 32);
    putPictureHeaderBody(w, enc);
}

template <class Sink>
void putPictureCodingExtension(Sink& w, const VideoEncoder& enc) {
    const PictureState& pic = enc.pic;
    w.alignToByte();
    w.putBits(0x000001B5, 32);
    w.putBits(8, 4);
    w.putBits(static_cast<uint32_t>(pic.fCode[0][0]), 4);
    w.putBits(static_cast<uint32_t>(pic.fCode[0][1]), 4);
    w.putBits(static_cast<uint32_t>(pic.fCode[1][0]), 4);
    w.putBits(static_cast<uint32_t>(pic.fCode[1][1]), 4);
    w.putBits(static_cast<uint32_t>(pic.intraDcPrecision), 2);
    w.putBits(static_cast<uint32_t>(pic.pictureStructure), 2);
    w.putBit(pic.isField() ? 0 : pic.topFieldFirst);
    w.putBit(pic.framePredFrameDct);
    w.putBit(0);  // concealment_motion_vectors
    w.putBit(pic.qScaleType);
    w.putBit(pic.intraVlcFormat);
    w.putBit(pic.alternateScan);
    w.putBit(pic.repeatFirstField);
    w.putBit(enc.s.chromaFormat == 1 ? pic.progressiveFrame : 0);
    w.putBit(pic.progressiveFrame);
    w.putBit(0);  // composite_display_flag
}

template <class Sink>
void putPictureDisplayExtension(Sink& w, const VideoEncoder& enc) {
    w.alignToByte();
    w.putBits(0x000001B5, 32);
    w.putBits(7, 4);
    w.putBits(static_cast<uint32_t>(enc.s.frameCentreHorizontalOffset) & 0xFFFF, 16);
    w.putBit(1);
    w.putBits(static_cast<uint32_t>(enc.s.frameCentreVerticalOffset) & 0xFFFF, 16);
    w.putBit(1);
}

template <class Sink>
void putSvcdUserData(Sink& w, const VideoEncoder& enc) {
    w.alignToByte();
    w.putBits(0x000001B2, 32);
    w.putBits(0x10, 8);
    w.putBits(0x0E, 8);
    for (int i = 0; i < 4; ++i) w.putBits(0x008080, 24);
}

template <class Sink>
void putSequenceEnd(Sink& w, const VideoEncoder&) {
    w.alignToByte();
    w.putBits(0x000001B7, 32);
}

void writeSequenceHeader(VideoEncoder& enc) {
    HeaderBits count(enc);
    putSequenceHeader(enc.writer, enc);
}

void writeSequenceExtension(VideoEncoder& enc) {
    HeaderBits count(enc);
    putSequenceExtension(enc.writer, enc);
}

void writeSequenceDisplayExtension(VideoEncoder& enc) {
    HeaderBits count(enc);
    putSequenceDisplayExtension(enc.writer, enc);
}

void writeGopHeader(VideoEncoder& enc, int firstDisplayFrame, bool closed, bool brokenLink) {
    HeaderBits count(enc);
    putGopHeader(enc.writer, enc, firstDisplayFrame, closed, brokenLink);
}

void writePictureHeader(VideoEncoder& enc) {
    HeaderBits count(enc);
    BitWriter& w = enc.writer;
    w.alignToByte();
    w.putBits(0x00000100, 32);
    // The rate control reads the bit count just after the start code.
    if (enc.constantBitrate() && enc.rate)
        enc.rate->rcComputeVbvDelay(enc);
    else
        enc.pic.vbvDelay = 0;
    putPictureHeaderBody(w, enc);
}

void writePictureCodingExtension(VideoEncoder& enc) {
    HeaderBits count(enc);
    putPictureCodingExtension(enc.writer, enc);
}

void writePictureDisplayExtension(VideoEncoder& enc) {
    HeaderBits count(enc);
    putPictureDisplayExtension(enc.writer, enc);
}

void writeSvcdUserData(VideoEncoder& enc) {
    HeaderBits count(enc);
    putSvcdUserData(enc.writer, enc);
}

void writeSequenceEnd(VideoEncoder& enc) {
    HeaderBits count(enc);
    putSequenceEnd(enc.writer, enc);
}

void writeSequenceHeaders(VideoEncoder& enc) {
    enc.writer.alignToByte();
    recordSequenceHeaderOffset(enc);
    writeSequenceHeader(enc);
    if (enc.mpeg2) {
        writeSequenceExtension(enc);
        if (enc.s.writeSequenceDisplayExt) writeSequenceDisplayExtension(enc);
    }
}

#define QUILLON_HEADER_SINK(S)                                                       \
    template void putSequenceHeader<S>(S&, const VideoEncoder&);                     \
    template void putSequenceExtension<S>(S&, const VideoEncoder&);                  \
    template void putSequenceDisplayExtension<S>(S&, const VideoEncoder&);           \
    template void putGopHeader<S>(S&, const VideoEncoder&, int, bool, bool);         \
    template void putPictureHeader<S>(S&, const VideoEncoder&);                      \
    template void putPictureCodingExtension<S>(S&, const VideoEncoder&);             \
    template void putPictureDisplayExtension<S>(S&, const VideoEncoder&);            \
    template void putSvcdUserData<S>(S&, const VideoEncoder&);                       \
    template void putSequenceEnd<S>(S&, const VideoEncoder&);
QUILLON_HEADER_SINK(BitWriter)
QUILLON_HEADER_SINK(BitCounter)
#undef QUILLON_HEADER_SINK

}  // namespace quillon
