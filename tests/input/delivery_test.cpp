// The frame and sample callbacks: mapping of output frames to source
// frames, the picture after scaling, and every sound conversion rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "input/conversion_start.h"
#include "input/frame_delivery.h"
#include "input/input_table.h"
#include "tests/input/test_media.h"

namespace quillon {
namespace {

using testing::Bgr;
using testing::near;
using testing::patternAvi;
using testing::PatternClip;
using testing::patternSample;
using testing::pixelAt;
using testing::RecordingHost;

std::unique_ptr<InputFileEntry> open(const std::string& path) {
    RecordingHost host;
    auto e = openVideoFile(path, host);
    EXPECT_TRUE(e) << path;
    return e;
}

Bitmap asBitmap(const uint8_t* pixels, int32_t stride, int w, int h) {
    Bitmap b;
    b.allocate(w, h);
    EXPECT_EQ(stride, w * 4);
    std::memcpy(b.pixels.data(), pixels, b.pixels.size());
    return b;
}

TEST(FrameDelivery, OutputFramesMapToSourceFramesByRate) {
    struct Case {
        int num, den, pal;
    } cases[] = {{25, 1, 0}, {25, 1, 1}, {30000, 1001, 0}, {30, 1, 0}, {24000, 1001, 0}, {30000, 1001, 1}};
    for (const Case& c : cases) {
        PatternClip clip;
        clip.width = 32;
        clip.height = 16;
        clip.rateNumerator = c.num;
        clip.rateDenominator = c.den;
        clip.frames = 40;
        auto e = open(patternAvi("rate" + std::to_string(c.num) + ".avi", clip));
        ASSERT_TRUE(e);
        DeliverySetup setup;
        setup.width = 32;
        setup.height = 16;
        setup.pal = c.pal;
        EntryDelivery d({e.get()}, setup, {});
        const double T = c.pal ? 0.04 : 1 / 29.97;
        int previous = -1;
        for (int n = 0; n < 45; ++n) {
            int32_t stride;
            const uint8_t* px;
            ASSERT_EQ(d.getFrame(n, &stride, &px), kFrameOk);
            int expected = std::min(39, static_cast<int>(std::floor(n * (double(c.num) / c.den) * T + 1e-6)));
            Bitmap b = asBitmap(px, stride, 32, 16);
            EXPECT_EQ(testing::readFrameNumber(b), expected) << c.num << "/" << c.den << " n=" << n;
            // The unused byte is 0, in a repeated picture (converted again)
            // as in a new one.
            int unused = 0;
            for (size_t i = 3; i < b.pixels.size(); i += 4) unused |= b.pixels[i];
            EXPECT_EQ(unused, 0) << c.num << "/" << c.den << " n=" << n;
            // Same rate in, same rate out: never a repeated picture.
            if (c.num == 30000 && !c.pal && n < 40) {
                EXPECT_EQ(expected, n);
            }
            EXPECT_GE(expected, previous);
            previous = expected;
        }
    }
}

struct Geometry {
    Bitmap picture;
};

Bitmap deliver(InputFileEntry& e, int w, int h, int target, bool fill) {
    e.fillIn = fill;
    DeliverySetup setup;
    setup.width = w;
    setup.height = h;
    setup.target = target;
    setup.pal = 1;
    EntryDelivery d({&e}, setup, {});
    int32_t stride = 0;
    const uint8_t* px = nullptr;
    EXPECT_EQ(d.getFrame(1, &stride, &px), kFrameOk);
    return asBitmap(px, stride, w, h);
}

std::unique_ptr<InputFileEntry> vga() {
    PatternClip clip;
    clip.width = 640;
    clip.height = 480;
    clip.frames = 3;
    return open(patternAvi("vga.avi", clip));
}

// The pattern inside (x0..x0+w, 0..h): bits on top, red top-left, green
// top-right, blue bottom-left, yellow bottom-right.
void expectPattern(const Bitmap& b, int x0, int w, int h, int frame) {
    EXPECT_EQ(testing::readFrameNumber(b, x0, 0, w, h), frame);
    const int band = h / 4;
    const int upper = band + (h - band) / 4, lower = band + 3 * (h - band) / 4;
    EXPECT_TRUE(near(pixelAt(b, x0 + w / 4, upper), 0, 0, 255)) << "red top-left";
    EXPECT_TRUE(near(pixelAt(b, x0 + 3 * w / 4, upper), 0, 255, 0)) << "green top-right";
    EXPECT_TRUE(near(pixelAt(b, x0 + w / 4, lower), 255, 0, 0)) << "blue bottom-left";
    EXPECT_TRUE(near(pixelAt(b, x0 + 3 * w / 4, lower), 0, 255, 255)) << "yellow bottom-right";
}

void expectBlackColumns(const Bitmap& b, int from, int to) {
    for (int y = 0; y < b.height; y += 7) {
        for (int x = from; x < to; ++x) {
            const Bgr c = pixelAt(b, x, y);
            ASSERT_EQ(c.b + c.g + c.r, 0) << "x=" << x << " y=" << y;
        }
    }
}

TEST(FrameDelivery, ProportionalScalingLeavesSixteenPixelBars) {
    auto e = vga();
    ASSERT_TRUE(e);
    Bitmap b = deliver(*e, 352, 240, 1, false);
    expectBlackColumns(b, 0, 16);
    expectBlackColumns(b, 336, 352);
    EXPECT_GT(pixelAt(b, 16, 200).b, 100);  // the picture starts at column 16
    EXPECT_GT(pixelAt(b, 335, 200).r, 100);
    expectPattern(b, 16, 320, 240, 1);
}

TEST(FrameDelivery, FillStretchesAndSvcdKeepsTheShape) {
    auto e = vga();
    ASSERT_TRUE(e);
    Bitmap fill = deliver(*e, 352, 240, 1, true);
    expectPattern(fill, 0, 352, 240, 1);
    EXPECT_NE(pixelAt(fill, 0, 200).r + pixelAt(fill, 0, 200).b, 0);

    // SVCD 480x480: planned for 720 wide (factor 1, 640x480), narrowed to
    // 426 columns, centred at 27.
    Bitmap svcd = deliver(*e, 480, 480, 3, false);
    expectBlackColumns(svcd, 0, 27);
    expectBlackColumns(svcd, 453, 480);
    expectPattern(svcd, 27, 426, 480, 1);

    // Wider than the canvas: bars above and below instead.
    PatternClip wide;
    wide.width = 160;
    wide.height = 60;
    wide.frames = 3;
    auto w = open(patternAvi("wide.avi", wide));
    ASSERT_TRUE(w);
    Bitmap b = deliver(*w, 352, 240, 1, false);  // factor 2.2: 352 x 132, rows 54..185
    for (int x = 0; x < 352; x += 5) {
        EXPECT_EQ(pixelAt(b, x, 53).r + pixelAt(b, x, 53).g, 0);
        EXPECT_EQ(pixelAt(b, x, 186).r + pixelAt(b, x, 186).g, 0);
    }
}

TEST(FrameDelivery, InvertAndCropComeBeforeScaling) {
    auto e = vga();
    ASSERT_TRUE(e);
    e->invert = true;
    Bitmap flipped = deliver(*e, 640, 480, 1, false);
    // The bit band is now at the bottom, blue top-left.
    EXPECT_TRUE(near(pixelAt(flipped, 100, 100), 255, 0, 0));
    EXPECT_TRUE(near(pixelAt(flipped, 500, 250), 0, 255, 0));  // green now lower right
    e->invert = false;
    // Crop to the bottom-right quadrant (yellow): the whole output is yellow.
    e->cropX = 320;
    e->cropY = 300;
    e->cropWidth = 320;
    e->cropHeight = 180;
    Bitmap crop = deliver(*e, 64, 36, 1, true);
    EXPECT_TRUE(near(pixelAt(crop, 0, 0), 0, 255, 255));
    EXPECT_TRUE(near(pixelAt(crop, 63, 35), 0, 255, 255));
    // A rectangle outside the picture fails with its code.
    e->cropX = 600;
    DeliverySetup setup;
    EntryDelivery d({e.get()}, setup, {});
    int32_t stride;
    const uint8_t* px;
    EXPECT_EQ(d.getFrame(0, &stride, &px), kFrameCropFailed);
}

TEST(FrameDelivery, AbortIsResultOne) {
    auto e = vga();
    ASSERT_TRUE(e);
    DeliveryHooks hooks;
    hooks.pump = [] { return true; };
    DeliverySetup setup;
    EntryDelivery d({e.get()}, setup, hooks);
    int32_t stride;
    const uint8_t* px;
    EXPECT_EQ(d.getFrame(0, &stride, &px), kFrameAborted);
}

TEST(FrameDelivery, JoinerWalksAcrossEntriesInAnyOrder) {
    PatternClip a;
    a.width = 32;
    a.height = 16;
    a.frames = 10;
    auto e0 = open(patternAvi("join_a.avi", a));
    auto e1 = open(patternAvi("join_a.avi", a));
    ASSERT_TRUE(e0 && e1);
    e0->outputFrames = 10;  // floor(10 x 25 / 25 + 0.005)
    e1->outputFrames = 10;
    DeliverySetup setup;
    setup.width = 32;
    setup.height = 16;
    setup.pal = 1;
    EntryDelivery d({e0.get(), e1.get()}, setup, {});
    // Every picture of both entries: the first's last (9) and the second's
    // first (10) and last (19) included.
    for (int n : {12, 3, 8, 9, 10, 0, 17, 19}) {
        int32_t stride;
        const uint8_t* px;
        ASSERT_EQ(d.getFrame(n, &stride, &px), kFrameOk);
        const int expected = n < 10 ? n : n - 10;
        EXPECT_EQ(testing::readFrameNumber(asBitmap(px, stride, 32, 16)), expected) << n;
        EXPECT_EQ(d.currentEntry(), n < 10 ? 0u : 1u);
    }
}

// Pictures made on the read-ahead thread are the pictures made in turn:
// in order, out of order (a guess that missed), across the joint of two
// entries, scaled, and with sound read in between from the same file.
TEST(FrameDelivery, ReadAheadGivesThePicturesMadeInTurn) {
    PatternClip a;
    a.width = 32;
    a.height = 16;
    a.frames = 10;
    a.audioRate = 48000;
    a.audioChannels = 2;
    a.audioBits = 16;
    std::unique_ptr<InputFileEntry> plain[2] = {open(patternAvi("ahead.avi", a)), open(patternAvi("ahead.avi", a))};
    std::unique_ptr<InputFileEntry> ahead[2] = {open(patternAvi("ahead.avi", a)), open(patternAvi("ahead.avi", a))};
    for (auto* set : {&plain, &ahead})
        for (auto& e : *set) {
            ASSERT_TRUE(e);
            e->outputFrames = 10;
        }
    DeliverySetup setup;
    setup.width = 64;
    setup.height = 48;
    setup.pal = 1;
    setup.sampleRate = 48000;
    EntryDelivery inTurn({plain[0].get(), plain[1].get()}, setup, {});
    setup.readAhead = true;
    EntryDelivery readAhead({ahead[0].get(), ahead[1].get()}, setup, {});
    std::vector<int> order;
    for (int n = 0; n < 20; ++n) order.push_back(n);
    for (int n : {4, 15, 3, 19, 0, 11}) order.push_back(n);
    for (int n : order) {
        int32_t s1, s2;
        const uint8_t *p1, *p2;
        ASSERT_EQ(inTurn.getFrame(n, &s1, &p1), kFrameOk);
        ASSERT_EQ(readAhead.getFrame(n, &s2, &p2), kFrameOk);
        ASSERT_EQ(s1, s2);
        ASSERT_EQ(0, std::memcmp(p1, p2, static_cast<size_t>(s1) * 48)) << "picture " << n;
        if (n == 7) {
            int32_t c1, c2, b1, b2;
            const uint8_t *q1, *q2;
            ASSERT_EQ(inTurn.getSamples(0, &c1, &b1, &q1), kSourceOk);
            ASSERT_EQ(readAhead.getSamples(0, &c2, &b2, &q2), kSourceOk);
            ASSERT_EQ(b1, b2);
            EXPECT_EQ(0, std::memcmp(q1, q2, static_cast<size_t>(b1)));
        }
    }
}

// A conversion handed to the delivery gives what the caller would make of
// each picture in turn, whether the read-ahead thread made it (in order) or
// the guess missed (out of order, across the joint of two entries); taken
// back, the delivery converts no more.
TEST(FrameDelivery, ConversionAheadGivesThePicturesConvertedInTurn) {
    PatternClip a;
    a.width = 32;
    a.height = 16;
    a.frames = 10;
    std::unique_ptr<InputFileEntry> plain[2] = {open(patternAvi("convert.avi", a)), open(patternAvi("convert.avi", a))};
    std::unique_ptr<InputFileEntry> ahead[2] = {open(patternAvi("convert.avi", a)), open(patternAvi("convert.avi", a))};
    for (auto* set : {&plain, &ahead})
        for (auto& e : *set) {
            ASSERT_TRUE(e);
            e->outputFrames = 10;
        }
    DeliverySetup setup;
    setup.width = 64;
    setup.height = 48;
    setup.pal = 1;
    EntryDelivery inTurn({plain[0].get(), plain[1].get()}, setup, {});
    setup.readAhead = true;
    EntryDelivery readAhead({ahead[0].get(), ahead[1].get()}, setup, {});
    struct Converted {
        std::vector<uint8_t> bytes;
        std::thread::id by;
    };
    // Any reshaping of the pixels: every other byte, reversed.
    auto convert = [](int32_t rowBytes, const uint8_t* pixels, std::vector<uint8_t>& out) {
        const size_t n = static_cast<size_t>(rowBytes) * 48;
        out.clear();
        for (size_t i = n; i >= 2; i -= 2) out.push_back(pixels[i - 1]);
    };
    std::vector<Converted> buffers(static_cast<size_t>(readAhead.conversionBuffers()));
    ASSERT_GE(buffers.size(), 2u);
    std::vector<void*> pointers;
    for (Converted& c : buffers) pointers.push_back(&c);
    ASSERT_TRUE(readAhead.setConversion(
        [&](int32_t rowBytes, const uint8_t* pixels, void* buffer) {
            Converted& c = *static_cast<Converted*>(buffer);
            convert(rowBytes, pixels, c.bytes);
            c.by = std::this_thread::get_id();
        },
        pointers));
    std::vector<int> order;
    for (int n = 0; n < 20; ++n) order.push_back(n);
    for (int n : {4, 15, 3, 19, 0, 11, 12}) order.push_back(n);
    int madeAhead = 0;
    const void* last = nullptr;
    for (size_t i = 0; i < order.size(); ++i) {
        const int n = order[i];
        int32_t stride;
        const uint8_t* p;
        ASSERT_EQ(inTurn.getFrame(n, &stride, &p), kFrameOk);
        std::vector<uint8_t> expected;
        convert(stride, p, expected);
        void* buffer = nullptr;
        ASSERT_EQ(readAhead.getConvertedFrame(n, &buffer), kFrameOk);
        ASSERT_TRUE(buffer >= &buffers.front() && buffer <= &buffers.back());
        const Converted& got = *static_cast<const Converted*>(buffer);
        ASSERT_EQ(got.bytes, expected) << "picture " << n;
        if (got.by != std::this_thread::get_id()) ++madeAhead;
        // The caller keeps its buffer until the next call: a picture made
        // ahead comes in another one.
        if (i > 0 && i < 20) EXPECT_NE(buffer, last) << "picture " << n;
        last = buffer;
    }
    EXPECT_EQ(madeAhead, 20);  // all but the first in order, and 12 after 11
    ASSERT_TRUE(readAhead.setConversion({}, {}));
    void* buffer = nullptr;
    EXPECT_NE(readAhead.getConvertedFrame(1, &buffer), kFrameOk);
}

// ---- sound ----

std::unique_ptr<InputFileEntry> soundClip(int rate, int channels, int bits, int frames = 5) {
    PatternClip clip;
    clip.width = 16;
    clip.height = 16;
    clip.frames = frames;
    clip.audioRate = rate;
    clip.audioChannels = channels;
    clip.audioBits = bits;
    auto e = open(patternAvi("snd" + std::to_string(rate) + "_" + std::to_string(channels) + "_" +
                                 std::to_string(bits) + "_" + std::to_string(frames) + ".avi",
                             clip));
    // As a conversion start sets it for PAL: as many pictures as the source.
    if (e) e->outputFrames = static_cast<uint32_t>(outputFrameCount(*e, 1));
    return e;
}

// The value a source sample becomes after the 8 to 16 bit rule.
int16_t delivered(int64_t index, int channel, int channels, int bits) {
    int16_t v = patternSample(index, channels == 2 ? channel : 0);
    if (bits == 8) {
        const int u8 = (v + 32768) >> 8;
        return static_cast<int16_t>(u8 * 256 - 32768);
    }
    return v;
}

struct SoundRun {
    std::vector<int16_t> pcm;
    std::vector<int32_t> bytes;
    int64_t consumed = 0;
};

SoundRun pullAll(EntryDelivery& d, int64_t lastSample) {
    SoundRun run;
    int64_t next = 0;
    while (next <= lastSample) {
        int32_t consumed = 0, bytes = 0;
        const uint8_t* pcm = nullptr;
        EXPECT_EQ(d.getSamples(static_cast<int>(next), &consumed, &bytes, &pcm), kSourceOk);
        if (bytes == 0 || consumed == 0) break;
        const auto* s = reinterpret_cast<const int16_t*>(pcm);
        run.pcm.insert(run.pcm.end(), s, s + bytes / 2);
        run.bytes.push_back(bytes);
        next += consumed;
    }
    run.consumed = next;
    return run;
}

TEST(SampleDelivery, EightBitMonoAt22kHzIsDoubledForVcd) {
    auto e = soundClip(22050, 1, 8);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->countedSampleRate(), 44100);
    DeliverySetup setup;
    setup.pal = 1;
    setup.sampleRate = 44100;
    EntryDelivery d({e.get()}, setup, {});
    SoundRun run = pullAll(d, e->selectedSamples - 1);
    EXPECT_EQ(run.consumed, e->selectedSamples);
    ASSERT_EQ(run.pcm.size(), static_cast<size_t>(e->selectedSamples) * 2);  // no resampling
    for (size_t i = 0; i < run.pcm.size() / 2; i += 97) {
        const int16_t v = delivered(static_cast<int64_t>(i / 2), 0, 1, 8);
        ASSERT_EQ(run.pcm[i * 2], v) << i;
        ASSERT_EQ(run.pcm[i * 2 + 1], v) << i;  // mono on both channels
    }
}

TEST(SampleDelivery, ThirtyTwoKilohertzForDvdRepeatsNearestSamples) {
    auto e = soundClip(32000, 2, 16);
    ASSERT_TRUE(e);
    DeliverySetup setup;
    setup.pal = 1;
    setup.sampleRate = 48000;
    EntryDelivery d({e.get()}, setup, {});
    SoundRun run = pullAll(d, e->selectedSamples - 1);
    for (int32_t b : run.bytes) EXPECT_EQ(b % 4, 0);
    // Running totals: at most one extra sample frame per block overall.
    const double exact = e->selectedSamples * 1.5;
    EXPECT_GE(run.pcm.size() / 2.0, exact);
    EXPECT_LE(run.pcm.size() / 2.0, exact + 1 + 4);
    // The first block: output i takes source floor(i x 32000 / 48000).
    for (int i = 0; i < 3000; i += 13) {
        const int j = i * 32000 / 48000;
        ASSERT_EQ(run.pcm[static_cast<size_t>(i) * 2], patternSample(j, 0)) << i;
        ASSERT_EQ(run.pcm[static_cast<size_t>(i) * 2 + 1], patternSample(j, 1)) << i;
    }
    // Asking for sample 0 again starts the totals afresh: same blocks.
    SoundRun again = pullAll(d, e->selectedSamples - 1);
    EXPECT_EQ(again.bytes, run.bytes);
}

TEST(SampleDelivery, EveryRateDepthAndLayoutReachesTheTargetRate) {
    const int rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (int rate : rates) {
        for (int channels : {1, 2}) {
            for (int bits : {8, 16}) {
                auto e = soundClip(rate, channels, bits);
                ASSERT_TRUE(e);
                EXPECT_EQ(e->sampleRate, rate);
                const int mult = sampleRateMultiplier(rate);
                EXPECT_EQ(e->totalSamples, static_cast<uint32_t>(rate / 5 * mult));
                for (int target : {44100, 48000}) {
                    DeliverySetup setup;
                    setup.pal = 1;
                    setup.sampleRate = target;
                    EntryDelivery d({e.get()}, setup, {});
                    SoundRun run = pullAll(d, e->selectedSamples - 1);
                    const double seconds = run.pcm.size() / 2.0 / target;
                    EXPECT_NEAR(seconds, 0.2, 0.002) << rate << " " << channels << " " << bits << " -> " << target;
                    // The first sample frames: source sample floor(i x counted / target) / mult.
                    const int counted = rate * mult;
                    for (int i = 0; i < 500; i += 7) {
                        const int64_t c = counted == target ? i : static_cast<int64_t>(i) * counted / target;
                        const int64_t src = c / mult;
                        ASSERT_EQ(run.pcm[static_cast<size_t>(i) * 2], delivered(src, 0, channels, bits))
                            << rate << "/" << channels << "/" << bits << " -> " << target << " i=" << i;
                        ASSERT_EQ(run.pcm[static_cast<size_t>(i) * 2 + 1], delivered(src, 1, channels, bits));
                    }
                }
            }
        }
    }
}

TEST(SampleDelivery, EntriesWithoutSoundGiveSilenceAsLongAsTheirPictures) {
    PatternClip clip;
    clip.width = 16;
    clip.height = 16;
    clip.frames = 25;
    auto silent = open(patternAvi("silent25.avi", clip));
    auto loud = soundClip(44100, 2, 16, 25);
    ASSERT_TRUE(silent && loud);
    // Sound longer than its pictures is cut to them.
    EntryDelivery alone({loud.get()}, DeliverySetup{}, {});
    loud->outputFrames = 10;
    EXPECT_EQ(alone.sampleSpan(0), static_cast<uint32_t>(std::floor(10 * 44100 / 29.97 + 0.5)));
    silent->outputFrames = 25;
    loud->outputFrames = 25;
    DeliverySetup setup;
    setup.pal = 1;
    setup.sampleRate = 44100;
    EntryDelivery d({silent.get(), loud.get()}, setup, {});
    EXPECT_EQ(d.sampleSpan(0), 44100u);
    EXPECT_EQ(d.sampleSpan(1), 44100u);
    SoundRun run = pullAll(d, d.sampleSpan(0) + d.sampleSpan(1) - 1);
    ASSERT_EQ(run.pcm.size(), (d.sampleSpan(0) + d.sampleSpan(1)) * 2);
    for (size_t i = 0; i < d.sampleSpan(0) * 2; i += 11) ASSERT_EQ(run.pcm[i], 0);
    // The second entry starts at its own sample 0.
    const size_t at = d.sampleSpan(0) * 2;
    EXPECT_EQ(run.pcm[at], patternSample(0, 0));
    EXPECT_EQ(run.pcm[at + 2], patternSample(1, 0));
}

TEST(SampleDelivery, CompressedSoundIsDecodedToPcm) {
    auto source = soundClip(44100, 2, 16, 25);
    ASSERT_TRUE(source);
    const std::string mp3 =
        testing::transcode("mp3.avi", source->path, "-c:v copy -c:a libmp3lame -b:a 128k");
    ASSERT_FALSE(mp3.empty());
    auto e = open(mp3);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->hasAudio);
    EXPECT_EQ(e->bitsPerSample, 16);
    EXPECT_EQ(e->channels, 2);
    EXPECT_EQ(e->sampleRate, 44100);
    // The container's count includes the encoder's padding frames.
    EXPECT_NEAR(e->totalSamples, 44100, 2 * 1152);
    e->outputFrames = static_cast<uint32_t>(outputFrameCount(*e, 0));
    const double pictureSeconds = e->outputFrames / 29.97;
    DeliverySetup setup;
    setup.sampleRate = 48000;
    EntryDelivery d({e.get()}, setup, {});
    // The sound is cut to the 30 pictures' length (the container counts the
    // encoder's padding too).
    EXPECT_EQ(d.sampleSpan(0), static_cast<uint32_t>(std::floor(pictureSeconds * 44100 + 0.5)));
    SoundRun run = pullAll(d, d.sampleSpan(0) - 1);
    EXPECT_NEAR(run.pcm.size() / 2.0 / 48000, d.sampleSpan(0) / 44100.0, 0.001);
    double energy = 0;
    for (int16_t v : run.pcm) energy += static_cast<double>(v) * v;
    EXPECT_GT(std::sqrt(energy / run.pcm.size()), 1000.0);  // the ramp is there, not silence
}

TEST(SampleDelivery, SoundReadOnItsOwnThreadMatchesTheSoundReadInTurn) {
    // Compressed pictures and sound from one file, so that both sides
    // demux and decode while the other does.
    PatternClip clip;
    clip.width = 64;
    clip.height = 48;
    clip.frames = 50;
    clip.audioRate = 44100;
    clip.audioChannels = 2;
    clip.audioBits = 16;
    const std::string source = patternAvi("alongside.avi", clip);
    const std::string path = testing::transcode("alongside-mp3.avi", source, "-c:v mpeg4 -q:v 4 -c:a libmp3lame -b:a 128k");
    ASSERT_FALSE(path.empty());
    auto inTurnEntry = open(path), alongsideEntry = open(path);
    ASSERT_TRUE(inTurnEntry && alongsideEntry);
    for (InputFileEntry* e : {inTurnEntry.get(), alongsideEntry.get()})
        e->outputFrames = static_cast<uint32_t>(outputFrameCount(*e, 1));
    DeliverySetup setup;
    setup.width = 64;
    setup.height = 48;
    setup.pal = 1;
    setup.sampleRate = 48000;
    setup.readAhead = true;
    const int frames = static_cast<int>(inTurnEntry->outputFrames);

    std::vector<std::vector<uint8_t>> pictures;
    EntryDelivery inTurn({inTurnEntry.get()}, setup, {});
    for (int n = 0; n < frames; ++n) {
        int32_t stride;
        const uint8_t* p;
        ASSERT_EQ(inTurn.getFrame(n, &stride, &p), kFrameOk);
        pictures.emplace_back(p, p + static_cast<size_t>(stride) * setup.height);
    }
    const SoundRun expected = pullAll(inTurn, inTurn.sampleSpan(0) - 1);
    ASSERT_GT(expected.pcm.size(), 40000u);

    // Whatever the sound's side reports must wait for the engine's thread.
    const std::thread::id engineThread = std::this_thread::get_id();
    bool hookOffThread = false;
    DeliveryHooks hooks;
    hooks.logDetail = [&](const std::string&) { hookOffThread |= std::this_thread::get_id() != engineThread; };
    hooks.reportError = [&](const std::string&, const std::string&) {
        hookOffThread |= std::this_thread::get_id() != engineThread;
    };
    EntryDelivery alongside({alongsideEntry.get()}, setup, hooks);
    ASSERT_TRUE(alongside.beginConcurrentSound());
    SoundRun sound;
    std::thread soundThread([&] { sound = pullAll(alongside, alongside.sampleSpan(0) - 1); });
    for (int n = 0; n < frames; ++n) {
        int32_t stride;
        const uint8_t* p;
        ASSERT_EQ(alongside.getFrame(n, &stride, &p), kFrameOk);
        EXPECT_EQ(0, std::memcmp(p, pictures[static_cast<size_t>(n)].data(), pictures[static_cast<size_t>(n)].size()))
            << "picture " << n;
    }
    soundThread.join();
    alongside.endConcurrentSound(true);
    EXPECT_FALSE(hookOffThread);
    EXPECT_EQ(sound.bytes, expected.bytes);
    EXPECT_TRUE(sound.pcm == expected.pcm);
}

}  // namespace
}  // namespace quillon
