#include "video/encoder/frame_input.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/format.h"
#include "video/encoder/row_threads.h"

namespace quillon {

namespace {

bool allocate(Engine& engine, std::vector<uint8_t>& v, size_t size, const char* message) {
    try {
        v.assign(size, 0);
    } catch (const std::bad_alloc&) {
        engine.reportError(message);
        return false;
    }
    return true;
}

// Scratch of one conversion: the full-size chroma planes and, for 4:2:0,
// the half-width ones.
struct ChromaScratch {
    std::vector<uint8_t>& u444;
    std::vector<uint8_t>& v444;
    std::vector<uint8_t>& u422;
    std::vector<uint8_t>& v422;
};

void convertPicture(const VideoEncoder& enc, int32_t rowBytes, const uint8_t* pixels, Picture& slot,
                    const ChromaScratch& scratch, int threads) {
    const VideoGeometry& g = enc.geo;
    const FrameWindow& in = enc.input;
    const bool bw = enc.s.blackAndWhite != 0;
    const bool full = g.chromaFormat == 3;
    uint8_t* u = bw ? nullptr : full ? slot.cb() : scratch.u444.data();
    uint8_t* v = bw ? nullptr : full ? slot.cr() : scratch.v444.data();
    const uint8_t* top = pixels + static_cast<ptrdiff_t>(rowBytes) * (g.height - 1);
    // Every line converts on its own: bands of 32 lines on all threads.
    constexpr int kBand = 32;
    const int bands = (g.height + kBand - 1) / kBand;
    runRows(bands, threads, [&](int b, bool) {
        const int r0 = b * kBand, n = std::min(kBand, g.height - r0);
        const size_t at = static_cast<size_t>(r0) * g.paddedWidth;
        in.routines.convert(enc.s.matrixCoefficients, top - static_cast<ptrdiff_t>(r0) * rowBytes, rowBytes,
                        g.width, n, slot.y() + at, u ? u + at : nullptr, v ? v + at : nullptr, g.paddedWidth);
        return true;
    });
    padPlane(slot.y(), g.paddedWidth, g.width, g.height, g.paddedWidth, g.paddedHeight);
    if (bw) return;
    const uint8_t* clip = enc.clip();
    // The two chroma planes filter independently of each other.
    runRows(2, threads, [&](int plane, bool) {
        uint8_t* full444 = plane ? v : u;
        padPlane(full444, g.paddedWidth, g.width, g.height, g.paddedWidth, g.paddedHeight);
        uint8_t* out = plane ? slot.cr() : slot.cb();
        if (g.chromaFormat == 2) {
            in.routines.filterHorizontal(clip, enc.mpeg2, full444, out, g.paddedWidth, g.paddedHeight);
        } else if (g.chromaFormat == 1) {
            uint8_t* half = plane ? scratch.v422.data() : scratch.u422.data();
            in.routines.filterHorizontal(clip, enc.mpeg2, full444, half, g.paddedWidth, g.paddedHeight);
            in.routines.filterVertical(clip, enc.s.progressiveFrame != 0, half, out, g.paddedWidth / 2, g.paddedHeight);
        }
        return true;
    });
}

}  // namespace

AheadConversion::~AheadConversion() {
    // The source's read-ahead must be done with the buffers before they go.
    if (source) source->setConversion({}, {});
}

bool setUpFrameInput(VideoEncoder& enc) {
    const VideoGeometry& g = enc.geo;
    FrameWindow& in = enc.input;
    // The lookahead reads its pictures ahead of the coding loop, which GOP
    // re-coding may move back by a GOP.
    const int ahead = enc.s.lookahead > 0 ? enc.s.lookahead + enc.refDistance + 2 : 0;
    in.n = std::max(1, enc.gopSize) + ahead;
    in.threads = encoderThreadCount();
    in.routines = selectFrameInputRoutines(enc.s.useFloatingPoint != 0, enc.engine.ev.MMXMode,
                                           enc.engine.ev.cpuFeatures);
    try {
        in.slots.assign(static_cast<size_t>(in.n + 1), Picture{});
        for (Picture& p : in.slots) {
            p.plane[0].assign(g.lumaSize(), 0);
            p.plane[1].assign(g.chromaSize(), 128);
            p.plane[2].assign(g.chromaSize(), 128);
        }
    } catch (const std::bad_alloc&) {
        in.slots.clear();
        enc.engine.reportError("Could not allocate memory for picture buffers.");
        return false;
    }
    const size_t full = g.lumaSize();
    if (g.chromaFormat != 3) {
        if (!allocate(enc.engine, in.u444, full, "Could not allocate memory for u444.")) return false;
        if (!allocate(enc.engine, in.v444, full, "Could not allocate memory for v444.")) return false;
    }
    if (g.chromaFormat == 1) {
        const size_t half = static_cast<size_t>(g.paddedWidth / 2) * g.paddedHeight;
        if (!allocate(enc.engine, in.u422, half, "Could not allocate memory for u422.")) return false;
        if (!allocate(enc.engine, in.v422, half, "Could not allocate memory for v422.")) return false;
    }
    in.held.assign(in.slots.size(), kNoFrame);
    in.windowFirst = enc.firstFrameNumber - in.n - 1;
    in.ahead.reset();
    FrameSource* source = enc.engine.request.frameSource;
    const int buffers = in.threads > 1 && source ? source->conversionBuffers() : 0;
    if (buffers > 0) {
        std::shared_ptr<AheadConversion> ahead;
        try {
            ahead = std::make_shared<AheadConversion>();
            ahead->frames.resize(static_cast<size_t>(buffers));
            for (ConvertedFrame& f : ahead->frames) {
                f.picture = in.slots[0];
                if (g.chromaFormat != 3) f.u444.assign(full, 0), f.v444.assign(full, 0);
                if (g.chromaFormat == 1) f.u422 = in.u422, f.v422 = in.v422;
            }
        } catch (const std::bad_alloc&) {
            ahead.reset();  // converted in turn, as with one thread
        }
        // The conversion reads settings that stay put for the encode.
        VideoEncoder* e = &enc;
        auto convert = [e](int32_t rowBytes, const uint8_t* pixels, void* buffer) {
            ConvertedFrame& f = *static_cast<ConvertedFrame*>(buffer);
            // The read-ahead runs beside the coding already: its conversion
            // keeps to its own thread rather than take the rows' workers.
            convertPicture(*e, rowBytes, pixels, f.picture, ChromaScratch{f.u444, f.v444, f.u422, f.v422}, 1);
        };
        std::vector<void*> pointers;
        if (ahead)
            for (ConvertedFrame& f : ahead->frames) pointers.push_back(&f);
        if (ahead && source->setConversion(convert, pointers)) {
            ahead->source = source;
            in.ahead = std::move(ahead);
        }
    }
    return true;
}

void tearDownFrameInput(VideoEncoder& enc) {
    FrameWindow& in = enc.input;
    in.ahead.reset();
    in.slots.clear();
    in.slots.shrink_to_fit();
    in.held.clear();
    for (auto* v : {&in.u444, &in.v444, &in.u422, &in.v422}) {
        v->clear();
        v->shrink_to_fit();
    }
}

namespace {

bool readFrame(VideoEncoder& enc, Picture& slot, int frame) {
    FrameSource* source = enc.engine.request.frameSource;
    FrameWindow& in = enc.input;
    int status;
    if (in.ahead) {
        // Planes made on the source's read-ahead thread: taken over whole,
        // the slot's old planes going back as the buffer's.
        void* buffer = nullptr;
        status = source->getConvertedFrame(frame, &buffer);
        if (status == 0 && buffer) {
            Picture& made = static_cast<ConvertedFrame*>(buffer)->picture;
            for (int c = 0; c < 3; ++c) std::swap(slot.plane[c], made.plane[c]);
            return true;
        }
    } else {
        int32_t rowBytes = 0;
        const uint8_t* pixels = nullptr;
        status = source ? source->getFrame(frame, &rowBytes, &pixels) : -1;
        if (status == 0 && pixels) {
            convertPicture(enc, rowBytes, pixels, slot, ChromaScratch{in.u444, in.v444, in.u422, in.v422},
                           in.threads);
            return true;
        }
    }
    enc.engine.logLine(formatText("  Could not get frame # %d, error code %d.", frame, status));
    return false;
}

}  // namespace

bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex) {
    FrameWindow& in = enc.input;
    const int n = in.n;
    const int a = displayIndex + enc.firstFrameNumber;
    size_t index;
    if (a > in.windowFirst + n) {
        const int shift = std::min(a - n - in.windowFirst, n + 1);
        std::rotate(in.slots.begin(), in.slots.begin() + shift, in.slots.end());
        std::rotate(in.held.begin(), in.held.begin() + shift, in.held.end());
        in.windowFirst = a - n;
        for (int j = 0; j < shift; ++j) {
            const size_t slot = static_cast<size_t>(n + 1 - shift + j);
            const int frame = in.windowFirst + static_cast<int>(slot);
            in.held[slot] = kNoFrame;
            if (!readFrame(enc, in.slots[slot], frame)) return false;
            in.held[slot] = frame;
        }
        index = static_cast<size_t>(n);
    } else if (a >= in.windowFirst) {
        index = static_cast<size_t>(a - in.windowFirst);
    } else {
        // Behind the window (the coding order never asks for it): borrow
        // the oldest slot.
        index = 0;
    }
    if (in.held[index] != a) {
        in.held[index] = kNoFrame;
        if (!readFrame(enc, in.slots[index], a)) return false;
        in.held[index] = a;
    }
    const Picture& slot = in.slots[index];
    target.plane[0] = slot.plane[0];
    if (enc.s.blackAndWhite) {
        std::fill(target.plane[1].begin(), target.plane[1].end(), 128);
        std::fill(target.plane[2].begin(), target.plane[2].end(), 128);
    } else {
        target.plane[1] = slot.plane[1];
        target.plane[2] = slot.plane[2];
    }
    return true;
}

}  // namespace quillon
