#include "tests/mux/mux_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
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

std::string MadeStreams::smallMpeg1(int width, int height, int seconds) {
    std::string args = formatText("-f lavfi -i testsrc=size=%dx%d:rate=25:duration=%d -c:v mpeg1video -g 15 -bf 2 "
                                  "-b:v 200k -f mpeg1video",
                                  width, height, seconds);
    return make(formatText("small%dx%d_%d", width, height, seconds), args, ".m1v");
}

MadeStreams& madeStreams() {
    static MadeStreams m;
    return m;
}

}  // namespace quillon::testing
