// One opened input: a video file decoded through libavformat/libavcodec, or
// an image list (a text file naming one picture per line).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon {

class MediaFile;

inline constexpr int kMaxInputEntries = 256;
inline constexpr int kMaxPathLength = 260;
inline constexpr int kMaxListLineLength = 259;

// How frames are fetched. The libav reader serves every route frame-accurately
// (seek back when needed, decode forward); the route is kept because the
// input preview and project files use it.
enum DecodeRoute : int {
    kRouteSequential = 0,
    kRouteSeekEachFrame = 1,
    kRouteSeekEachFrameMpeg = 2,
    kRouteFrameByFrame = 3,
    kRouteKeyFrameSequential = 4,
};

struct InputFileEntry {
    std::string path;          // full path as opened
    bool isVideoFile = true;   // false for an image list
    bool hasVideo = false;
    bool hasAudio = false;
    int width = 0;             // source picture size
    int height = 0;
    double frameRate = 0;      // source frames per second; image lists 1.0
    double pixelAspect = 1.0;  // width / height of one source pixel
    int64_t durationTicks = 0; // 100-nanosecond units, video files only
    uint32_t totalFrames = 0;
    uint32_t selectedFrames = 0;
    uint32_t outputFrames = 0; // pictures it gives to its output, set when a conversion starts
    // Sound as delivered by the decoder: PCM keeps its format, compressed
    // sound is decoded to 16-bit PCM (at most stereo).
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    // Sample counts are in sample frames at the counted rate: sources at
    // 16000/22050/24000 Hz count twice, 8000/11025/12000 Hz four times.
    uint32_t totalSamples = 0;
    uint32_t selectedSamples = 0;
    bool invert = false;
    bool colourFix = false;
    int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;  // no crop when a side is 0
    bool fillIn = false;       // stretch instead of proportional scaling
    int decodeRoute = kRouteSequential;
    std::string fourCC;        // "xxxx/yyyy" for .avi paths, else empty
    // Image lists: the picture paths in line order (relative paths resolved
    // against the list's folder) and the list's folder itself.
    std::vector<std::string> listFile;
    std::string listDirectory;

    // The entry's own output settings (batch mode, per-entry settings).
    std::string outputName;
    int outputWidth = 0;
    int outputHeight = 0;
    // Preview position.
    int currentFrame = 0;

    // Decoder names, shown in the log.
    std::string videoCodecName;
    std::string audioCodecName;
    uint64_t fileSize = 0;

    // The open decoder of a video file (null for image lists).
    std::shared_ptr<MediaFile> media;

    // Sample-count multiplier for the source rate (1, 2 or 4).
    int rateMultiplier() const;
    // The rate after doubling or quadrupling (32000, 44100, 48000 or the source rate).
    int countedSampleRate() const;
};

// 1 for most rates; 2 for 16000, 22050, 24000; 4 for 8000, 11025, 12000.
int sampleRateMultiplier(int sampleRate);

}  // namespace quillon
