// Values of the video syntax that the building blocks and the encoder
// share: macroblock type bits, picture types and structures, motion types.
#pragma once

namespace quillon {

// Macroblock type word bits.
constexpr int kMbIntra = 1;
constexpr int kMbPattern = 2;
constexpr int kMbMotionBackward = 4;
constexpr int kMbMotionForward = 8;
constexpr int kMbQuant = 16;

// picture_coding_type
constexpr int kPictureI = 1;
constexpr int kPictureP = 2;
constexpr int kPictureB = 3;

// picture_structure
constexpr int kTopField = 1;
constexpr int kBottomField = 2;
constexpr int kFramePicture = 3;

// motionType. Frame pictures: 1 field, 2 frame, 3 dual prime.
// Field pictures: 1 field, 2 16x8, 3 dual prime.
constexpr int kMotionField = 1;
constexpr int kMotionFrame = 2;
constexpr int kMotion16x8 = 2;
constexpr int kMotionDualPrime = 3;

// Unused f_code directions carry 15.
constexpr int kUnusedFCode = 15;

}  // namespace quillon
