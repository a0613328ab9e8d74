// Motion-compensated prediction of every macroblock of a picture into the
// prediction picture, by the rules of ISO/IEC 13818-2 (frame, field, 16x8
// and dual-prime prediction with half-sample interpolation).
#pragma once

#include <cstdint>

#include "video/dsp/syntax_values.h"


namespace quillon {

// Prediction of one area of one plane (luminance sizes; chroma scaled by
// the chroma format inside). lx is the line stride of the field or frame
// being predicted; y counts its lines. referenceField and destinationField
// pick the bottom field (one frame line down) when 1.
struct AreaPrediction {
    const uint8_t* reference = nullptr;
    int referenceField = 0;
    uint8_t* destination = nullptr;
    int destinationField = 0;
    int lx = 0;
    int width = 16, height = 16;
    int x = 0, y = 0;
    int dx = 0, dy = 0;  // half samples
    bool average = false;
    bool vectorForm = false;  // the SSE2 copy (same bytes), where the processor has it
    // When set, destination is a buffer of its own with this line stride
    // (luminance; a field's lines are half of it apart), whose first sample
    // stands for (originX, originY) in the coordinates of x and y.
    int destinationStride = 0;
    int originX = 0, originY = 0;
};
// component 0 luminance, 1 and 2 chroma.
void predictArea(AreaPrediction a, int component, int chromaFormat);
// The SSE2 forms of one area's copy, for widths 8 and 16; s and d already
// point at the area, lx and dlx are their line strides, hx and hy the
// half-sample flags.
void copyAreaSse2(const uint8_t* s, uint8_t* d, int lx, int dlx, int w, int h, int hx, int hy, bool average);

// The two derived opposite-parity vectors of dual prime: [0] for the top
// field (from the bottom reference field), [1] for the bottom field (from
// the top reference field) in frame pictures; field pictures use [0].
struct DualPrimeVectors {
    int v[2][2] = {};
};
DualPrimeVectors dualPrimeVectors(int mx, int my, int ex, int ey, bool framePicture, bool topFieldFirst,
                                  int pictureStructure);

}  // namespace quillon
