#include "bench/clip_maker.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>

namespace quillon::bench {

const Palette kMeadow = {{90, 140, 220}, {80, 60, -30}, {150, 120, 35}, {60, 90, 40}, {120, 90, 60}, true};

namespace {

// Smooth value noise, several octaves: hills, clouds and fine texture.
double noise(double x, double y, int seed) {
    auto hash = [seed](int i, int j) {
        uint32_t h = static_cast<uint32_t>(i) * 374761393u + static_cast<uint32_t>(j) * 668265263u +
                     static_cast<uint32_t>(seed) * 2147483647u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return ((h ^ (h >> 16)) & 0xffff) / 65535.0;
    };
    const int i = static_cast<int>(std::floor(x)), j = static_cast<int>(std::floor(y));
    double fx = x - i, fy = y - j;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    const double a = hash(i, j), b = hash(i + 1, j), c = hash(i, j + 1), d = hash(i + 1, j + 1);
    return a + (b - a) * fx + (c - a) * fy + (a - b - c + d) * fx * fy;
}

double fractal(double x, double y, int seed, int octaves) {
    double v = 0, amp = 0.5, f = 1;
    for (int o = 0; o < octaves; ++o, amp *= 0.5, f *= 2) v += amp * noise(x * f, y * f, seed + o);
    return v;
}

uint8_t toByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

// A position that moves at a constant speed and turns back at the ends of
// [lo, hi], so a camera or a ball never leaves its picture however long
// the clip runs.
double bounce(double start, double speed, double t, double lo, double hi) {
    const double span = hi - lo;
    double p = std::fmod(start - lo + speed * t, 2 * span);
    if (p < 0) p += 2 * span;
    return lo + (p <= span ? p : 2 * span - p);
}

struct Camera {
    double cx, cy;  // centre in photo pixels
    double view;    // width of the view in photo pixels; the height is 3/4 of it (4:3 display)
    double angle;   // rotation in radians
};

// A textured ball whose surface turns as it moves: motion that is not a
// plain shift of the background.
struct Ball {
    double x, y, radius;  // in photo pixels
    double spin;          // turn of the texture in radians
    double tint[3];
    int seed;
};

struct Shot {
    const Photo* photo;
    std::function<Camera(double)> camera;
    std::function<std::vector<Ball>(double)> balls;
};

bool ballColour(const std::vector<Ball>& balls, double x, double y, float out[3]) {
    for (const Ball& b : balls) {
        const double dx = (x - b.x) / b.radius, dy = (y - b.y) / b.radius, d2 = dx * dx + dy * dy;
        if (d2 >= 1) continue;
        const double z = std::sqrt(1 - d2);
        const double light = 0.35 + 0.65 * std::max(0.0, -0.4 * dx - 0.5 * dy + 0.77 * z);
        const double c = std::cos(b.spin), s = std::sin(b.spin);
        const double tex = fractal(3 * (dx * c - dy * s) + 10, 3 * (dx * s + dy * c) + 10, b.seed, 4);
        for (int k = 0; k < 3; ++k) out[k] = static_cast<float>(std::min(255.0, b.tint[k] * (0.5 + tex) * light));
        return true;
    }
    return false;
}

// Renders lines firstLine, firstLine + lineStep, ... of a w x h picture at
// time t into a top-down BGRA picture. Each pixel averages n x n samples
// over its footprint on the photo, n following the scale, as a camera's
// optics would blur what falls between its pixels.
void renderLines(const Shot& shot, double t, int w, int h, int firstLine, int lineStep, uint8_t* bgra) {
    const Camera cam = shot.camera(t);
    const std::vector<Ball> balls = shot.balls ? shot.balls(t) : std::vector<Ball>{};
    const double vw = cam.view, vh = cam.view * 0.75;
    const double ca = std::cos(cam.angle), sa = std::sin(cam.angle);
    const int n = std::clamp(static_cast<int>(std::ceil(vw / w - 1e-9)), 1, 4);
    for (int y = firstLine; y < h; y += lineStep) {
        uint8_t* row = bgra + static_cast<size_t>(y) * w * 4;
        for (int x = 0; x < w; ++x) {
            double acc[3] = {0, 0, 0};
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) {
                    const double u = ((x + (sx + 0.5) / n) / w - 0.5) * vw;
                    const double v = ((y + (sy + 0.5) / n) / h - 0.5) * vh;
                    const double px = cam.cx + u * ca - v * sa, py = cam.cy + u * sa + v * ca;
                    float c[3];
                    if (!ballColour(balls, px, py, c)) shot.photo->sample(px, py, c);
                    for (int k = 0; k < 3; ++k) acc[k] += c[k];
                }
            const double norm = 1.0 / (n * n);
            row[4 * x + 0] = toByte(acc[2] * norm + 0.5);
            row[4 * x + 1] = toByte(acc[1] * norm + 0.5);
            row[4 * x + 2] = toByte(acc[0] * norm + 0.5);
            row[4 * x + 3] = 255;
        }
    }
}

constexpr int kPhotoWidth = 2400, kPhotoHeight = 1800;

// The interlaced clip: a steady pan and a slight drift downwards, and a
// ball crossing against the pan, fast enough that the two fields of a
// picture differ by several pixels.
Shot interlacedShot(const Photo& photo) {
    Shot s{&photo, nullptr, nullptr};
    s.camera = [](double t) {
        return Camera{bounce(800, 220, t, 750, 1650), bounce(1000, 30, t, 600, 1250), 1400, 0};
    };
    s.balls = [](double t) {
        const double x = bounce(1900, -600, t, 500, 1900);
        return std::vector<Ball>{{x, 1150 + 40 * std::sin(3 * t), 70, -x / 70, {230, 90, 60}, 77}};
    };
    return s;
}

const Palette kAutumn = {{200, 185, 160}, {30, 20, 10}, {40, 40, 40}, {110, 60, 25}, {120, 90, 45}, false};
const Palette kEvening = {{70, 60, 120}, {180, 90, 10}, {90, 60, 40}, {35, 30, 40}, {80, 60, 50}, true};
const Palette kSnow = {{150, 170, 200}, {40, 40, 30}, {80, 80, 70}, {150, 150, 160}, {100, 100, 95}, false};
const Palette kDusk = {{40, 70, 130}, {150, 110, 40}, {100, 80, 50}, {40, 70, 35}, {90, 80, 50}, true};

struct Scene {
    Photo photo;
    double seconds;  // how long the scene lasts before the cut
    std::function<Camera(double)> camera;
    std::function<std::vector<Ball>(double)> balls;
};

// Five scenes with their own look and motion, cut after 1.0 to 1.8 s so
// the cuts fall at different places of any fixed GOP.
std::vector<Scene> makeScenes() {
    std::vector<Scene> v;
    v.push_back({paintLandscape(kPhotoWidth, kPhotoHeight, kMeadow, 1000, 1.0, 0.5), 1.4,
                 [](double t) { return Camera{bounce(800, 90, t, 800, 1600), 1000, bounce(1500, -25, t, 1200, 1500), 0}; },
                 nullptr});
    v.push_back({paintLandscape(kPhotoWidth, kPhotoHeight, kAutumn, 2000, 1.5, 0.6), 1.0,
                 [](double t) { return Camera{1200, 1050, 1600 * std::exp(-bounce(0, 0.15, t, 0, 0.6)), 0}; },
                 [](double t) {
                     const double x = bounce(400, 350, t, 400, 2000);
                     return std::vector<Ball>{{x, 1300, 90, x / 90, {70, 110, 200}, 78}};
                 }});
    v.push_back({paintLandscape(kPhotoWidth, kPhotoHeight, kEvening, 3000, 0.7, 0.4), 1.8,
                 [](double t) { return Camera{bounce(1600, -150, t, 700, 1700), bounce(1150, -60, t, 500, 1300), 1300, 0}; },
                 nullptr});
    v.push_back({paintLandscape(kPhotoWidth, kPhotoHeight, kSnow, 4000, 2.0, 0.3), 1.2,
                 [](double t) {
                     return Camera{1200 + 25 * std::sin(2.1 * t) + 10 * std::sin(5.3 * t), 1000 + 18 * std::sin(2.7 * t + 1), 1100,
                                   0.012 * std::sin(1.7 * t)};
                 },
                 [](double t) {
                     const double x1 = bounce(800, 260, t, 700, 1700), x2 = bounce(1500, -180, t, 700, 1700);
                     return std::vector<Ball>{
                         {x1, 1250 - 120 * std::abs(std::sin(2.5 * t)), 60, x1 / 60, {200, 60, 60}, 79},
                         {x2, 1200 - 90 * std::abs(std::sin(3.1 * t + 1)), 45, x2 / 45, {230, 200, 70}, 80}};
                 }});
    v.push_back({paintLandscape(kPhotoWidth, kPhotoHeight, kDusk, 5000, 1.2, 0.7), 1.6,
                 [](double t) { return Camera{bounce(1700, -280, t, 800, 1700), 950, 1400, 0}; }, nullptr});
    return v;
}

bool writeFrame(std::ostream& out, const std::vector<uint8_t>& bgra) {
    out.write(reinterpret_cast<const char*>(bgra.data()), static_cast<std::streamsize>(bgra.size()));
    return static_cast<bool>(out);
}

}  // namespace

void Photo::sample(double x, double y, float out[3]) const {
    x = std::clamp(x - 0.5, 0.0, width - 1.0);
    y = std::clamp(y - 0.5, 0.0, height - 1.0);
    const int i = std::min(static_cast<int>(x), width - 2), j = std::min(static_cast<int>(y), height - 2);
    const double fx = x - i, fy = y - j;
    const uint8_t* p = &rgb[(static_cast<size_t>(j) * width + i) * 3];
    const uint8_t* q = p + static_cast<size_t>(width) * 3;
    for (int k = 0; k < 3; ++k) {
        const double top = p[k] + (p[k + 3] - p[k]) * fx, bottom = q[k] + (q[k + 3] - q[k]) * fx;
        out[k] = static_cast<float>(top + (bottom - top) * fy);
    }
}

Photo paintLandscape(int w, int h, const Palette& pal, int seed, double detail, double grass) {
    Photo photo;
    photo.width = w;
    photo.height = h;
    photo.rgb.resize(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = static_cast<double>(x) / w * 8, v = static_cast<double>(y) / h * 6;
            const double ridge = 0.45 + 0.25 * fractal(u * 0.5, 0.3, seed + 7, 5);  // skyline height
            double r, g, b;
            const double t = static_cast<double>(y) / h;
            if (t < ridge) {  // sky with clouds
                const double cloud = std::max(0.0, fractal(u, v * 2, seed + 11, 6) - 0.45) * 2.2;
                r = pal.sky[0] + pal.skyRamp[0] * t + pal.cloud[0] * cloud;
                g = pal.sky[1] + pal.skyRamp[1] * t + pal.cloud[1] * cloud;
                b = pal.sky[2] + pal.skyRamp[2] * t + pal.cloud[2] * cloud;
            } else {  // hills: grass, rock and fine texture, darker towards the front
                const double rock = fractal(u * detail * 3, v * detail * 3, seed + 23, 6);
                const double fine = fractal(u * 40, v * 40, seed + 31, 3);
                double shade = 0.6 + 0.5 * (1 - t) + 0.3 * (fine - 0.5);
                if (grass > 0) {
                    // Blades: streaks finer across than down, a few pixels
                    // apart; bushes: dark patches with hard edges.
                    shade += grass * (fractal(u * 70, v * 18, seed + 41, 3) - 0.5);
                    const double bush = fractal(u * 5, v * 7, seed + 51, 4);
                    if (bush > 0.6) shade *= 0.45 + 0.5 * fractal(u * 90, v * 90, seed + 61, 2);
                }
                r = (pal.ground[0] + pal.rock[0] * rock) * shade;
                g = (pal.ground[1] + pal.rock[1] * rock) * shade;
                b = (pal.ground[2] + pal.rock[2] * rock) * shade;
                if (pal.posts && std::fmod(x * 0.37 + rock * 40, 97.0) < 2.0) r = g = b = 240 * shade;  // fence posts
            }
            uint8_t* p = &photo.rgb[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = toByte(r);
            p[1] = toByte(g);
            p[2] = toByte(b);
        }
    return photo;
}

bool isClipName(const std::string& name) { return name == "interlaced" || name == "scenes"; }

bool writeClip(const std::string& name, int w, int h, double rate, int frames, std::ostream& out) {
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
    if (name == "interlaced") {
        const Photo photo = paintLandscape(kPhotoWidth, kPhotoHeight, kMeadow, 500, 1.3, 0.6);
        const Shot shot = interlacedShot(photo);
        for (int f = 0; f < frames; ++f) {
            // Top field first: the top lines are filmed half a picture
            // period before the bottom lines.
            renderLines(shot, f / rate, w, h, 0, 2, bgra.data());
            renderLines(shot, (f + 0.5) / rate, w, h, 1, 2, bgra.data());
            if (!writeFrame(out, bgra)) return false;
        }
        return true;
    }
    if (name == "scenes") {
        const std::vector<Scene> scenes = makeScenes();
        double cycle = 0;
        for (const Scene& s : scenes) cycle += s.seconds;
        for (int f = 0; f < frames; ++f) {
            const double t = f / rate;
            const int round = static_cast<int>(std::floor(t / cycle));
            double start = round * cycle;
            size_t k = 0;
            while (k + 1 < scenes.size() && t >= start + scenes[k].seconds) start += scenes[k++].seconds;
            // A scene seen again goes on where it stopped last time.
            const double local = t - start + round * scenes[k].seconds;
            const Shot shot{&scenes[k].photo, scenes[k].camera, scenes[k].balls};
            renderLines(shot, local, w, h, 0, 1, bgra.data());
            if (!writeFrame(out, bgra)) return false;
        }
        return true;
    }
    return false;
}

bool addGrain(std::istream& in, std::ostream& out, int w, int h, int frames, double strength) {
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<uint8_t> bgra(pixels * 4);
    // Four noise planes (brightness and one per colour), each blurred by
    // [1 2 1] across and down, which leaves 3/8 of the deviation.
    std::vector<float> raw(pixels), grain[4];
    for (auto& g : grain) g.resize(pixels);
    const double preBlur = strength / 0.375;
    for (int f = 0; f < frames; ++f) {
        if (!in.read(reinterpret_cast<char*>(bgra.data()), static_cast<std::streamsize>(bgra.size()))) return false;
        for (int plane = 0; plane < 4; ++plane) {
            uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(f + 1) + 0x85EBCA6Bu * static_cast<uint32_t>(plane + 1);
            auto next = [&state]() {  // xorshift32
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                return (state >> 8) * (1.0 / 16777216.0);
            };
            // Four uniform draws give a near-normal value of unit deviation.
            for (float& r : raw) r = static_cast<float>((next() + next() + next() + next() - 2.0) * std::sqrt(3.0));
            std::vector<float>& g = grain[plane];
            for (int y = 0; y < h; ++y) {
                const float* up = &raw[static_cast<size_t>(std::max(y - 1, 0)) * w];
                const float* mid = &raw[static_cast<size_t>(y) * w];
                const float* down = &raw[static_cast<size_t>(std::min(y + 1, h - 1)) * w];
                for (int x = 0; x < w; ++x) {
                    const int l = std::max(x - 1, 0), r = std::min(x + 1, w - 1);
                    auto col = [&](int i) { return up[i] + 2 * mid[i] + down[i]; };
                    g[static_cast<size_t>(y) * w + x] = (col(l) + 2 * col(x) + col(r)) / 16;
                }
            }
        }
        for (size_t i = 0; i < pixels; ++i) {
            uint8_t* p = &bgra[i * 4];
            const double luma = (0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2]) / 255;
            const double amount = preBlur * (0.4 + 2.4 * luma * (1 - luma));
            for (int k = 0; k < 3; ++k) p[k] = toByte(p[k] + amount * (grain[0][i] + 0.3 * grain[k + 1][i]) + 0.5);
        }
        out.write(reinterpret_cast<const char*>(bgra.data()), static_cast<std::streamsize>(bgra.size()));
        if (!out) return false;
    }
    return true;
}

}  // namespace quillon::bench
