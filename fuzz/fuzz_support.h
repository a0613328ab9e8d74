// Shared pieces of the fuzz targets: a host that swallows every message, and
// a private scratch directory (on /dev/shm when it exists) for the files the
// readers insist on opening by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/host.h"

namespace quillon::fuzz {

class SilentHost : public Host {
public:
    void messageBox(const std::string&, const std::string&, MessageIcon, bool) override {}
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

// The process's scratch directory, made on first use and removed at exit.
const std::string& scratchDir();
std::string scratchFile(const std::string& name);
// Replaces the file's contents; aborts when the scratch file system refuses.
void writeScratch(const std::string& path, const uint8_t* data, size_t size);

}  // namespace quillon::fuzz
