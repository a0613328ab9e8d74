// Sequence, GOP, picture and extension headers of the video stream. Every
// routine adds the bits it writes to enc.headerBits.
#pragma once

#include <cstdint>

#include "video/dsp/vlc.h"
#include "video/encoder/video_types.h"

namespace quillon {

// 25-bit time_code for display frame n (the first-frame offset already added).
uint32_t makeTimeCode(const EncoderSettings& s, int n);
// frame_rate_code as written: pulldown streams are coded at 29.97/30.
int codedFrameRateCode(const EncoderSettings& s);

void writeSequenceHeader(VideoEncoder& enc);  // caller aligns
void writeSequenceExtension(VideoEncoder& enc);
void writeSequenceDisplayExtension(VideoEncoder& enc);
void writeGopHeader(VideoEncoder& enc, int firstDisplayFrame, bool closed, bool brokenLink = false);
void writePictureHeader(VideoEncoder& enc);
void writePictureCodingExtension(VideoEncoder& enc);
void writePictureDisplayExtension(VideoEncoder& enc);
void writeSvcdUserData(VideoEncoder& enc);
void writeSequenceEnd(VideoEncoder& enc);

// The same syntax over any sink (BitWriter or BitCounter), without the
// bookkeeping: the picture header writes the vbv_delay enc.pic holds.
template <class Sink>
void putSequenceHeader(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putSequenceExtension(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putSequenceDisplayExtension(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putGopHeader(Sink& w, const VideoEncoder& enc, int firstDisplayFrame, bool closed, bool brokenLink = false);
template <class Sink>
void putPictureHeader(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putPictureCodingExtension(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putPictureDisplayExtension(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putSvcdUserData(Sink& w, const VideoEncoder& enc);
template <class Sink>
void putSequenceEnd(Sink& w, const VideoEncoder& enc);

// Aligns, records the header offset for the max-bitrate pass when its file
// is open, then writes the sequence header and, under MPEG-2 syntax, the
// sequence extension and (when enabled) the sequence display extension.
void writeSequenceHeaders(VideoEncoder& enc);

}  // namespace quillon
