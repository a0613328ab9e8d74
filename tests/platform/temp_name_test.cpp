#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/temp_name.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

class TempNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* t = std::getenv("TMP")) oldTmp_ = t, hadTmp_ = true;
    }
    void TearDown() override {
        if (hadTmp_) ::setenv("TMP", oldTmp_.c_str(), 1);
        else ::unsetenv("TMP");
    }
    std::string oldTmp_;
    bool hadTmp_ = false;
};

TEST_F(TempNames, FirstFreeNameInTheTmpDirectory) {
    TempDir dir;
    ::setenv("TMP", dir.path().c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), dir.path().string() + "/");
    std::ofstream(dir.file("tmp_v1")) << "taken";
    std::string a = createTemporaryFile("tmp_v");
    std::string b = createTemporaryFile("tmp_v");
    EXPECT_EQ(a, dir.file("tmp_v2"));
    EXPECT_EQ(b, dir.file("tmp_v3"));
    EXPECT_TRUE(std::filesystem::exists(a));
    EXPECT_EQ(std::filesystem::file_size(a), 0u);
    std::remove(a.c_str());
    EXPECT_EQ(createTemporaryFile("tmp_v"), dir.file("tmp_v2"));  // freed again
    EXPECT_EQ(createTemporaryFile("tmpa1"), dir.file("tmpa11"));
}

TEST_F(TempNames, CurrentDirectoryWhenTmpIsMissing) {
    TempDir dir;
    ::setenv("TMP", dir.file("not-there").c_str(), 1);
    EXPECT_EQ(temporaryDirectory(), "./");
    ::unsetenv("TMP");
    EXPECT_EQ(temporaryDirectory(), "./");
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::string name = createTemporaryFile("tmp_s");
    std::filesystem::current_path(old);
    EXPECT_EQ(name, "./tmp_s1");
    EXPECT_TRUE(std::filesystem::exists(dir.file("tmp_s1")));
}

TEST_F(TempNames, ParallelCallersNeverShareAName) {
    TempDir dir;
    ::setenv("TMP", dir.path().c_str(), 1);
    std::vector<std::string> names(64);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 16; ++i) names[t * 16 + i] = createTemporaryFile("tmp_a");
        });
    for (auto& th : threads) th.join();
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), 64u);
    EXPECT_EQ(unique.count(""), 0u);
}

TEST_F(TempNames, UnwritableDirectoryGivesNoName) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
    TempDir dir;
    std::filesystem::create_directory(dir.file("ro"));
    std::filesystem::permissions(dir.file("ro"), std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    ::setenv("TMP", dir.file("ro").c_str(), 1);
    EXPECT_EQ(createTemporaryFile("tmp_v"), "");
    std::filesystem::permissions(dir.file("ro"), std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace quillon
