// End-to-end runs of the multiplex step on elementary streams made by the
// ffmpeg tool, checked with libavformat, vcdimager and dvdauthor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "engine/format.h"
#include "mux/multiplex_step.h"
#include "tests/mux/mux_fixture.h"
#include "tests/support/av_reader.h"

namespace quillon {
namespace {

using testing::PackInfo;
using testing::RecordingHost;

struct Target {
    int kind;
    bool pal;
};

std::string targetName(const ::testing::TestParamInfo<Target>& info) {
    static const char* names[5] = {"Mpeg1", "Vcd", "Mpeg2", "Svcd", "Dvd"};
    return std::string(names[info.param.kind]) + (info.param.pal ? "Pal" : "Ntsc");
}

int leftoverTempFiles(const std::filesystem::path& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind("tmp_", 0) == 0 || name.rfind("tmpa1", 0) == 0) ++n;
    }
    return n;
}

// One job: an engine with target settings and stream names, TMP pointing at
// a scratch directory.
struct MuxJob {
    RecordingHost host;
    Engine engine{host};
    testing::TempDir dir;
    std::filesystem::path tmp;
    std::string savedTmp;
    bool hadTmp = false;
    MuxJob(int kind, bool pal, bool ac3 = false) {
        testing::setMuxTarget(engine.work, kind, pal);
        engine.job.programStreamName = dir.file("out.mpg");
        engine.job.videoStreamName = testing::madeStreams().video(kind, pal);
        engine.job.audioStreamName = ac3 ? testing::madeStreams().ac3()
                                         : testing::madeStreams().mp2(pal, kind == 2 || kind == 4 ? 48000 : 44100);
        tmp = dir.path() / "tmp";
        std::filesystem::create_directory(tmp);
        if (const char* old = std::getenv("TMP")) {
            hadTmp = true;
            savedTmp = old;
        }
        ::setenv("TMP", tmp.c_str(), 1);
    }
    ~MuxJob() {
        if (hadTmp) ::setenv("TMP", savedTmp.c_str(), 1);
        else ::unsetenv("TMP");
    }
    bool run(bool video = true, bool audio = true) { return runMultiplexStep(engine, video, audio); }
    std::string errors() const {
        std::string all;
        for (const std::string& e : host.errors) all += e + "\n";
        return all;
    }
};

// Removes the scan-offset blocks the multiplexer adds to I pictures.
std::vector<uint8_t> withoutScanBlocks(const std::vector<uint8_t>& v, int& removed) {
    std::vector<uint8_t> out;
    removed = 0;
    for (size_t i = 0; i < v.size();) {
        if (i + 18 <= v.size() && v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1 && v[i + 3] == 0xB2 && v[i + 4] == 0x10 &&
            v[i + 5] == 0x0E) {
            i += 18;
            ++removed;
            continue;
        }
        out.push_back(v[i++]);
    }
    return out;
}

class ProgramStreamTypes : public ::testing::TestWithParam<Target> {};

TEST_P(ProgramStreamTypes, PacksDemuxAndCarryTheStreamsUnchanged) {
    const Target t = GetParam();
    MuxJob job(t.kind, t.pal);
    ASSERT_TRUE(job.run()) << job.errors();
    EXPECT_TRUE(job.host.errors.empty()) << job.errors();
    EXPECT_EQ(leftoverTempFiles(job.tmp), 0);

    std::vector<uint8_t> file = testing::readFile(job.engine.job.programStreamName);
    bool ok, endCode;
    std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
    ASSERT_TRUE(ok);
    ASSERT_GT(packs.size(), 20u);
    const int sector = job.engine.work.sectorSize;
    for (size_t i = 0; i < packs.size(); ++i) {
        const PackInfo& p = packs[i];
        bool audioPack = !p.packets.empty() && (p.packets[0].streamId & 0xE0) == 0xC0;
        bool vcdAudioSystemPack = t.kind == 1 && i == 1;
        size_t want = t.kind == 1 && (audioPack || vcdAudioSystemPack) ? sector - 20 : sector;
        // The end sector of the disc formats holds the program end code,
        // which the walker does not count; generic streams end with it bare.
        if (i + 1 == packs.size() && t.kind != 0 && t.kind != 2) want = sector - 4;
        ASSERT_EQ(p.length, want) << "pack " << i;
    }
    EXPECT_TRUE(endCode);
    if (t.kind == 1) {
        EXPECT_TRUE(packs[0].systemHeader);
        EXPECT_TRUE(packs[1].systemHeader);
        ASSERT_FALSE(packs[3].packets.empty());
        EXPECT_EQ(packs[3].packets[0].streamId, 0xC0);
        // 75 packs to the second.
        EXPECT_EQ(packs[1].scr - packs[0].scr, 1200);
    }

    // Time stamps from the packs themselves.
    std::map<int, int64_t> last;
    int64_t firstAudio = -1, firstVideo = INT64_MAX;
    for (const PackInfo& p : packs)
        for (const testing::PacketInfo& k : p.packets) {
            if (k.streamId == 0xE0 && k.hasPts) firstVideo = std::min(firstVideo, k.pts);
            if (k.streamId == 0xC0 && k.hasPts && firstAudio < 0) firstAudio = k.pts;
            int64_t stamp = k.streamId == 0xE0 ? (k.hasDts ? k.dts : -1) : (k.hasPts ? k.pts : -1);
            if (stamp < 0) continue;
            if (last.count(k.streamId)) {
                EXPECT_GT(stamp, last[k.streamId]) << std::hex << k.streamId;
            }
            last[k.streamId] = stamp;
        }
    const int64_t frame = t.pal ? 3600 : 3003;
    EXPECT_LE(std::llabs(firstAudio - firstVideo), frame);

    // What a player reads back.
    testing::DemuxedFile d = testing::demux(job.engine.job.programStreamName);
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.errors, 0);
    std::vector<uint8_t> gotVideo, gotAudio;
    for (const testing::DemuxedPacket& p : d.packets) {
        std::vector<uint8_t>& to = (p.streamId & 0xFF) == 0xE0 ? gotVideo : gotAudio;
        if ((p.streamId & 0xFF) == 0xBF) continue;  // navigation data
        to.insert(to.end(), p.data.begin(), p.data.end());
    }
    std::vector<int> ids;
    for (int id : d.streamIds)
        if ((id & 0xFF) != 0xBF) ids.push_back(id & 0xFF);
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], 0xC0);
    EXPECT_EQ(ids[1], 0xE0);
    if (t.kind == 4) {
        EXPECT_EQ(d.streamIds.size(), 3u);  // and the navigation stream
    }

    std::vector<uint8_t> video = testing::readFile(job.engine.job.videoStreamName);
    std::vector<uint8_t> audio = testing::readFile(job.engine.job.audioStreamName);
    int blocks = 0;
    gotVideo = withoutScanBlocks(gotVideo, blocks);
    EXPECT_EQ(gotVideo.size(), video.size());
    EXPECT_TRUE(gotVideo == video);
    EXPECT_TRUE(gotAudio == audio);
    if (t.kind == 3) {
        EXPECT_GT(blocks, 0);
    } else {
        EXPECT_EQ(blocks, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllTargets, ProgramStreamTypes,
                         ::testing::Values(Target{0, false}, Target{0, true}, Target{1, false}, Target{1, true},
                                           Target{2, false}, Target{2, true}, Target{3, false}, Target{3, true},
                                           Target{4, false}, Target{4, true}),
                         targetName);

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

std::string vcdimager(const MuxJob& job, const char* type) {
    std::string out;
    std::string d = job.dir.path().string();
    testing::runCommand("cd " + d + " && vcdimager -v -t " + type + " -c " + d + "/disc.cue -b " + d + "/disc.bin " +
                            job.engine.job.programStreamName,
                        &out);
    return out;
}

std::vector<std::string> warnings(const std::string& out) {
    std::vector<std::string> w;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(at, end - at);
        if (line.find("WARN") != std::string::npos || line.find("ERR") != std::string::npos) w.push_back(line);
        at = end + 1;
    }
    return w;
}

TEST(DiscAuthoring, VcdIsAcceptedAndOnlyUnpaddedAudioIsNoted) {
    for (int pad = 0; pad < 2; ++pad) {
        MuxJob job(1, pad == 1);
        job.engine.work.padVCDAudio = pad;
        ASSERT_TRUE(job.run()) << job.errors();
        std::string out = vcdimager(job, "vcd2");
        EXPECT_NE(out.find("finished ok"), std::string::npos) << out;
        for (const std::string& w : warnings(out)) {
            bool padNote = w.find("padded on the fly") != std::string::npos || w.find("autopadding") != std::string::npos;
            EXPECT_TRUE(pad == 0 && padNote) << w;
        }
        if (pad == 0) {
            EXPECT_NE(out.find("padded on the fly"), std::string::npos) << out;
        }
    }
}

TEST(DiscAuthoring, SvcdIsAcceptedWithItsScanInformation) {
    for (bool pal : {false, true}) {
        MuxJob job(3, pal);
        ASSERT_TRUE(job.run()) << job.errors();
        std::string out = vcdimager(job, "svcd");
        EXPECT_NE(out.find("finished ok"), std::string::npos) << out;
        // Without scan data vcdimager warns that the stream has none.
        EXPECT_TRUE(warnings(out).empty()) << out;
    }
}

TEST(DiscAuthoring, DvdIsAcceptedAndNavigationPacksLeadEveryGroup) {
    for (bool pal : {false, true}) {
        MuxJob job(4, pal);
        ASSERT_TRUE(job.run()) << job.errors();
        std::string out;
        std::string d = job.dir.path().string();
        std::string format = pal ? "pal" : "ntsc";
        EXPECT_TRUE(testing::runCommand("cd " + d + " && VIDEO_FORMAT=" + format + " dvdauthor -o " +
                                            d + "/dvd -t " + job.engine.job.programStreamName + " && VIDEO_FORMAT=" +
                                            format + " dvdauthor -o " + d + "/dvd -T",
                                        &out))
            << out;
        EXPECT_TRUE(warnings(out).empty()) << out;

        std::vector<uint8_t> file = testing::readFile(job.engine.job.programStreamName);
        bool ok, endCode;
        std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
        ASSERT_TRUE(ok);
        int navPacks = 0, groups = 0;
        for (size_t i = 0; i < packs.size(); ++i) {
            const PackInfo& p = packs[i];
            if (!p.packets.empty() && p.packets[0].streamId == 0xBF) {
                ++navPacks;
                ASSERT_EQ(p.packets.size(), 2u);
                EXPECT_EQ(p.packets[0].length, 986u);
                EXPECT_EQ(p.packets[1].length, 1024u);
                EXPECT_EQ(p.systemHeaderLength, 18);
            }
            for (const testing::PacketInfo& k : p.packets) {
                if (k.streamId != 0xE0) continue;
                const uint8_t* q = &file[k.payloadOffset];
                if (q[0] == 0 && q[1] == 0 && q[2] == 1 && q[3] == 0xB3) {
                    ++groups;
                    // The pack before an I picture's first packet is a
                    // navigation pack, unless audio got in between.
                    size_t j = i - 1;
                    while (j > 0 && !packs[j].packets.empty() && (packs[j].packets[0].streamId == 0xC0)) --j;
                    ASSERT_FALSE(packs[j].packets.empty());
                    EXPECT_EQ(packs[j].packets[0].streamId, 0xBF) << "pack " << i;
                }
            }
        }
        EXPECT_EQ(navPacks, groups);
        EXPECT_GE(groups, 4);
    }
}

}  // namespace
}  // namespace quillon
