// A scratch directory per test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace quillon::testing {

class TempDir {
public:
    TempDir();
    // Under another folder, such as a memory file system.
    explicit TempDir(const std::filesystem::path& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace quillon::testing
