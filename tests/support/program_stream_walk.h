// Program stream helpers shared by the multiplexer and system tests: a
// walker over the packs and packets of a file as written, file reading and
// running external tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

// Runs a shell command; true when it exits with 0. Its output (stdout and
// stderr) goes to *output when given.
bool runCommand(const std::string& command, std::string* output = nullptr);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& data);

struct PacketInfo {
    int streamId = 0;
    size_t offset = 0;
    size_t length = 0;  // whole packet, start code included
    size_t payloadOffset = 0, payloadLength = 0;
    bool hasPts = false, hasDts = false;
    int64_t pts = 0, dts = 0;
    bool bufferField = false;
};

struct PackInfo {
    size_t offset = 0;
    size_t length = 0;  // up to the next pack start, trailing zeros included
    int64_t scr = 0;    // 90 kHz base
    bool systemHeader = false;
    int systemHeaderLength = 0;
    std::vector<PacketInfo> packets;
};

// Walks the packs of a program stream; ok is false when the bytes do not
// parse as packs.
std::vector<PackInfo> walkPacks(const std::vector<uint8_t>& file, bool& ok, bool& endCode);

}  // namespace quillon::testing
