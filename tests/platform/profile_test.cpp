#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/profile.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Profile, ReadingRules) {
    ProfileFile p = ProfileFile::parse(
        "key=outside\r\n"
        "[ Video ]\r\n"
        "  MQuant  =   12 apples  \r\n"
        "neg=-42x\n"
        "plus=+7\n"
        "junk=abc\n"
        "empty=\n"
        "; comment=5\n"
        "big=99999999999\n"
        "quoted=\"  spaced  \"\n"
        "dup=1\n"
        "dup=2\n"
        "[audio]\n"
        "rate=44100\n"
        "[VIDEO]\n"
        "late=1\n");
    EXPECT_EQ(p.getInt("video", "mquant", -1), 12);
    EXPECT_EQ(p.getInt("VIDEO", "NEG", 0), -42);
    EXPECT_EQ(p.getInt("video", "plus", 0), 7);
    EXPECT_EQ(p.getInt("video", "junk", 5), 0);   // present but no digits
    EXPECT_EQ(p.getInt("video", "empty", 5), 0);
    EXPECT_EQ(p.getInt("video", "comment", 5), 5);
    EXPECT_EQ(p.getInt("video", "big", 0), 2147483647);
    EXPECT_EQ(p.getInt64("video", "big", 0), 99999999999LL);
    EXPECT_EQ(p.getInt("video", "dup", 0), 1);
    EXPECT_EQ(p.getInt("video", "rate", 3), 3);    // key of another section
    EXPECT_EQ(p.getInt("audio", "rate", 3), 44100);
    EXPECT_EQ(p.getInt("video", "late", 3), 3);    // only the first section counts
    EXPECT_EQ(p.getInt("none", "key", 9), 9);
    EXPECT_EQ(p.getString("video", "mquant", ""), "12 apples");
    EXPECT_EQ(p.getString("video", "quoted", ""), "  spaced  ");
    EXPECT_EQ(p.getString("video", "missing", "fallback"), "fallback");
    EXPECT_EQ(parseProfileInt("  5"), 0);  // values reach the parser trimmed

    ProfileFile longText = ProfileFile::parse("[a]\nt=" + std::string(400, 'x') + "\n");
    EXPECT_EQ(longText.getString("a", "t", "").size(), 259u);

    ProfileFile missing = ProfileFile::load("/nonexistent/dir/file.ini");
    EXPECT_FALSE(missing.loaded());
    EXPECT_EQ(missing.getInt("a", "b", 17), 17);
    EXPECT_EQ(missing.getString("a", "b", "d"), "d");
}

TEST(Profile, WritingKeepsEverythingElse) {
    TempDir dir;
    const std::string path = dir.file("sub/profile.ini");
    ProfileFile p;
    p.set("Quorvel Encoder", "Batch", "1");
    ASSERT_TRUE(p.save(path));  // creates the directory
    EXPECT_EQ(slurp(path), "[Quorvel Encoder]\nBatch=1\n");

    std::ofstream(path) << "; mine\n[Main]\nleft=10\ntop=20\n\n[Other]\nx=1\n";
    ASSERT_TRUE(writePrivateProfileString("main", "TOP", "30", path));
    ASSERT_TRUE(writePrivateProfileString("main", "editFilters", "1", path));
    ASSERT_TRUE(writePrivateProfileString("New", "k", " v ", path));
    EXPECT_EQ(slurp(path),
              "; mine\n[Main]\nleft=10\ntop=30\neditFilters=1\n\n[Other]\nx=1\n\n[New]\nk=\" v \"\n");
    EXPECT_EQ(getPrivateProfileInt("MAIN", "top", 0, path), 30);
    EXPECT_EQ(getPrivateProfileString("new", "k", "", path), " v ");
}

TEST(Profile, ConfigurationDirectory) {
    {
        ScopedEnv a("QUILLON_CONFIG_DIR", "/cfg/q");
        EXPECT_EQ(userConfigDir(), "/cfg/q");
        EXPECT_EQ(userProfilePath(), "/cfg/q/profile.ini");
        EXPECT_EQ(resolveProfileName("default.ini"), "/cfg/q/default.ini");
        EXPECT_EQ(resolveProfileName("./default.ini"), "./default.ini");
        EXPECT_EQ(resolveProfileName("/etc/x.ini"), "/etc/x.ini");
    }
    {
        ScopedEnv a("QUILLON_CONFIG_DIR", nullptr);
        ScopedEnv b("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(userConfigDir(), "/xdg/quillon");
    }
    {
        ScopedEnv a("QUILLON_CONFIG_DIR", nullptr);
        ScopedEnv b("XDG_CONFIG_HOME", nullptr);
        ScopedEnv c("HOME", "/home/someone");
        EXPECT_EQ(userConfigDir(), "/home/someone/.config/quillon");
    }
}

TEST(Profile, UserProfileCalls) {
    TempDir dir;
    ScopedEnv a("QUILLON_CONFIG_DIR", dir.path().c_str());
    EXPECT_EQ(getProfileInt("Quorvel Encoder", "MMXMode", 3), 3);
    ASSERT_TRUE(writeProfileString("Quorvel Encoder", "MMXMode", "1"));
    EXPECT_EQ(getProfileInt("quorvel encoder", "mmxmode", 3), 1);
    EXPECT_EQ(getProfileString("Quorvel Encoder", "MMXMode", ""), "1");
    EXPECT_TRUE(std::ifstream(dir.file("profile.ini")).good());
}

}  // namespace
}  // namespace quillon
