// Opening real AVI files, describing them, and fetching their pictures
// frame-accurately in any order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "input/frame_delivery.h"
#include "input/input_table.h"
#include "input/media_file.h"
#include "tests/input/test_media.h"

namespace quillon {
namespace {

using testing::patternAvi;
using testing::PatternClip;
using testing::readFrameNumber;
using testing::RecordingHost;
using testing::transcode;

std::string rawClip() {
    PatternClip clip;
    clip.width = 96;
    clip.height = 72;
    clip.frames = 60;
    clip.audioChannels = 2;
    return patternAvi("raw96.avi", clip);
}

TEST(MediaInput, OpensAndDescribesARawAviExactly) {
    RecordingHost host;
    InputTable table;
    const std::string path = rawClip();
    ASSERT_TRUE(table.open(path, host)) << (host.messages.empty() ? "" : host.messages[0].text);
    EXPECT_TRUE(host.messages.empty());
    const InputFileEntry& e = table.entry(0);
    EXPECT_EQ(table.selected(), 0);
    EXPECT_TRUE(e.isVideoFile);
    EXPECT_EQ(e.width, 96);
    EXPECT_EQ(e.height, 72);
    EXPECT_DOUBLE_EQ(e.frameRate, 25.0);
    EXPECT_EQ(e.totalFrames, 60u);
    EXPECT_EQ(e.selectedFrames, 60u);
    EXPECT_EQ(e.durationTicks, 24'000'000);
    EXPECT_TRUE(e.hasAudio);
    EXPECT_EQ(e.channels, 2);
    EXPECT_EQ(e.sampleRate, 44100);
    EXPECT_EQ(e.bitsPerSample, 16);
    EXPECT_EQ(e.totalSamples, 44100u * 60 / 25);
    EXPECT_EQ(e.fourCC, "DIB /");  // handler "DIB ", compression BI_RGB (zero bytes)
    EXPECT_EQ(e.decodeRoute, kRouteSequential);
    EXPECT_EQ(standardForEntry(e), 1);

    const auto size = std::filesystem::file_size(path);
    const std::string expected = "File Name: " + path + "\nFile 4CC: DIB /\nFile size: " + std::to_string(size) +
                                 "\n\nVideo:\n  Resolution: 96 x 72\n  Frame Rate: 25.00\n  Total Frames: 60\n"
                                 "  Total Time: 00:00:02.40\n  Selected Frames: 60\n\nAudio:\n  Channels: Stereo\n"
                                 "  Sample Rate: 44.100 kHz\n  Bits per Sample: 16\n  Total samples: 105840\n"
                                 "  Selected samples: 105840\n";
    EXPECT_EQ(describeEntryText(e), expected);
    // The panel also went to the log.
    EXPECT_NE(std::find(host.log.begin(), host.log.end(), "  Resolution: 96 x 72"), host.log.end());
}

TEST(MediaInput, DescribesConvertedSoundAndPicksTheStandard) {
    PatternClip clip;
    clip.width = 16;
    clip.height = 16;
    clip.rateNumerator = 24975;
    clip.rateDenominator = 1000;
    clip.frames = 10;
    clip.audioChannels = 1;
    clip.audioBits = 8;
    clip.audioRate = 22050;
    RecordingHost host;
    InputTable table;
    ASSERT_TRUE(table.open(patternAvi("mono8.avi", clip), host));
    const InputFileEntry& e = table.entry(0);
    EXPECT_EQ(standardForEntry(e), 0);  // 24.975 fps is not PAL
    const auto lines = describeEntry(e);
    auto has = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) != lines.end(); };
    EXPECT_TRUE(has("  Channels: Mono (will be converted to stereo)"));
    EXPECT_TRUE(has("  Sample Rate: 22.05 kHz (will be converted to 44.1 kHz)"));
    EXPECT_TRUE(has("  Bits per Sample: 8 (will be converted to 16)"));
    EXPECT_TRUE(has("  Frame Rate: 24.98"));
    // Times as hh:mm:ss.hh, seconds with two digits before the point.
    EXPECT_TRUE(has("  Total Time: 00:00:00.40"));
    InputFileEntry longer = e;
    longer.media.reset();
    longer.durationTicks = 599'999'000;  // 59.9999 s
    auto longLines = describeEntry(longer);
    EXPECT_NE(std::find(longLines.begin(), longLines.end(), "  Total Time: 00:01:00.00"), longLines.end());
    longer.durationTicks = 37'255'000'000;  // 1 h 2 min 5.5 s
    longLines = describeEntry(longer);
    EXPECT_NE(std::find(longLines.begin(), longLines.end(), "  Total Time: 01:02:05.50"), longLines.end());
    // Samples are counted at the doubled rate.
    EXPECT_NEAR(e.totalSamples, 2.0 * (22050 * 10 * 1000 / 24975), 4);
}

TEST(MediaInput, NoSoundAndRefusedInputs) {
    PatternClip clip;
    clip.width = 16;
    clip.height = 16;
    clip.frames = 5;
    RecordingHost host;
    InputTable table;
    ASSERT_TRUE(table.open(patternAvi("silent.avi", clip), host));
    EXPECT_FALSE(table.entry(0).hasAudio);
    ASSERT_EQ(host.messages.size(), 1u);  // the no-audio warning
    EXPECT_EQ(host.messages[0].caption, "open avi file warning");
    const auto lines = describeEntry(table.entry(0));
    EXPECT_EQ(lines.back(), " Audio: none");

    host.messages.clear();
    EXPECT_FALSE(table.open(testing::mediaDir() + "/script.avs", host));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].text.find("not supported"), std::string::npos);

    host.messages.clear();
    EXPECT_FALSE(table.open(testing::mediaDir() + "/missing.avi", host));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "open avi file error");
    EXPECT_EQ(host.messages[0].text, "Can't open " + testing::mediaDir() + "/missing.avi. (not found)");
    EXPECT_EQ(table.count(), 1);
}

TEST(MediaInput, CorruptAndTruncatedFilesFailCleanly) {
    RecordingHost host;
    InputTable table;
    const std::string garbage = testing::mediaDir() + "/garbage.avi";
    {
        std::ofstream out(garbage, std::ios::binary);
        std::mt19937 rng(7);
        for (int i = 0; i < 20000; ++i) out.put(static_cast<char>(rng()));
    }
    EXPECT_FALSE(table.open(garbage, host));
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.messages[0].caption, "open avi file error");
    EXPECT_EQ(table.count(), 0);

    // Half an MJPEG file: it opens (the headers are intact), early frames
    // come, the missing ones fail with a message instead of a picture.
    const std::string mjpeg = transcode("mjpeg_full.avi", rawClip(), "-c:v mjpeg -q:v 3 -an");
    ASSERT_FALSE(mjpeg.empty());
    const std::string cut = testing::mediaDir() + "/mjpeg_cut.avi";
    {
        std::ifstream in(mjpeg, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream out(cut, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    }
    host.messages.clear();
    ASSERT_TRUE(table.open(cut, host));
    InputFileEntry& e = table.entry(0);
    std::vector<std::string> errors;
    DeliveryHooks hooks;
    hooks.reportError = [&](const std::string& caption, const std::string& text) {
        errors.push_back(caption + ": " + text);
    };
    int aborts = 0;
    hooks.abortJob = [&] { ++aborts; };
    DeliverySetup setup;
    setup.width = 96;
    setup.height = 72;
    setup.pal = 1;
    EntryDelivery delivery({&e}, setup, hooks);
    int32_t stride = 0;
    const uint8_t* pixels = nullptr;
    EXPECT_EQ(delivery.getFrame(2, &stride, &pixels), kFrameOk);
    EXPECT_EQ(delivery.getFrame(static_cast<int>(e.totalFrames) - 1, &stride, &pixels), kFrameDecodeFailed);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("decode video error: Can not get video frame"), std::string::npos);
    EXPECT_EQ(aborts, 1);  // the job must not end as if the input were complete
}

// Pictures in an order like the encoder's (ahead for references, back for
// the pictures between), plus random jumps both ways.
std::vector<int> requestOrder(int frames) {
    std::vector<int> order;
    for (int i = 0; i + 3 <= frames; i += 3) {
        order.push_back(i + 2);
        order.push_back(i);
        order.push_back(i + 1);
    }
    std::mt19937 rng(42);
    for (int i = 0; i < 40; ++i) order.push_back(static_cast<int>(rng() % frames));
    order.push_back(frames - 1);
    order.push_back(0);
    return order;
}

struct CodecCase {
    const char* name;
    const char* args;
};

class FrameAccuracy : public ::testing::TestWithParam<CodecCase> {};

TEST_P(FrameAccuracy, EveryRequestGetsItsOwnFrame) {
    const CodecCase& c = GetParam();
    std::string path = rawClip();
    if (c.args[0]) path = transcode(std::string(c.name) + ".avi", path, c.args);
    ASSERT_FALSE(path.empty());
    RecordingHost host;
    auto entry = openVideoFile(path, host);
    ASSERT_TRUE(entry);
    ASSERT_EQ(entry->totalFrames, 60u);
    Bitmap picture;
    for (int f : requestOrder(60)) {
        std::string why;
        ASSERT_EQ(loadSourcePicture(*entry, f, picture, &why), kFrameOk) << why;
        ASSERT_EQ(readFrameNumber(picture), f) << c.name << " frame " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, FrameAccuracy,
                         ::testing::Values(CodecCase{"raw", ""}, CodecCase{"mjpeg", "-c:v mjpeg -q:v 3 -c:a copy"},
                                           CodecCase{"mpeg4", "-c:v mpeg4 -q:v 3 -g 12 -bf 2 -c:a copy"},
                                           CodecCase{"h264", "-c:v libx264 -preset fast -crf 18 -g 12 -bf 3 -c:a copy"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MediaInput, OddSizesAndNtscRatesFetchExactly) {
    // 29.97 fps, 95 x 71: sizes no macroblock grid divides, through MJPEG.
    PatternClip clip;
    clip.width = 95;
    clip.height = 71;
    clip.rateNumerator = 30000;
    clip.rateDenominator = 1001;
    clip.frames = 30;
    const std::string path = transcode("odd_mjpeg.avi", patternAvi("odd.avi", clip), "-c:v mjpeg -q:v 3");
    RecordingHost host;
    auto entry = openVideoFile(path, host);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->width, 95);
    EXPECT_EQ(entry->height, 71);
    EXPECT_NEAR(entry->frameRate, 29.97, 0.001);
    EXPECT_EQ(entry->totalFrames, 30u);
    Bitmap picture;
    for (int f : requestOrder(30)) {
        ASSERT_EQ(loadSourcePicture(*entry, f, picture, nullptr), kFrameOk);
        ASSERT_EQ(picture.width, 95);
        ASSERT_EQ(readFrameNumber(picture), f) << f;
    }
}

TEST(MediaInput, DecodeRoutesFollowTheDecoderAndCompressor) {
    RecordingHost host;
    auto mpeg4 = openVideoFile(transcode("mpeg4.avi", rawClip(), "-c:v mpeg4 -q:v 3 -g 12 -bf 2 -c:a copy"), host);
    ASSERT_TRUE(mpeg4);
    EXPECT_EQ(mpeg4->decodeRoute, kRouteKeyFrameSequential);  // "MPEG-4 part 2"
    EXPECT_EQ(mpeg4->fourCC.substr(mpeg4->fourCC.find('/') + 1), "FMP4");
    auto mjpeg = openVideoFile(transcode("mjpeg.avi", rawClip(), "-c:v mjpeg -q:v 3 -c:a copy"), host);
    ASSERT_TRUE(mjpeg);
    // Not an uncompressed code and not route 3 or 4: served frame by frame.
    EXPECT_EQ(mjpeg->decodeRoute, kRouteFrameByFrame);
}

}  // namespace
}  // namespace quillon
