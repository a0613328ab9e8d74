// The scanners: input checks, and one pass over each elementary stream that
// cuts it into access units, writes their records to a units file and fills
// the stream's description.
#pragma once

#include <cstdint>
#include <string>

#include "mux/units_file.h"

namespace quillon {

class Engine;
struct EncoderSettings;

constexpr int kMaskVideo = 1;
constexpr int kMaskAudio1 = 2;
constexpr int kMaskAudio2 = 4;

// Opens the file and returns its size; reports "Input file %s was not found."
// or "Error getting size of input file %s.".
bool checkInputFile(Engine& engine, const std::string& path, double& size);
// The file checks plus the stream-type checks for every stream in the mask
// (bit 0 video, bit 1 first audio, bit 2 second audio).
bool checkInputTypes(Engine& engine, int mask, const std::string& video, const std::string& audio,
                     const std::string& audio2, double sizes[3]);

// The pulldown mode the time stamps use: muxPulldownFlag, with "detect"
// replaced by what the scan found (MPEG-2 program streams only).
int effectivePulldown(const EncoderSettings& s, uint32_t detected);

// On failure the units file is removed. unitCount counts pictures and
// sequence end codes; earliestPts is in 27 MHz ticks.
bool scanVideoStream(Engine& engine, const std::string& path, const std::string& unitsPath,
                     VideoStreamInfo& info, double fileSize, uint32_t& unitCount, double& earliestPts);
bool scanAudioStream(Engine& engine, const std::string& path, const std::string& unitsPath,
                     AudioStreamInfo& info, double startTime, double fileSize, uint32_t& records);

void logVideoInfo(Engine& engine, const VideoStreamInfo& info);
void logAudioInfo(Engine& engine, const AudioStreamInfo& info);

// Frame period in seconds and the rounded rate for a frame_rate_code, with
// a 30 Hz rate counted as 24 under pulldown.
void framePeriod(uint32_t frameRateCode, int pulldown, double& period, int& roundedRate);

}  // namespace quillon
