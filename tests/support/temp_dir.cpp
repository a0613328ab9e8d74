#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <cstdlib>
#include <stdexcept>

namespace quillon::testing {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& base) {
    std::string pattern = (base / "quillon-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    if (std::getenv("QUILLON_KEEP_TEST_FILES")) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace quillon::testing
