// Image lists: ten pictures in three formats, one per second; a missing
// picture; the entry limit.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "input/conversion_start.h"
#include "input/frame_delivery.h"
#include "input/input_table.h"
#include "tests/input/test_media.h"

namespace quillon {
namespace {

using testing::RecordingHost;

// Ten numbered pictures: 0-3 JPEG, 4-6 PNG, 7-9 BMP, listed with relative
// paths.
std::string tenPictureList() {
    const std::string dir = testing::mediaDir() + "/pictures";
    const std::string list = dir + "/ten.lst";
    if (std::filesystem::exists(list)) return list;
    std::filesystem::create_directories(dir);
    testing::PatternClip clip;
    clip.width = 128;
    clip.height = 96;
    clip.frames = 10;
    const std::string avi = testing::patternAvi("pictures.avi", clip);
    const char* kinds[] = {"jpg", "jpg", "jpg", "jpg", "png", "png", "png", "bmp", "bmp", "bmp"};
    std::ofstream out(list);
    for (int i = 0; i < 10; ++i) {
        const std::string name = "p" + std::to_string(i) + "." + kinds[i];
        const std::string cmd = "ffmpeg -nostdin -y -v error -i '" + avi + "' -vf 'select=eq(n\\," +
                                std::to_string(i) + ")' -frames:v 1 -q:v 2 '" + dir + "/" + name + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        out << name << (i % 2 ? "\r\n" : "\n");
    }
    return list;
}

TEST(ImageList, TenPicturesAreTenSecondsAtTheTargetRate) {
    RecordingHost host;
    InputTable table;
    ASSERT_TRUE(table.open(tenPictureList(), host)) << (host.messages.empty() ? "" : host.messages[0].text);
    InputFileEntry& e = table.entry(0);
    EXPECT_FALSE(e.isVideoFile);
    EXPECT_FALSE(e.hasAudio);
    EXPECT_EQ(e.totalFrames, 10u);
    EXPECT_DOUBLE_EQ(e.frameRate, 1.0);
    EXPECT_EQ(e.width, 128);
    EXPECT_EQ(e.height, 96);
    const auto lines = describeEntry(e);
    EXPECT_EQ(lines[0], "File List Name: " + e.path);
    EXPECT_EQ(lines[5], "  Filename: " + e.listFile[0]);
    EXPECT_EQ(lines.back(), " Audio: none");

    for (int pal : {1, 0}) {
        ConversionChoice choice;
        choice.pal = pal;
        choice.width = 128;
        choice.height = 96;
        auto plan = planConversions(table, choice, {});
        ASSERT_EQ(plan.size(), 1u);
        // 10 seconds: 250 (PAL) or 299 (NTSC) frames, numbered from 0.
        EXPECT_EQ(plan[0].request.lastFrame, pal ? 249 : 298);
        EntryDelivery& d = *plan[0].delivery;
        const double fps = pal ? 25 : 29.97;
        for (int n = 0; n <= plan[0].request.lastFrame; n += 7) {
            int32_t stride;
            const uint8_t* px;
            ASSERT_EQ(d.getFrame(n, &stride, &px), kFrameOk);
            Bitmap b;
            b.allocate(128, 96);
            std::memcpy(b.pixels.data(), px, b.pixels.size());
            ASSERT_EQ(testing::readFrameNumber(b), std::min(9, static_cast<int>(n / fps + 1e-6))) << n;
            // Right way up and colours in place for every format.
            ASSERT_TRUE(testing::near(testing::pixelAt(b, 20, 40), 0, 0, 255));
            ASSERT_TRUE(testing::near(testing::pixelAt(b, 20, 85), 255, 0, 0));
        }
        // The silence runs as long as the pictures.
        EXPECT_NEAR(plan[0].request.lastSample / 44100.0, 10.0, 0.05);
    }
}

TEST(ImageList, AMissingPictureGivesItsCodeAndMessage) {
    const std::string dir = testing::mediaDir() + "/pictures";
    tenPictureList();
    const std::string list = dir + "/gap.lst";
    {
        std::ofstream out(list);
        out << "p0.jpg\nnot-there.png\n\np4.png\n";
    }
    RecordingHost host;
    InputTable table;
    ASSERT_TRUE(table.open(list, host));
    EXPECT_EQ(table.entry(0).totalFrames, 3u);  // the blank line names no picture
    std::vector<std::string> errors;
    DeliveryHooks hooks;
    hooks.reportError = [&](const std::string& caption, const std::string& text) { errors.push_back(caption + "|" + text); };
    DeliverySetup setup;
    setup.pal = 1;
    InputFileEntry* e = &table.entry(0);
    EntryDelivery d({e}, setup, hooks);
    int32_t stride;
    const uint8_t* px;
    EXPECT_EQ(d.getFrame(0, &stride, &px), kFrameOk);
    EXPECT_EQ(d.getFrame(25, &stride, &px), kFramePictureLoadFailed);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("not-there.png"), std::string::npos);
    EXPECT_NE(errors[0].find("line 2"), std::string::npos);
    EXPECT_EQ(d.getFrame(50, &stride, &px), kFrameOk);

    // A list whose first picture is missing does not open.
    const std::string bad = dir + "/bad.lst";
    {
        std::ofstream out(bad);
        out << "nothing.bmp\n";
    }
    host.messages.clear();
    EXPECT_FALSE(table.open(bad, host));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "add file error");
    EXPECT_EQ(host.messages[0].text.rfind("Error reading file " + dir + "/nothing.bmp.", 0), 0u);
}

TEST(ImageList, TheTableHoldsAtMost256Entries) {
    const std::string dir = testing::mediaDir() + "/pictures";
    tenPictureList();
    const std::string list = dir + "/one.lst";
    {
        std::ofstream out(list);
        out << "p7.bmp\n";
    }
    RecordingHost host;
    InputTable table;
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(table.open(list, host));
    EXPECT_EQ(table.selected(), 255);
    host.messages.clear();
    EXPECT_FALSE(table.open(list, host));
    EXPECT_EQ(table.count(), 256);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "add file list error");
    EXPECT_EQ(host.messages[0].text, "The maximum number (256) of files has been opened.");
    EXPECT_FALSE(table.open(testing::mediaDir() + "/any.avi", host));
    EXPECT_EQ(host.messages.back().caption, "open avi file error");

    // Removing and moving keep the selection on the same entry.
    table.select(10);
    table.remove(3);
    EXPECT_EQ(table.selected(), 9);
    EXPECT_TRUE(table.moveUp(9));
    EXPECT_EQ(table.selected(), 8);
    EXPECT_FALSE(table.moveUp(0));
    EXPECT_FALSE(table.moveDown(table.count() - 1));
}

// A picture opened on its own is a list of one line: one second of it.
TEST(ImageList, APictureAloneIsOneSecond) {
    const std::string dir = std::filesystem::path(tenPictureList()).parent_path().string();
    for (const char* name : {"p2.jpg", "p5.png", "p8.bmp"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(isPicturePath(path));
        RecordingHost host;
        InputTable table;
        ASSERT_TRUE(table.open(path, host)) << (host.messages.empty() ? "" : host.messages[0].text);
        InputFileEntry& e = table.entry(0);
        EXPECT_FALSE(e.isVideoFile);
        EXPECT_EQ(e.totalFrames, 1u);
        EXPECT_DOUBLE_EQ(e.frameRate, 1.0);
        EXPECT_EQ(e.width, 128);
        DeliverySetup setup;
        setup.width = 128;
        setup.height = 96;
        setup.pal = 1;
        e.outputFrames = static_cast<uint32_t>(outputFrameCount(e, 1));
        EXPECT_EQ(e.outputFrames, 25u);
        EntryDelivery d({&e}, setup, {});
        int32_t stride = 0;
        const uint8_t* px = nullptr;
        ASSERT_EQ(d.getFrame(24, &stride, &px), kFrameOk);
        Bitmap shown;
        shown.allocate(128, 96);
        for (int y = 0; y < 96; ++y) std::memcpy(shown.topRow(y), px + static_cast<size_t>(95 - y) * stride, 128 * 4);
        EXPECT_EQ(testing::readFrameNumber(shown), name[1] - '0');
    }
    EXPECT_TRUE(isPicturePath("/x/Holiday.JPEG"));
    EXPECT_FALSE(isPicturePath("/x/clip.avi"));
    EXPECT_FALSE(isPicturePath("/x/png"));
}

}  // namespace
}  // namespace quillon
