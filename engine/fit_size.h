// Fit to size: the average video bitrate that makes a job's program stream
// (all split parts together) come out just under a given number of bytes,
// coded in two passes.
#pragma once

#include <cstdint>
#include <string>

#include "engine/settings.h"

namespace quillon {

class Engine;

// Bytes of the named disc sizes.
inline constexpr int64_t kDvd5Bytes = 4700372992LL;  // 2,295,104 sectors of 2048 bytes
inline constexpr int64_t kDvd9Bytes = 8543666176LL;  // 4,171,712 sectors of 2048 bytes
inline constexpr int64_t kCd74Bytes = 681984000LL;   // 333,000 sectors of 2048 bytes
inline constexpr int64_t kCd80Bytes = 737280000LL;   // 360,000 sectors of 2048 bytes

// "123456", "700M", "4.3G", "650k" (k, M, G: powers of 1024, letter case
// ignored, an optional trailing B), or dvd5, dvd9, cd74, cd80. False with a
// message for anything else.
bool parseFitSize(const std::string& text, int64_t* bytes, std::string* error);

// What a job's sizes come to, before any coding.
struct FitPlan {
    double videoBitrate = 0;  // the average the second pass aims at, bit/s
    int64_t smallest = 0;     // the smallest program stream reachable, bytes
    int64_t largest = 0;      // the largest
};

struct FitJob {
    double videoSeconds = 0;
    double audioSeconds = 0;  // 0: no audio in the program stream
    bool multiplexed = true;  // false: the video stream alone is the output
};

// The plan for target bytes. Returns false with the message for the user
// when the target is outside [smallest, largest] or the target cannot vary
// its bitrate.
bool planFitSize(const EncoderSettings& s, const FitJob& job, int64_t target, FitPlan* plan, std::string* problem);

// "4.38 GB (4,700,372,992 bytes)"
std::string sizeText(int64_t bytes);

// For a job with engine.fitSize set: puts the planned bitrate into
// engine.work (two passes, avgBitrate) or returns false with the message.
bool applyFitSize(Engine& engine, std::string* problem);

// Two passes (twoPass set) need a variable bitrate, an avgBitrate to aim at
// and a quality level above classic: false with the message otherwise.
bool twoPassProblem(const Engine& engine, std::string* problem);

}  // namespace quillon
