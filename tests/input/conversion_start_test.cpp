// From the user's choices to requests: sizes, rates, joiner and batch
// counts, and the batch that stops at the first incomplete output.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "input/conversion_start.h"
#include "tests/input/test_media.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::patternAvi;
using testing::PatternClip;
using testing::RecordingHost;

TEST(ConversionStart, TargetTableAndSizeFields) {
    InputFileEntry e;
    e.width = 321;
    e.height = 239;
    EXPECT_EQ(targetSize(kTargetVcd, 0, &e).height, 240);
    EXPECT_EQ(targetSize(kTargetVcd, 1, &e).height, 288);
    EXPECT_EQ(targetSize(kTargetSvcd, 1, nullptr).width, 480);
    EXPECT_EQ(targetSize(kTargetDvd, 1, nullptr).width, 720);
    EXPECT_EQ(targetSize(kTargetDvd, 1, nullptr).height, 576);
    EXPECT_EQ(targetSize(kTargetMpeg2, 0, &e).width, 320);  // even sides for the engine
    EXPECT_EQ(targetSize(kTargetMpeg1, 0, &e).height, 238);

    EXPECT_EQ(widthFieldValue("500", 352, kTargetMpeg2, true), 496);
    EXPECT_EQ(heightFieldValue("500", 240, kTargetMpeg2, true), 500);
    EXPECT_EQ(heightFieldValue("500", 240, kTargetMpeg1, true), 496);
    EXPECT_EQ(widthFieldValue("500", 352, kTargetMpeg2, false), 500);
    EXPECT_EQ(widthFieldValue("500", 352, kTargetVcd, true), 500);
    for (const char* bad : {"", "31", "1921", "12a", "-40", "3.5"}) EXPECT_EQ(widthFieldValue(bad, 352, 1, true), 352) << bad;
    EXPECT_EQ(heightFieldValue("1153", 240, 1, true), 240);
    EXPECT_EQ(heightFieldValue("1152", 240, 1, true), 1152);
}

TEST(ConversionStart, AudioRateAndFrameCounts) {
    InputFileEntry e;
    e.hasAudio = true;
    e.sampleRate = 22050;
    EXPECT_EQ(requestSampleRate(kTargetVcd, &e), 44100);
    EXPECT_EQ(requestSampleRate(kTargetSvcd, &e), 44100);
    EXPECT_EQ(requestSampleRate(kTargetDvd, &e), 48000);
    EXPECT_EQ(requestSampleRate(kTargetMpeg1, &e), 44100);  // delivered doubled
    e.sampleRate = 32000;
    EXPECT_EQ(requestSampleRate(kTargetMpeg2, &e), 32000);

    e.frameRate = 25;
    e.selectedFrames = 100;
    EXPECT_EQ(lastOutputFrame(e, 0), 118);
    EXPECT_EQ(lastOutputFrame(e, 1), 99);
    e.frameRate = 30000.0 / 1001;
    e.selectedFrames = 60;
    EXPECT_EQ(lastOutputFrame(e, 0), 59);
}

TEST(ConversionStart, JoinerSumsAndBatchStopsAtTheFirstFailure) {
    RecordingHost host;
    InputTable table;
    PatternClip clip;
    clip.width = 32;
    clip.height = 16;
    clip.frames = 25;
    clip.audioChannels = 2;
    clip.audioRate = 32000;
    ASSERT_TRUE(table.open(patternAvi("start_a.avi", clip), host));
    clip.frames = 50;
    clip.audioRate = 48000;
    ASSERT_TRUE(table.open(patternAvi("start_b.avi", clip), host));
    clip.frames = 30;
    clip.audioChannels = 0;
    ASSERT_TRUE(table.open(patternAvi("start_c.avi", clip), host));

    ConversionChoice choice;
    choice.target = kTargetMpeg1;
    choice.pal = 1;
    choice.width = 32;
    choice.height = 16;
    choice.splitEnabled = true;
    choice.maxFileSizeMB = 700;
    auto joined = planConversions(table, choice, {});
    ASSERT_EQ(joined.size(), 1u);
    const ConversionRequest& r = joined[0].request;
    // All 25 + 50 + 30 pictures.
    EXPECT_EQ(r.lastFrame, 25 + 50 + 30 - 1);
    EXPECT_EQ(table.entry(1).outputFrames, 50u);
    EXPECT_EQ(r.sampleRate, 32000);  // the first entry's
    EXPECT_EQ(r.maxFileSize, 700);
    EXPECT_EQ(r.stereo, 1);
    EXPECT_EQ(r.bitsPerSample, 16);
    // Each entry's sound as long as its pictures, and silence for the last
    // entry's 30.
    const int64_t spans = 25 * 32000 / 25 + 50 * 48000 / 25 + 30 * 32000 / 25;
    EXPECT_EQ(r.lastSample, spans - 1);
    EXPECT_EQ(joined[0].outputName, testing::mediaDir() + "/start_a.mpg");

    choice.joiner = false;
    choice.outputDir = "/out";
    auto batch = planConversions(table, choice, {});
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[0].request.lastFrame, 24);
    EXPECT_EQ(batch[1].request.lastSample, 96000 - 1);
    EXPECT_EQ(batch[2].outputName, "/out/start_c.mpg");
    table.entry(1).outputName = "/elsewhere/b.mpg";
    batch = planConversions(table, choice, {});
    EXPECT_EQ(batch[1].outputName, "/elsewhere/b.mpg");

    std::vector<std::string> names;
    int calls = 0;
    int done = runConversions(table, batch, [&](PlannedOutput& out) {
        names.push_back(out.request.outputName);
        EXPECT_EQ(out.request.frameSource, out.delivery.get());
        EXPECT_EQ(table.selected(), out.entries[0]);
        return ++calls == 2 ? 30 : 31;
    });
    EXPECT_EQ(done, 1);
    EXPECT_EQ(calls, 2);  // the third is never started
    EXPECT_EQ(names[1], "/elsewhere/b.mpg");
    EXPECT_EQ(table.selected(), 0);
}

TEST(ConversionStart, BatchOutputsOfOneNameGetNamesOfTheirOwn) {
    std::vector<PlannedOutput> plan(5);
    plan[0].outputName = "out/MVI_0001.mpg";
    plan[1].outputName = "out/MVI_0001.mpg";
    plan[2].outputName = "out/other.mpg";
    plan[3].outputName = "out/./MVI_0001.mpg";  // the same file by another path
    plan[4].outputName = "out/MVI_0001-2.mpg";  // a name the renaming would pick
    // A new name is one no output of the batch has, before or after.
    EXPECT_EQ(giveBatchOutputsOwnNames(plan), (std::vector<int>{1, 3}));
    EXPECT_EQ(plan[0].outputName, "out/MVI_0001.mpg");
    EXPECT_EQ(plan[1].outputName, "out/MVI_0001-3.mpg");
    EXPECT_EQ(plan[2].outputName, "out/other.mpg");
    EXPECT_EQ(plan[3].outputName, "out/./MVI_0001-4.mpg");
    EXPECT_EQ(plan[4].outputName, "out/MVI_0001-2.mpg");
}

TEST(ConversionStart, OutputFilesAreCheckedAgainstInputsEachOtherAndWhatExists) {
    testing::TempDir dir;
    RecordingHost host;
    InputTable table;
    PatternClip clip;
    ASSERT_TRUE(table.open(patternAvi("check_a.avi", clip), host));
    const std::string input = table.entry(0).path;
    auto planFor = [&](std::vector<std::string> names) {
        std::vector<PlannedOutput> plan(names.size());
        for (size_t i = 0; i < names.size(); ++i) plan[i].outputName = names[i];
        return plan;
    };
    PlannedJobFiles extra;  // added to every output's files
    auto filesOf = [&](const PlannedOutput& out) {
        PlannedJobFiles f = extra;
        f.program = out.outputName;
        return f;
    };
    EXPECT_EQ(checkOutputFiles(table, planFor({dir.file("a.mpg")}), filesOf).refusal, "");

    OutputFilesCheck c = checkOutputFiles(table, planFor({input}), filesOf);
    EXPECT_EQ(c.refusal, "The output " + input + " is also an input of this conversion.");
    EXPECT_TRUE(c.conflict);

    c = checkOutputFiles(table, planFor({dir.file("a.mpg"), dir.file("a.mpg")}), filesOf);
    EXPECT_EQ(c.refusal, "The conversion would write " + dir.file("a.mpg") + " twice.");

    // The statistics file is rewritten by every output of a batch, but it
    // may not be an output of its own.
    extra.statistics = dir.file("stats.txt");
    EXPECT_EQ(checkOutputFiles(table, planFor({dir.file("a.mpg"), dir.file("b.mpg")}), filesOf).refusal, "");
    extra.statistics = dir.file("a.mpg");
    EXPECT_TRUE(checkOutputFiles(table, planFor({dir.file("a.mpg")}), filesOf).conflict);
    extra.statistics.clear();

    // A program named like its own stream; streams the job reads count as inputs.
    extra.streamNames = {dir.file("a.mpg")};
    EXPECT_TRUE(checkOutputFiles(table, planFor({dir.file("a.mpg")}), filesOf).conflict);
    extra.streamNames.clear();
    extra.reads = {dir.file("b.mpg")};
    c = checkOutputFiles(table, planFor({dir.file("a.mpg"), dir.file("b.mpg")}), filesOf);
    EXPECT_EQ(c.refusal, "The output " + dir.file("b.mpg") + " is also an input of this conversion.");
    extra.reads.clear();

    // A folder that is not there is no conflict of names.
    c = checkOutputFiles(table, planFor({dir.file("none/a.mpg")}), filesOf);
    EXPECT_EQ(c.refusal, "Unable to write " + dir.file("none/a.mpg") + ": the folder " + dir.file("none") +
                             " does not exist.");
    EXPECT_FALSE(c.conflict);

    // Files there already, split parts included.
    std::ofstream(dir.file("a.mpg")) << "x";
    std::ofstream(dir.file("k.m1v")) << "x";
    std::ofstream(dir.file("s00.mpg")) << "x";
    std::ofstream(dir.file("s01.mpg")) << "x";
    extra.streams = {dir.file("k.m1v")};
    c = checkOutputFiles(table, planFor({dir.file("a.mpg")}), filesOf);
    EXPECT_EQ(c.existing, (std::vector<std::string>{dir.file("a.mpg"), dir.file("k.m1v")}));
    extra.streams.clear();
    extra.split = true;
    c = checkOutputFiles(table, planFor({dir.file("s.mpg")}), filesOf);
    EXPECT_EQ(c.existing, (std::vector<std::string>{dir.file("s00.mpg"), dir.file("s01.mpg")}));
}

TEST(ConversionStart, PelAspectForGenericMpeg1) {
    InputFileEntry e;
    e.width = 640;
    e.height = 480;
    // Proportional scaling keeps square pixels square, at any output size.
    EXPECT_EQ(mpeg1PelAspectCode(e, 640, 480), 1);
    EXPECT_EQ(mpeg1PelAspectCode(e, 352, 240), 1);
    // Stretched to 352x240 a pixel is 0.909 wide for its height: 1.1 high,
    // nearest to the 525-line code.
    e.fillIn = true;
    EXPECT_EQ(mpeg1PelAspectCode(e, 352, 240), 12);
    EXPECT_EQ(mpeg1PelAspectCode(e, 320, 240), 1);
    // A source whose pixels are not square (PAL 4:3 at 720x576: 16/15).
    e.fillIn = false;
    e.width = 720;
    e.height = 576;
    e.pixelAspect = 16.0 / 15.0;
    EXPECT_EQ(mpeg1PelAspectCode(e, 720, 576), 8);

    EncoderSettings s;
    s.videoType = kTargetMpeg1;
    s.aspectRatio = 12;
    EXPECT_TRUE(applyPelAspectCode(s, 1, 12));
    EXPECT_EQ(s.aspectRatio, 1);
    s.aspectRatio = 5;  // the settings file's own code
    EXPECT_FALSE(applyPelAspectCode(s, 1, 5));
    EXPECT_EQ(s.aspectRatio, 5);
    s.videoType = kTargetVcd;
    s.aspectRatio = 8;
    EXPECT_FALSE(applyPelAspectCode(s, 1, 8));
    EXPECT_EQ(s.aspectRatio, 8);
}

}  // namespace
}  // namespace quillon
