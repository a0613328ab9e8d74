// Generated clips for the benchmark: landscapes painted from value noise and
// filmed by a moving camera, with moving objects, scene cuts, interlaced
// fields and film grain. Everything follows from fixed seeds, so a clip is
// the same bytes on every run and every machine with the same compiler.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace quillon::bench {

// Colours of a landscape: sky at the top and its change towards the
// horizon, clouds, ground and rock, and whether fence posts stand in it.
struct Palette {
    double sky[3], skyRamp[3], cloud[3], ground[3], rock[3];
    bool posts;
};

// Green hills under a blue sky: the photograph the pan-and-zoom clip uses.
extern const Palette kMeadow;

// An RGB picture, top row first, sampled between pixels.
struct Photo {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    // Bilinear sample at (x, y) in pixel units (pixel centres at +0.5),
    // clamped at the borders.
    void sample(double x, double y, float out[3]) const;
};

// A landscape of w x h pixels; seed offsets every noise layer, detail
// scales the rock texture (more and smaller stones above 1), grass adds
// blades and bushes to the ground with that contrast (0: none).
Photo paintLandscape(int w, int h, const Palette& palette, int seed, double detail = 1.0, double grass = 0);

// The clip names writeClip knows.
bool isClipName(const std::string& name);

// Writes `frames` pictures of w x h as top-down BGRA at `rate` pictures a
// second:
//   interlaced  a pan with a ball crossing, filmed at twice the picture rate
//               and woven into fields, top field first
//   scenes      five scenes, each with its own camera motion (pan, zoom,
//               tilt, a hand-held shake, a fast pan) and moving balls, cut
//               after 1.0 to 1.8 s
// Returns false when the output fails.
bool writeClip(const std::string& name, int w, int h, double rate, int frames, std::ostream& out);

// Adds film-like grain to top-down BGRA pictures: grain about 1.5 pixels
// across, strongest in the mid-tones, mostly in brightness with a little
// colour, new in every picture. strength is its standard deviation in
// 8-bit steps at mid-grey.
bool addGrain(std::istream& in, std::ostream& out, int w, int h, int frames, double strength);

}  // namespace quillon::bench
