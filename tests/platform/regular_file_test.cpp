#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/profile.h"
#include "platform/regular_file.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

TEST(RegularFile, ReadsFilesWholeAndRefusesWhatIsNoFileWithoutWaiting) {
    testing::TempDir dir;
    const std::string file = dir.file("a.ini");
    std::ofstream(file, std::ios::binary) << "[x]\nk=1\n";
    std::string text, why;
    EXPECT_EQ(readRegularFile(file, 100, text, &why), FileCheck::Ok);
    EXPECT_EQ(text, "[x]\nk=1\n");
    EXPECT_EQ(readRegularFile(file, 7, text, &why), FileCheck::Refused);
    EXPECT_EQ(why, "is larger than 7 bytes");
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(checkRegularFile(file, 0, &why), FileCheck::Ok);

    EXPECT_EQ(readRegularFile(dir.file("none"), 100, text, &why), FileCheck::Missing);
    EXPECT_EQ(readRegularFile(dir.file("none/deeper"), 100, text, &why), FileCheck::Missing);
    EXPECT_EQ(readRegularFile(dir.path().string(), 100, text, &why), FileCheck::Refused);
    EXPECT_EQ(why, "is a folder, not a file");

    // A device that never ends and a pipe nobody writes to: both refused at
    // once instead of read without end or waited on.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(readRegularFile("/dev/zero", kMaxSmallFileBytes, text, &why), FileCheck::Refused);
    EXPECT_EQ(why, "is not a regular file (a device or a pipe)");
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readRegularFile(fifo, kMaxSmallFileBytes, text, &why), FileCheck::Refused);
    EXPECT_EQ(checkRegularFile(fifo, 0, &why), FileCheck::Refused);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    if (::geteuid() != 0) {  // root reads anything
        ::chmod(file.c_str(), 0);
        EXPECT_EQ(readRegularFile(file, 100, text, &why), FileCheck::Refused);
        EXPECT_EQ(why.rfind("cannot be read: ", 0), 0u) << why;
    }
}

TEST(RegularFile, ProfilesThatAreNoFilesLoadEmptyWithTheReason) {
    testing::TempDir dir;
    std::string refused;
    ProfileFile p = ProfileFile::load("/dev/zero", &refused);
    EXPECT_FALSE(p.loaded());
    EXPECT_EQ(refused, "/dev/zero is not a regular file (a device or a pipe).");
    p = ProfileFile::load(dir.file("missing.ini"), &refused);
    EXPECT_FALSE(p.loaded());
    EXPECT_EQ(refused, "");
    std::ofstream(dir.file("big.ini"), std::ios::binary) << std::string(kMaxSmallFileBytes + 1, ';');
    p = ProfileFile::load(dir.file("big.ini"), &refused);
    EXPECT_FALSE(p.loaded());
    EXPECT_EQ(refused, dir.file("big.ini") + " is larger than 1048576 bytes.");
    std::ofstream(dir.file("ok.ini"), std::ios::binary) << "[s]\nkey=value\n";
    p = ProfileFile::load(dir.file("ok.ini"), &refused);
    EXPECT_TRUE(p.loaded());
    EXPECT_EQ(refused, "");
    EXPECT_EQ(p.getString("s", "key", ""), "value");
}

}  // namespace
}  // namespace quillon
