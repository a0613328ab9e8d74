// The ten compiled-in presets (five target kinds, NTSC and PAL), and the
// rules that derive the motion table, the automatic bitrate and the video
// stream's extension from the settings.
#pragma once

#include <string>

#include "engine/settings.h"

namespace quillon {

class Engine;

// Fills the whole record for kind 0..4 (MPEG-1, VCD, MPEG-2, SVCD, DVD) and
// tvStandard 0 (NTSC) or 1 (PAL); audioStereo chooses stereo or single
// channel sound. Other kinds leave the record alone.
void applyPreset(EncoderSettings& s, int kind, int tvStandard, int audioStereo);
// The same on an engine's record, with its standard, sound, picture size and
// video stream name.
void applyPreset(Engine& engine, int kind);

// Fills motion entries 0..M-1 from M and the pel movements; the other
// entries become 0.
void deriveMotionTable(EncoderSettings& s);
// The f_code for a search range, following the level and syntax limits.
int fCodeForRange(const EncoderSettings& s, int range, bool vertical);

// Recomputes constBitrate and the buffer sizes from the picture size when
// autoBitrate is set and the size is known.
void applyAutoBitrate(EncoderSettings& s, int horizontalSize, int verticalSize);

// Turns ".m1v" into ".m2v" for MPEG-2 kinds and back for MPEG-1 kinds.
void matchVideoExtension(const EncoderSettings& s, std::string& videoName);

// Audio bitrate in bit/s for a bitrate_index of the given layer; 0 for
// free format and out-of-range indices.
int audioBitrateBps(int layer, int index);

}  // namespace quillon
