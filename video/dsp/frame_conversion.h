// The conversion steps of frame input, each on its own: the colour
// matrices and routines, padding, the chroma filters and their taps. Kept
// free of other headers' inline code, since the AVX2 forms include it.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

enum class ColourRoutine { Floating, Integer };

// One row of the colour matrix, coefficients in R, G, B order: as doubles
// for the floating routine and times 32768 for the integer ones.
struct ColourMatrix {
    double y[3], cb[3], cr[3];
    int iy[3], icb[3], icr[3];
};
// The row for a matrixCoefficients code (codes outside 1, 4, 7 use code 3's).
const ColourMatrix& colourMatrix(int matrixCoefficients);

// Converts width x height BGRA pixels (rows bottom-up, rowBytes apart,
// topRow the address of the last row in memory = the top picture row)
// into y/u/v planes of the given stride; u and v null convert luminance only.
void convertRgbToYuv(ColourRoutine routine, int matrixCoefficients, const uint8_t* topRow,
                     int32_t rowBytes, int width, int height, uint8_t* y, uint8_t* u, uint8_t* v,
                     int stride);
// The two plain routines on their own, in the form the routine table holds.
void convertRgbToYuvIntegerPlain(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
void convertRgbToYuvFloatingPlain(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                  int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
// Repeats the last column and row of a width x height picture out to the
// padded size.
void padPlane(uint8_t* plane, int stride, int width, int height, int paddedWidth, int paddedHeight);

// Chroma filter taps.
inline constexpr int kMpeg2HorizontalTaps[11] = {22, 0, -52, 0, 159, 256, 159, 0, -52, 0, 22};
inline constexpr int kMpeg1Taps[12] = {5, 11, -21, -37, 70, 228, 228, 70, -37, -21, 11, 5};
inline constexpr int kTopFieldTaps[12] = {8, 5, -30, -18, 113, 242, 192, 35, -38, -10, 11, 2};
inline constexpr int kBottomFieldTaps[12] = {2, 11, -10, -38, 35, 192, 242, 113, -18, -30, 5, 8};

// 4:4:4 -> 4:2:2, each of the h rows of w input samples to w/2 outputs.
// clip is the table buildClipTable makes (its entry 0).
void filterHorizontal(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h);
// 4:2:2 -> 4:2:0, w columns of h input rows to h/2 output rows.
void filterVertical(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w,
                    int h);
// The twelve input rows (edges clamped within the frame or the field) of
// output row k of the vertical filter, and the taps that weigh them.
const int* verticalFilterRows(bool progressive, int k, int h, int rows[12]);
void buildClipTable(std::array<uint8_t, 1024>& table);

// Colour conversion and chroma filter routines, chosen once per encode
// (selectFrameInputRoutines below).
struct FrameInputRoutines {
    // The integer or the floating conversion, as useFloatingPoint asks.
    void (*convert)(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width, int height,
                    uint8_t* y, uint8_t* u, uint8_t* v, int stride) = nullptr;
    void (*filterHorizontal)(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w,
                             int h) = nullptr;
    void (*filterVertical)(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w,
                           int h) = nullptr;
};
// The conversion and filter forms for a routine set (MMXMode) and the
// processor's features, as selectMotionRoutines chooses: 1..4 with SSE2 the
// SSE2 forms, 3 and 4 with AVX2 the AVX2 forms, otherwise the plain ones.
// Every form gives the same bytes as its plain routine.
FrameInputRoutines selectFrameInputRoutines(bool useFloatingPoint, int MMXMode, uint32_t features);

}  // namespace quillon
