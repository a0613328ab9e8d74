// The largest one-second bitrate of a variable-bitrate MPEG-2 stream, written
// into the bit_rate field of every sequence header once the stream is
// complete. The picture loop collects the header offsets in a temporary file
// while it codes.
#pragma once

#include <cstdint>
#include <string>

#include "video/encoder/rate_interface.h"
#include "video/encoder/video_types.h"

namespace quillon {

// Whether the encode needs the pass: MPEG-2 syntax, variable bitrate and no
// maxBitrate of its own.
bool needsMaxBitrateEmbedding(const EncoderSettings& s);

// Creates the offsets file ("tmp_s" prefix) into enc.maxBitrateFile and
// enc.maxBitrateFileName. Reports and returns false when it cannot.
bool openMaxBitrateFile(VideoEncoder& enc);
// Appends the offset of the sequence header about to be written (the writer
// is byte-aligned): its start code's byte offset plus 8.
void recordSequenceHeaderOffset(VideoEncoder& enc);
// Closes the offsets file (teardown; may run more than once).
void closeMaxBitrateFile(VideoEncoder& enc);
// Deletes the offsets file, whatever happened before.
void removeMaxBitrateFile(VideoEncoder& enc);

// The three bytes that replace bytes 8..10 of a sequence header: the 18-bit
// bit_rate_value for maxWindowBits bits per second, the marker bit and the
// first five bits of vbv_buffer_size_value.
void maxBitratePatch(uint32_t maxWindowBits, int vbvBufferSize, uint8_t out[3]);

// Patches every recorded sequence header of the closed stream.
bool embedMaxBitrate(Engine& engine, const std::string& videoPath, const std::string& offsetsPath,
                     uint32_t maxWindowBits, int vbvBufferSize);
// The encoder's pass: the stream named by the job, the encode's statistics.
bool embedMaxBitrate(VideoEncoder& enc);

}  // namespace quillon
