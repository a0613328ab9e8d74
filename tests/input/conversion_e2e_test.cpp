// Whole conversions through the real encoders and multiplexer: each input
// kind to the targets, joiner and batch, and failing inputs. The program
// streams are read back with libavformat/libavcodec.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/terminal_host.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/standard_phases.h"
#include "input/conversion_start.h"
#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::patternAvi;
using testing::PatternClip;

struct Job {
    std::FILE* sink = std::tmpfile();
    std::unique_ptr<TerminalHost> host;
    std::unique_ptr<Engine> engine;
    InputTable table;
    std::vector<std::string> messages;

    Job() {
        TerminalHost::Options o;
        o.out = sink;
        o.interactive = 0;
        o.progressBar = 0;
        o.quiet = true;
        host = std::make_unique<TerminalHost>(o);
        engine = std::make_unique<Engine>(*host);
    }
    ~Job() {
        if (sink) std::fclose(sink);
    }
    std::string output() {
        std::fflush(sink);
        std::rewind(sink);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
        return text;
    }
    bool open(const std::string& path) { return table.open(path, *host); }
    // Returns the number of completed outputs.
    int run(ConversionChoice choice, std::vector<PlannedOutput>* planOut = nullptr) {
        initEngine(*engine, choice.pal * 16 + choice.target);
        engine->setPhases(&standardPhases());
        DeliveryHooks hooks;
        hooks.pump = [this] {
            engine->pumpMessages();
            return engine->stopRequested();
        };
        hooks.reportError = [this](const std::string& caption, const std::string& text) {
            messages.push_back(caption + ": " + text);
        };
        hooks.abortJob = [this] { engine->job.stopRequested = true; };
        auto plan = planConversions(table, choice, hooks);
        int done = runConversions(table, plan, [&](PlannedOutput& out) { return engineConvert(*engine, out.request); });
        if (planOut) *planOut = std::move(plan);
        return done;
    }
};

const char* kTargetNames[] = {"mpeg1", "vcd", "mpeg2", "svcd", "dvd"};

// Source 128x96 (4:3) at 25 fps, 10 frames, 44.1 kHz stereo.
std::string smallClip(int frames = 10, int channels = 2, int rate = 44100, int bits = 16) {
    PatternClip clip;
    clip.width = 128;
    clip.height = 96;
    clip.frames = frames;
    clip.audioChannels = channels;
    clip.audioRate = rate;
    clip.audioBits = bits;
    return patternAvi("e2e_" + std::to_string(frames) + "_" + std::to_string(channels) + "_" + std::to_string(rate) +
                          "_" + std::to_string(bits) + ".avi",
                      clip);
}

void expectStreams(const std::string& path, int frames, int sampleRate, double fps) {
    testing::DecodedVideo video = testing::decodeVideo(path);
    ASSERT_TRUE(video.opened) << path;
    EXPECT_EQ(static_cast<int>(video.pictures.size()), frames) << path;
    testing::DecodedAudio audio = testing::decodeAudio(path);
    ASSERT_TRUE(audio.opened) << path;
    EXPECT_EQ(audio.sampleRate, sampleRate);
    ASSERT_GT(audio.channels, 0);
    const double audioSeconds = static_cast<double>(audio.samples.size()) / audio.channels / sampleRate;
    const double videoSeconds = frames / fps;
    EXPECT_NEAR(audioSeconds, videoSeconds, 1152.0 / sampleRate + 1e-3) << path;
}

TEST(Conversion, RawInputToEveryTarget) {
    for (int pal : {0, 1}) {
        for (int target = 0; target < 5; ++target) {
            SCOPED_TRACE(std::string(kTargetNames[target]) + (pal ? " PAL" : " NTSC"));
            testing::TempDir out;
            Job job;
            ASSERT_TRUE(job.open(smallClip()));
            ConversionChoice choice;
            choice.target = target;
            choice.pal = pal;
            const OutputSize size = targetSize(target, pal, &job.table.entry(0));
            choice.width = size.width;
            choice.height = size.height;
            choice.outputName = out.file("out.mpg");
            std::vector<PlannedOutput> plan;
            ASSERT_EQ(job.run(choice, &plan), 1) << job.output();
            const int frames = plan[0].request.lastFrame + 1;
            EXPECT_EQ(frames, static_cast<int>(std::floor(10 * (pal ? 25 : 29.97) / 25 + 0.005)));
            expectStreams(choice.outputName, frames, plan[0].request.sampleRate, pal ? 25 : 29.97);
        }
    }
}

// Y, Cb, Cr at a point of a decoded picture.
struct Ycc {
    int y, cb, cr;
};
Ycc sample(const testing::DecodedPicture& p, int x, int y) {
    const int cx = x * p.chromaWidth / p.width, cy = y * p.chromaHeight / p.height;
    return {p.y[static_cast<size_t>(y) * p.width + x], p.cb[static_cast<size_t>(cy) * p.chromaWidth + cx],
            p.cr[static_cast<size_t>(cy) * p.chromaWidth + cx]};
}

TEST(Conversion, ThePictureLandsWhereItShould) {
    testing::TempDir out;
    Job job;
    ASSERT_TRUE(job.open(smallClip()));
    ConversionChoice choice;
    choice.target = kTargetVcd;
    choice.pal = 0;
    choice.width = 352;
    choice.height = 240;
    choice.outputName = out.file("vcd.mpg");
    ASSERT_EQ(job.run(choice), 1) << job.output();
    testing::DecodedVideo video = testing::decodeVideo(choice.outputName);
    ASSERT_FALSE(video.pictures.empty());
    const testing::DecodedPicture& p = video.pictures[video.pictures.size() / 2];
    // 128x96 scaled by 2.5 to 320x240: 16-pixel black bars left and right.
    EXPECT_LT(sample(p, 6, 120).y, 40);
    EXPECT_LT(sample(p, 345, 120).y, 40);
    // Pattern rows: bits on top (60 rows), then red | green over blue | yellow.
    const Ycc red = sample(p, 16 + 80, 100), green = sample(p, 16 + 240, 100);
    const Ycc blue = sample(p, 16 + 80, 200), yellow = sample(p, 16 + 240, 200);
    EXPECT_GT(red.cr, 190);
    EXPECT_LT(red.cb, 128);
    EXPECT_LT(green.cr, 80);
    EXPECT_LT(green.cb, 80);
    EXPECT_GT(blue.cb, 190);
    EXPECT_LT(blue.cr, 140);
    EXPECT_GT(yellow.y, 170);
    EXPECT_LT(yellow.cb, 60);

    // Fill: no bars, the red region reaches the left edge.
    choice.outputName = out.file("fill.mpg");
    job.table.entry(0).fillIn = true;
    ASSERT_EQ(job.run(choice), 1);
    testing::DecodedVideo filled = testing::decodeVideo(choice.outputName);
    ASSERT_FALSE(filled.pictures.empty());
    EXPECT_GT(sample(filled.pictures[0], 6, 100).cr, 190);
}

TEST(Conversion, EachInputKindConvertsToEveryTarget) {
    struct Kind {
        const char* name;
        std::string path;
    };
    const std::string raw = smallClip(12);
    std::vector<Kind> kinds = {
        {"mjpeg", testing::transcode("e2e_mjpeg.avi", raw, "-c:v mjpeg -q:v 3 -c:a copy")},
        {"mpeg4", testing::transcode("e2e_mpeg4.avi", raw, "-c:v mpeg4 -q:v 3 -bf 2 -c:a copy")},
        {"h264", testing::transcode("e2e_h264.avi", raw, "-c:v libx264 -preset ultrafast -c:a copy")},
        {"mp3", testing::transcode("e2e_mp3.avi", raw, "-c:v copy -c:a libmp3lame")},
        {"pcm8mono22k", smallClip(12, 1, 22050, 8)},
        {"pcm16mono8k", smallClip(12, 1, 8000, 16)},
        {"silent", smallClip(12, 0)},
    };
    PatternClip odd;
    odd.width = 95;
    odd.height = 71;
    odd.rateNumerator = 30000;
    odd.rateDenominator = 1001;
    odd.frames = 12;
    odd.audioChannels = 2;
    odd.audioRate = 32000;
    kinds.push_back({"odd2997", patternAvi("e2e_odd.avi", odd)});
    PatternClip film = odd;
    film.width = 64;
    film.height = 48;
    film.rateNumerator = 24000;
    film.audioRate = 48000;
    kinds.push_back({"film23976", patternAvi("e2e_film.avi", film)});
    int pal = 0;
    for (const Kind& k : kinds) {
        ASSERT_FALSE(k.path.empty()) << k.name;
        for (int target = 0; target < 5; ++target) {
            // Both standards for every target, spread over the kinds.
            pal = 1 - pal;
            SCOPED_TRACE(std::string(k.name) + " to " + kTargetNames[target] + (pal ? " PAL" : " NTSC"));
            testing::TempDir out;
            Job job;
            ASSERT_TRUE(job.open(k.path));
            ConversionChoice choice;
            choice.target = target;
            choice.pal = pal;
            const OutputSize size = targetSize(target, pal, &job.table.entry(0));
            choice.width = widthFieldValue(std::to_string(std::max(size.width, 32)), 352, target, true);
            choice.height = heightFieldValue(std::to_string(std::max(size.height, 32)), 240, target, true);
            choice.outputName = out.file("out.mpg");
            std::vector<PlannedOutput> plan;
            ASSERT_EQ(job.run(choice, &plan), 1) << job.output();
            const int frames = plan[0].request.lastFrame + 1;
            EXPECT_EQ(frames, lastOutputFrame(job.table.entry(0), pal) + 1);
            testing::DecodedVideo video = testing::decodeVideo(choice.outputName);
            EXPECT_EQ(static_cast<int>(video.pictures.size()), frames);
            EXPECT_EQ(video.width, choice.width);
            EXPECT_NEAR(video.frameRate, pal ? 25 : 29.97, 0.01);
            testing::DecodedAudio audio = testing::decodeAudio(choice.outputName);
            ASSERT_TRUE(audio.opened);
            EXPECT_EQ(audio.sampleRate, plan[0].request.sampleRate);
            const double fps = pal ? 25 : 29.97;
            const double audioSeconds = static_cast<double>(audio.samples.size()) / audio.channels / audio.sampleRate;
            EXPECT_NEAR(audioSeconds, frames / fps, 1152.0 / audio.sampleRate + 1e-3);
        }
    }
}

// Seconds of picture and of sound in a program stream, as a player sees them.
struct Durations {
    int pictures = 0;
    double frameRate = 0;
    double videoSeconds = 0;
    double audioSeconds = 0;
};
Durations durationsOf(const std::string& path) {
    Durations d;
    testing::DecodedVideo video = testing::decodeVideo(path);
    testing::DecodedAudio audio = testing::decodeAudio(path);
    d.pictures = static_cast<int>(video.pictures.size());
    d.frameRate = video.frameRate;
    if (video.frameRate > 0) d.videoSeconds = d.pictures / video.frameRate;
    if (audio.opened && audio.channels > 0 && audio.sampleRate > 0)
        d.audioSeconds = static_cast<double>(audio.samples.size()) / audio.channels / audio.sampleRate;
    return d;
}

TEST(Conversion, AJoinedOutputHasEveryPictureOfItsInputsAndSoundInStep) {
    testing::TempDir out;
    PatternClip clip;
    clip.width = 64;
    clip.height = 48;
    clip.audioChannels = 2;
    clip.frames = 250;
    const std::string longer = patternAvi("join250.avi", clip);
    clip.frames = 125;
    const std::string shorter = patternAvi("join125.avi", clip);
    {
        Job job;
        ASSERT_TRUE(job.open(longer));
        ASSERT_TRUE(job.open(shorter));
        ConversionChoice choice;
        choice.target = kTargetMpeg1;
        choice.pal = 1;
        choice.width = 64;
        choice.height = 48;
        choice.outputName = out.file("375.mpg");
        ASSERT_EQ(job.run(choice), 1) << job.output();
        const Durations d = durationsOf(choice.outputName);
        EXPECT_EQ(d.pictures, 375);
        EXPECT_NEAR(d.audioSeconds, d.videoSeconds, 1 / 25.0);
    }
    // Rates that do not divide evenly, an entry without sound between two
    // with different sample rates, NTSC from 25 fps: the sound of each entry
    // lasts as long as its pictures, so the whole stays in step.
    clip.frames = 30;
    clip.audioRate = 48000;
    const std::string a = patternAvi("join30_48k.avi", clip);
    clip.frames = 20;
    clip.audioChannels = 0;
    const std::string silent = patternAvi("join20_silent.avi", clip);
    clip.frames = 17;
    clip.audioChannels = 1;
    clip.audioRate = 22050;
    clip.rateNumerator = 24000;
    clip.rateDenominator = 1001;
    const std::string film = patternAvi("join17_film.avi", clip);
    Job job;
    ASSERT_TRUE(job.open(a));
    ASSERT_TRUE(job.open(silent));
    ASSERT_TRUE(job.open(film));
    ConversionChoice choice;
    choice.target = kTargetMpeg1;
    choice.pal = 0;
    choice.width = 64;
    choice.height = 48;
    choice.outputName = out.file("mixed.mpg");
    ASSERT_EQ(job.run(choice), 1) << job.output();
    const Durations d = durationsOf(choice.outputName);
    int expected = 0;
    for (int i = 0; i < 3; ++i) expected += outputFrameCount(job.table.entry(i), 0);
    EXPECT_EQ(d.pictures, expected);
    EXPECT_NEAR(d.frameRate, 29.97, 0.01);
    EXPECT_NEAR(d.audioSeconds, d.videoSeconds, 1 / 29.97);
}

// A picture too big for the standard's rate at the usual level once took
// the other standard's rate, so the pictures ran a fifth longer than the
// sound. Every target keeps the rate of the standard chosen.
TEST(Conversion, TheChosenStandardsRateHoldsForLargePictures) {
    PatternClip clip;
    clip.width = 720;
    clip.height = 576;
    clip.frames = 10;
    clip.audioChannels = 2;
    const std::string pal = patternAvi("pal720.avi", clip);
    for (int target : {kTargetMpeg1, kTargetMpeg2}) {
        SCOPED_TRACE(kTargetNames[target]);
        testing::TempDir out;
        Job job;
        ASSERT_TRUE(job.open(pal));
        ConversionChoice choice;
        choice.target = target;
        choice.pal = 0;
        choice.width = 720;
        choice.height = 576;
        choice.outputName = out.file("ntsc.mpg");
        ASSERT_EQ(job.run(choice), 1) << job.output();
        const Durations d = durationsOf(choice.outputName);
        EXPECT_EQ(d.pictures, outputFrameCount(job.table.entry(0), 0));
        EXPECT_NEAR(d.frameRate, 29.97, 0.01);
        EXPECT_NEAR(d.audioSeconds, d.videoSeconds, 1 / 29.97);
    }
}

TEST(Conversion, JoinerBatchAndAFailingInput) {
    testing::TempDir out;
    Job job;
    ASSERT_TRUE(job.open(smallClip(10)));
    ASSERT_TRUE(job.open(smallClip(15)));
    ASSERT_TRUE(job.open(smallClip(20, 0)));
    ConversionChoice choice;
    choice.target = kTargetMpeg1;
    choice.pal = 1;
    choice.width = 128;
    choice.height = 96;
    choice.outputName = out.file("joined.mpg");
    ASSERT_EQ(job.run(choice), 1) << job.output();
    testing::DecodedVideo joined = testing::decodeVideo(choice.outputName);
    EXPECT_EQ(joined.pictures.size(), 10u + 15u + 20u);

    choice.joiner = false;
    choice.outputDir = out.path().string();
    std::vector<PlannedOutput> plan;
    ASSERT_EQ(job.run(choice, &plan), 3);
    for (int i = 0; i < 3; ++i) {
        testing::DecodedVideo v = testing::decodeVideo(plan[static_cast<size_t>(i)].outputName);
        EXPECT_EQ(static_cast<int>(v.pictures.size()), (i == 0 ? 10 : i == 1 ? 15 : 20));
    }

    // A list whose second picture is gone stops the batch at that entry.
    const std::string dir = out.file("pics");
    std::filesystem::create_directories(dir);
    ASSERT_EQ(std::system(("ffmpeg -nostdin -y -v error -i '" + smallClip(10) + "' -frames:v 1 '" + dir + "/a.png'").c_str()), 0);
    {
        std::ofstream(dir + "/broken.lst") << "a.png\nmissing.png\n";
    }
    Job batch;
    ASSERT_TRUE(batch.open(smallClip(10)));
    ASSERT_TRUE(batch.open(dir + "/broken.lst"));
    ASSERT_TRUE(batch.open(smallClip(15)));
    choice.outputDir = out.file("batch2");
    std::filesystem::create_directories(choice.outputDir);
    ASSERT_EQ(batch.run(choice, &plan), 1);
    ASSERT_FALSE(batch.messages.empty());
    EXPECT_NE(batch.messages[0].find("missing.png"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(plan[2].outputName));
}

TEST(Conversion, ImageListAndTruncatedFile) {
    testing::TempDir out;
    const std::string dir = out.file("pics");
    std::filesystem::create_directories(dir);
    PatternClip clip;
    clip.width = 64;
    clip.height = 48;
    clip.frames = 10;
    const std::string avi = patternAvi("e2e_pics.avi", clip);
    std::ofstream list(dir + "/ten.lst");
    const char* ext[] = {"jpg", "png", "bmp"};
    for (int i = 0; i < 10; ++i) {
        const std::string name = "p" + std::to_string(i) + "." + ext[i % 3];
        const std::string cmd = "ffmpeg -nostdin -y -v error -i '" + avi + "' -vf 'select=eq(n\\," + std::to_string(i) +
                                ")' -frames:v 1 '" + dir + "/" + name + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        list << name << "\n";
    }
    list.close();
    Job job;
    ASSERT_TRUE(job.open(dir + "/ten.lst"));
    ConversionChoice choice;
    choice.target = kTargetMpeg1;
    choice.pal = 1;
    choice.width = 64;
    choice.height = 48;
    choice.outputName = out.file("pics.mpg");
    ASSERT_EQ(job.run(choice), 1) << job.output();
    EXPECT_EQ(testing::decodeVideo(choice.outputName).pictures.size(), 250u);  // 10 s at 25 fps

    // Half a file: the conversion fails with the frame's message.
    const std::string full = testing::transcode("e2e_cut_src.avi", smallClip(25), "-c:v mjpeg -c:a copy");
    std::ifstream in(full, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string cut = out.file("cut.avi");
    std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    Job broken;
    ASSERT_TRUE(broken.open(cut));
    choice.outputName = out.file("cut.mpg");
    choice.width = 128;
    choice.height = 96;
    EXPECT_EQ(broken.run(choice), 0);
    ASSERT_FALSE(broken.messages.empty());
    EXPECT_NE(broken.messages[0].find("Can not get video frame"), std::string::npos);
}

}  // namespace
}  // namespace quillon
