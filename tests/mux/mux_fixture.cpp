#include "tests/mux/mux_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "engine/format.h"
#include "engine/presets.h"

namespace quillon::testing {

bool RecordingHost::logged(const std::string& text) const {
    return std::find(log.begin(), log.end(), text) != log.end();
}

bool RecordingHost::loggedPrefix(const std::string& prefix) const {
    for (const std::string& l : log)
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

void setMuxTarget(EncoderSettings& s, int kind, bool pal) { applyPreset(s, kind, pal ? 1 : 0, 1); }

bool runCommand(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
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

// The streams are made once into the build tree and shared by every test
// process (ctest runs each test on its own); a stream is written under a
// private name and renamed into place, so parallel tests never see half a
// file.
std::string cacheDir() {
#ifdef QUILLON_MUX_INPUTS
    std::string dir = QUILLON_MUX_INPUTS;
#else
    std::string dir = (std::filesystem::temp_directory_path() / "quillon-mux-inputs").string();
#endif
    std::filesystem::create_directories(dir);
    return dir;
}

std::string make(const std::string& key, const std::string& args, const std::string& ext) {
    std::string path = cacheDir() + "/" + key + ext;
    if (std::filesystem::exists(path)) return path;
    std::string partial = path + formatText(".%d.part", static_cast<int>(::getpid())) + ext;
    std::string out;
    bool ok = runCommand("ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " " + partial, &out);
    if (!ok) {
        std::fprintf(stderr, "ffmpeg failed for %s: %s\n", key.c_str(), out.c_str());
        std::remove(partial.c_str());
        return path;
    }
    std::rename(partial.c_str(), path.c_str());
    return path;
}

}  // namespace

std::string MadeStreams::video(int kind, bool pal) {
    static const char* sizesNtsc[5] = {"352x240", "352x240", "720x480", "480x480", "720x480"};
    static const char* sizesPal[5] = {"352x288", "352x288", "720x576", "480x576", "720x576"};
    std::string size = pal ? sizesPal[kind] : sizesNtsc[kind];
    std::string rate = pal ? "25" : "30000/1001";
    int gop = pal ? 12 : 15;
    std::string codec = kind >= 2 ? "mpeg2video" : "mpeg1video";
    std::string bitrate;
    switch (kind) {
    case 3: bitrate = "-b:v 2000k -maxrate 2400k -bufsize 1835008"; break;
    case 4: bitrate = "-b:v 4000k -maxrate 8000k -bufsize 1835008"; break;
    default: bitrate = kind >= 2 ? "-b:v 3000k -maxrate 5000k -bufsize 1835008" : "-b:v 1500k -maxrate 2000k -bufsize 327680"; break;
    }
    if (kind == 1) bitrate = "-b:v 1150k -minrate 1150k -maxrate 1150k -bufsize 327680";
    std::string aspect = kind >= 2 ? " -aspect 4:3" : "";
    std::string args = "-f lavfi -i testsrc=size=" + size + ":rate=" + rate + ":duration=2 -c:v " + codec +
                       " -g " + std::to_string(gop) + " -bf 2 " + bitrate + aspect + " -f " +
                       (kind >= 2 ? "mpeg2video" : "mpeg1video");
    return make(formatText("video%d%s", kind, pal ? "p" : "n"), args, kind >= 2 ? ".m2v" : ".m1v");
}

std::string MadeStreams::mp2(bool pal, int rate) {
    (void)pal;
    std::string args = "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate) +
                       ":duration=2 -ac 2 -c:a mp2 -b:a 224k -f mp2";
    return make(formatText("audio%d", rate), args, ".mpa");
}

std::string MadeStreams::ac3() {
    return make("ac3", "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 2 -c:a ac3 -b:a 192k -f ac3",
                ".ac3");
}

MadeStreams& madeStreams() {
    static MadeStreams m;
    return m;
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
