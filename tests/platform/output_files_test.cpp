#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/output_files.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(OutputFiles, SameFileByPathLinkAndHardLink) {
    TempDir dir;
    std::ofstream(dir.file("a.avi")) << "a";
    std::ofstream(dir.file("b.avi")) << "b";
    fs::create_hard_link(dir.file("a.avi"), dir.file("hard.avi"));
    fs::create_symlink(dir.file("a.avi"), dir.file("soft.avi"));
    fs::create_directory(dir.file("sub"));
    fs::create_directory_symlink(dir.file("sub"), dir.file("alias"));

    EXPECT_TRUE(sameFile(dir.file("a.avi"), dir.file("hard.avi")));
    EXPECT_TRUE(sameFile(dir.file("soft.avi"), dir.file("a.avi")));
    EXPECT_TRUE(sameFile(dir.file("sub/../a.avi"), dir.file("a.avi")));
    EXPECT_FALSE(sameFile(dir.file("a.avi"), dir.file("b.avi")));
    // Files still to be made: the same place reached through a linked folder.
    EXPECT_TRUE(sameFile(dir.file("sub/new.mpg"), dir.file("alias/new.mpg")));
    EXPECT_FALSE(sameFile(dir.file("sub/new.mpg"), dir.file("sub/other.mpg")));
    // A relative name and the absolute one.
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_TRUE(sameFile("new.mpg", dir.file("new.mpg")));
    EXPECT_TRUE(sameFile("./a.avi", dir.file("hard.avi")));
    fs::current_path(before);
    EXPECT_FALSE(sameFile("", dir.file("a.avi")));
}

TEST(OutputFiles, MoveIntoPlaceNeverReplacesUnlessAsked) {
    TempDir dir;
    std::ofstream(dir.file("mine")) << "new";
    std::ofstream(dir.file("theirs")) << "old";
    EXPECT_EQ(moveIntoPlace(dir.file("mine"), dir.file("theirs"), false), MoveResult::Exists);
    EXPECT_EQ(contents(dir.file("theirs")), "old");
    EXPECT_EQ(contents(dir.file("mine")), "new");
    EXPECT_EQ(moveIntoPlace(dir.file("mine"), dir.file("free"), false), MoveResult::Moved);
    EXPECT_EQ(contents(dir.file("free")), "new");
    EXPECT_FALSE(fs::exists(dir.file("mine")));
    EXPECT_EQ(moveIntoPlace(dir.file("free"), dir.file("theirs"), true), MoveResult::Moved);
    EXPECT_EQ(contents(dir.file("theirs")), "new");
    EXPECT_EQ(moveIntoPlace(dir.file("gone"), dir.file("x"), false), MoveResult::Failed);
}

TEST(OutputFiles, PrivateNamesAreHiddenBesideTheFileAndKeepItsNumberingPlaces) {
    TempDir dir;
    const std::string near = dir.file("clip.mpg");
    const std::string a = privatePrefix(near, true), b = privatePrefix(near, true);
    EXPECT_NE(a, b);
    EXPECT_EQ(folderPart(a), folderPart(near));
    EXPECT_EQ(namePart(a)[0], '.');
    // No digit and no "." after the folder in a visible prefix: numbering
    // that looks for "00" or the last "." finds them in the final name part.
    const std::string visible = namePart(privatePrefix("clip", false));
    EXPECT_EQ(visible.find_first_of("0123456789."), std::string::npos) << visible;
    EXPECT_EQ(namePart(a).find_first_of("0123456789", 1), std::string::npos) << a;
    EXPECT_EQ(folderPart("clip.mpg"), "");
    EXPECT_EQ(namePart("out/clip.mpg"), "clip.mpg");

    EXPECT_TRUE(createExclusive(a + "clip.mpg"));
    EXPECT_FALSE(createExclusive(a + "clip.mpg"));
    EXPECT_EQ(errno, EEXIST);
}

TEST(OutputFiles, FolderProblemsNameTheFolder) {
    TempDir dir;
    EXPECT_EQ(folderProblem(dir.file("x.mpg")), "");
    EXPECT_EQ(folderProblem("x.mpg"), "");
    EXPECT_EQ(folderProblem(dir.file("missing/x.mpg")), "the folder " + dir.file("missing") + " does not exist");
    std::ofstream(dir.file("plain")) << "a file";
    EXPECT_EQ(folderProblem(dir.file("plain/x.mpg")), dir.file("plain") + " is a file, not a folder");
    EXPECT_EQ(folderProblem(dir.file("plain/sub/x.mpg")),
              "the folder " + dir.file("plain/sub") + " does not exist (a part of it is a file)");
    EXPECT_EQ(fileErrorText(ENOENT), "not found");
    EXPECT_EQ(fileErrorText(EACCES), "no permission");
    if (::geteuid() != 0) {
        fs::create_directory(dir.file("locked"));
        fs::permissions(dir.file("locked"), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(folderProblem(dir.file("locked/x.mpg")),
                  "the folder " + dir.file("locked") + " cannot be written: no permission");
        fs::permissions(dir.file("locked"), fs::perms::owner_all);
    }
}

}  // namespace
}  // namespace quillon
