#include "tests/support/program_stream_walk.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace quillon::testing {

bool runCommand(const std::string& command, std::string* output) {
    // In a subshell, so that the output of every command of a chain is caught.
    std::string full = "(" + command + ") 2>&1";
    std::FILE* p = ::popen(full.c_str(), "r");
    if (!p) return false;
    std::array<char, 4096> buf;
    std::string text;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) text.append(buf.data(), n);
    int status = ::pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

namespace {

int64_t readTimestamp(const uint8_t* p) {
    return (static_cast<int64_t>((p[0] >> 1) & 7) << 30) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] >> 1) << 15) | (static_cast<int64_t>(p[3]) << 7) | (p[4] >> 1);
}

}  // namespace

std::vector<PackInfo> walkPacks(const std::vector<uint8_t>& f, bool& ok, bool& endCode) {
    std::vector<PackInfo> packs;
    ok = true;
    endCode = false;
    size_t i = 0;
    auto startCode = [&](size_t at, int code) {
        return at + 4 <= f.size() && f[at] == 0 && f[at + 1] == 0 && f[at + 2] == 1 && (code < 0 || f[at + 3] == code);
    };
    while (i < f.size()) {
        if (startCode(i, 0xB9)) {
            endCode = true;
            i += 4;
            break;
        }
        if (!startCode(i, 0xBA)) {
            ok = false;
            return packs;
        }
        PackInfo pack;
        pack.offset = i;
        bool mpeg2 = (f[i + 4] & 0xC0) == 0x40;
        if (mpeg2) {
            const uint8_t* p = &f[i + 4];
            pack.scr = (static_cast<int64_t>((p[0] >> 3) & 7) << 30) | (static_cast<int64_t>(p[0] & 3) << 28) |
                       (static_cast<int64_t>(p[1]) << 20) | (static_cast<int64_t>(p[2] >> 3) << 15) |
                       (static_cast<int64_t>(p[2] & 3) << 13) | (static_cast<int64_t>(p[3]) << 5) | (p[4] >> 3);
            i += 14 + (f[i + 13] & 7);
        } else {
            pack.scr = readTimestamp(&f[i + 4]);
            i += 12;
        }
        while (i < f.size() && startCode(i, -1) && f[i + 3] != 0xBA && f[i + 3] != 0xB9) {
            int id = f[i + 3];
            size_t len = (static_cast<size_t>(f[i + 4]) << 8) | f[i + 5];
            if (id == 0xBB) {
                pack.systemHeader = true;
                pack.systemHeaderLength = static_cast<int>(len);
                i += 6 + len;
                continue;
            }
            PacketInfo pk;
            pk.streamId = id;
            pk.offset = i;
            pk.length = 6 + len;
            size_t h = i + 6, end = i + 6 + len;
            if (end > f.size()) {
                ok = false;
                return packs;
            }
            if (id != 0xBE && id != 0xBF) {
                if (mpeg2) {
                    int flags = f[h + 1];
                    int hlen = f[h + 2];
                    if (flags & 0x80) {
                        pk.hasPts = true;
                        pk.pts = readTimestamp(&f[h + 3]);
                    }
                    if ((flags & 0xC0) == 0xC0) {
                        pk.hasDts = true;
                        pk.dts = readTimestamp(&f[h + 8]);
                    }
                    pk.bufferField = flags & 1;
                    pk.payloadOffset = h + 3 + hlen;
                } else {
                    while (f[h] == 0xFF) ++h;
                    if ((f[h] & 0xC0) == 0x40) {
                        pk.bufferField = true;
                        h += 2;
                    }
                    if ((f[h] & 0xF0) == 0x20) {
                        pk.hasPts = true;
                        pk.pts = readTimestamp(&f[h]);
                        h += 5;
                    } else if ((f[h] & 0xF0) == 0x30) {
                        pk.hasPts = pk.hasDts = true;
                        pk.pts = readTimestamp(&f[h]);
                        pk.dts = readTimestamp(&f[h + 5]);
                        h += 10;
                    } else {
                        h += 1;
                    }
                    pk.payloadOffset = h;
                }
                pk.payloadLength = end - pk.payloadOffset;
            }
            pack.packets.push_back(pk);
            i = end;
        }
        while (i < f.size() && f[i] == 0 && !startCode(i, 0xBA) && !startCode(i, 0xB9)) ++i;
        pack.length = i - pack.offset;
        packs.push_back(pack);
    }
    if (i != f.size()) ok = false;
    return packs;
}

}  // namespace quillon::testing
