// Points the configuration directory at a scratch folder for one test, so
// profile and default.ini files of one test never meet another's.
#pragma once

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace quillon::testing {

class ScopedConfigDir {
public:
    ScopedConfigDir() {
        if (const char* old = std::getenv("QUILLON_CONFIG_DIR")) old_ = old;
        ::setenv("QUILLON_CONFIG_DIR", dir_.path().c_str(), 1);
    }
    ~ScopedConfigDir() {
        if (old_) ::setenv("QUILLON_CONFIG_DIR", old_->c_str(), 1);
        else ::unsetenv("QUILLON_CONFIG_DIR");
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
    }

private:
    TempDir dir_;
    std::optional<std::string> old_;
};

}  // namespace quillon::testing
