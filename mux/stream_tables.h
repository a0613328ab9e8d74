// Tables of ISO/IEC 11172-2/13818-2 (picture rates, pel aspect ratios),
// ISO/IEC 11172-3 (bit rates) and ATSC A/52 (AC-3 frame sizes).
#pragma once

#include <cstdint>

namespace quillon {

// frame_rate_code 1..8; index 0 unused.
constexpr double kPictureRates[9] = {0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60};

// 11172-2 pel aspect ratio for aspect_ratio_information 0..15.
constexpr double kPelAspectRatios[16] = {0.0,    1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                         0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015, 0.0};

// kbit/s by layer code (3 Layer I, 2 Layer II, 1 Layer III) and bitrate_index.
constexpr int kMpegAudioBitrates[4][16] = {
    {},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
};
constexpr double kMpegAudioKHz[3] = {44.1, 48.0, 32.0};

// AC-3 frame sizes in 16-bit words by frmsizecod and fscod (48, 44.1, 32 kHz).
constexpr uint16_t kAc3FrameWords[38][3] = {
    {64, 69, 96},      {64, 70, 96},      {80, 87, 120},     {80, 88, 120},     {96, 104, 144},
    {96, 105, 144},    {112, 121, 168},   {112, 122, 168},   {128, 139, 192},   {128, 140, 192},
    {160, 174, 240},   {160, 175, 240},   {192, 208, 288},   {192, 209, 288},   {224, 243, 336},
    {224, 244, 336},   {256, 278, 384},   {256, 279, 384},   {320, 348, 480},   {320, 349, 480},
    {384, 417, 576},   {384, 418, 576},   {448, 487, 672},   {448, 488, 672},   {512, 557, 768},
    {512, 558, 768},   {640, 696, 960},   {640, 697, 960},   {768, 835, 1152},  {768, 836, 1152},
    {896, 975, 1344},  {896, 976, 1344},  {1024, 1114, 1536}, {1024, 1115, 1536}, {1152, 1253, 1728},
    {1152, 1254, 1728}, {1280, 1393, 1920}, {1280, 1394, 1920},
};
constexpr int kAc3Bitrates[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr double kAc3KHz[3] = {48.0, 44.1, 32.0};
constexpr int kAc3SamplesPerFrame = 1536;

inline int mpegAudioSamplesPerFrame(uint32_t layerCode) { return layerCode == 3 ? 384 : 1152; }

}  // namespace quillon
