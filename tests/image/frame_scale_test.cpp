#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "image/bitmap.h"
#include "image/image_file.h"

namespace quillon {
namespace {

// The scaler writes past the last pixel of a row for many widths; the
// conversion must still give exactly the picture, top row first, and leave
// the bitmap's own memory alone (the sanitizer build watches it).
TEST(FrameScale, EveryNarrowWidthGivesThePictureTopRowFirst) {
    std::vector<uint8_t> scratch;
    for (int w = 1; w <= 40; ++w) {
        for (int h : {2, 3, 7}) {
            AVFrame* f = av_frame_alloc();
            f->format = AV_PIX_FMT_GRAY8;
            f->width = w;
            f->height = h;
            ASSERT_GE(av_frame_get_buffer(f, 0), 0);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = y == 0 ? 255 : 0;
            SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_GRAY8, w, h, AV_PIX_FMT_BGRA, SWS_POINT, nullptr,
                                             nullptr, nullptr);
            ASSERT_NE(sws, nullptr);
            Bitmap out;
            out.allocate(w, h);
            scaleFrameToBitmap(sws, f, out, scratch);
            for (int y = 0; y < h; ++y) {
                const uint8_t* row = out.topRow(y);
                for (int x = 0; x < w; ++x) {
                    ASSERT_EQ(row[4 * x + 1], y == 0 ? 255 : 0) << w << "x" << h << " at " << x << "," << y;
                }
            }
            sws_freeContext(sws);
            av_frame_free(&f);
        }
    }
}

}  // namespace
}  // namespace quillon
