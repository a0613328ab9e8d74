// End-to-end runs of the multiplex step on elementary streams made by the
// ffmpeg tool, checked with libavformat, vcdimager and dvdauthor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "engine/format.h"
#include "mux/multiplex_step.h"
#include "mux/multiplexer.h"
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
    // Full packets carry the payload of their target.
    static const size_t videoPayloads[5] = {2018, 2294, 2012, 2288, 2012};
    static const size_t audioPayloads[5] = {2023, 2279, 2017, 2293, 2017};
    size_t maxVideo = 0, maxAudio = 0;
    for (const PackInfo& p : packs)
        for (const testing::PacketInfo& k : p.packets) {
            if (k.streamId == 0xE0) maxVideo = std::max(maxVideo, k.payloadLength);
            if (k.streamId == 0xC0) maxAudio = std::max(maxAudio, k.payloadLength);
        }
    EXPECT_EQ(maxVideo, videoPayloads[t.kind]);
    EXPECT_EQ(maxAudio, audioPayloads[t.kind]);
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

namespace quillon {
namespace {

std::vector<uint8_t> videoPayloadOf(const std::vector<uint8_t>& file, const PackInfo& p) {
    for (const testing::PacketInfo& k : p.packets)
        if (k.streamId == 0xE0) return {file.begin() + k.payloadOffset, file.begin() + k.payloadOffset + k.payloadLength};
    return {};
}

void checkSplitFiles(bool resetClocks) {
    MuxJob job(2, false);
    job.engine.work.maxFileSize = 1;
    // A mux rate above 1 MB/s puts the split threshold (size less one
    // second of data) below zero, so every GOP of the short test stream
    // starts a new file.
    job.engine.work.userMuxRate = 25200;
    job.engine.work.resetClocks = resetClocks;
    ASSERT_TRUE(job.run()) << job.errors();
    std::vector<std::string> files;
    for (int i = 0; i < 10; ++i) {
        std::string name = job.dir.file(formatText("out%02d.mpg", i));
        if (std::filesystem::exists(name)) files.push_back(name);
    }
    ASSERT_GE(files.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(job.dir.file("out.mpg")));
    int64_t firstDts = -1;
    std::vector<uint8_t> joined;
    for (size_t f = 0; f < files.size(); ++f) {
        std::vector<uint8_t> file = testing::readFile(files[f]);
        bool ok, endCode;
        std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
        ASSERT_TRUE(ok) << files[f];
        // Each file but the last ends its sequence (the test stream itself
        // has no end code); the codes added at the cuts aside, the files
        // hold the stream exactly.
        std::vector<uint8_t> video;
        for (const PackInfo& p : packs) {
            std::vector<uint8_t> v = videoPayloadOf(file, p);
            video.insert(video.end(), v.begin(), v.end());
        }
        ASSERT_GE(video.size(), 4u);
        if (f + 1 < files.size()) {
            EXPECT_TRUE(std::equal(video.end() - 4, video.end(), std::vector<uint8_t>{0, 0, 1, 0xB7}.begin()))
                << files[f];
            video.resize(video.size() - 4);
        }
        joined.insert(joined.end(), video.begin(), video.end());
        EXPECT_TRUE(endCode);
        ASSERT_GT(packs.size(), 2u);
        EXPECT_TRUE(packs[0].systemHeader);
        if (resetClocks || f == 0) {
            EXPECT_EQ(packs[0].scr, 0) << files[f];
        } else {
            EXPECT_GT(packs[0].scr, 0) << files[f];
        }
        // The first video packet starts with a sequence header and an I picture.
        for (const PackInfo& p : packs) {
            std::vector<uint8_t> v = videoPayloadOf(file, p);
            if (v.empty()) continue;
            ASSERT_GE(v.size(), 4u);
            EXPECT_TRUE(v[0] == 0 && v[1] == 0 && v[2] == 1 && v[3] == 0xB3) << files[f];
            for (size_t g = 0; g + 8 < v.size(); ++g)
                if (v[g] == 0 && v[g + 1] == 0 && v[g + 2] == 1 && v[g + 3] == 0xB8) {
                    EXPECT_EQ((v[g + 7] & 0x20) != 0, f > 0) << "broken_link in " << files[f];
                    break;
                }
            for (const testing::PacketInfo& k : p.packets)
                if (k.streamId == 0xE0) {
                    ASSERT_TRUE(k.hasDts);
                    if (f == 0) firstDts = k.dts;
                    else if (resetClocks) EXPECT_EQ(k.dts, firstDts) << files[f];
                    else EXPECT_GT(k.dts, firstDts) << files[f];
                }
            break;
        }
        testing::DecodedVideo d = testing::decodeVideo(files[f]);
        ASSERT_TRUE(d.opened) << files[f];
        ASSERT_FALSE(d.pictures.empty()) << files[f];
        EXPECT_GT(testing::decodeAudio(files[f]).frames, 0) << files[f];
    }
    // Broken links aside (one bit in each later file's first GOP header).
    std::vector<uint8_t> original = testing::readFile(job.engine.job.videoStreamName);
    ASSERT_EQ(joined.size(), original.size());
    size_t differing = 0;
    for (size_t i = 0; i < joined.size(); ++i)
        if (joined[i] != original[i]) {
            ++differing;
            EXPECT_EQ(joined[i] ^ original[i], 0x20) << i;
        }
    EXPECT_EQ(differing, files.size() - 1);
    EXPECT_EQ(leftoverTempFiles(job.tmp), 0);
}

TEST(Splitting, NumberedFilesEachStartAtAnIPictureWithItsSequenceHeader) { checkSplitFiles(true); }

TEST(Splitting, WithoutResetClocksTheTimeStampsRunOn) { checkSplitFiles(false); }

TEST(SplitNames, CounterReplacesZerosOrGoesBeforeTheExtension) {
    EXPECT_EQ(splitFileName("/a/movie.mpg", 0), "/a/movie00.mpg");
    EXPECT_EQ(splitFileName("/a/movie.mpg", 10), "/a/movie10.mpg");
    EXPECT_EQ(splitFileName("/a/clip00x.mpg", 3), "/a/clip03x.mpg");
    EXPECT_EQ(splitFileName("/dir00/movie", 1), "/dir00/movie01");
    EXPECT_EQ(splitFileName("/v.1/movie", 2), "/v.1/movie02");
}

uint32_t decodeOffset(const uint8_t* b) {
    auto unbcd = [](uint8_t v) { return static_cast<uint32_t>((v >> 4) * 10 + (v & 15)); };
    if (b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF) return 0xFFFFFFFF;
    return unbcd(b[0]) * 4500 + unbcd(b[1] & 0x7F) * 75 + unbcd(b[2] & 0x7F);
}

TEST(SvcdScanOffsets, PointAtThePacksOfTheNeighbouringIPictures) {
    MuxJob job(3, true);
    ASSERT_TRUE(job.run()) << job.errors();
    EXPECT_TRUE(job.host.loggedPrefix("  Finished calculating SVCD scan offsets for file"));
    std::vector<uint8_t> file = testing::readFile(job.engine.job.programStreamName);
    bool ok, endCode;
    std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
    ASSERT_TRUE(ok);
    std::vector<uint32_t> iPacks;
    std::vector<size_t> blockAt;
    for (size_t i = 0; i < packs.size(); ++i) {
        std::vector<uint8_t> v = videoPayloadOf(file, packs[i]);
        for (size_t j = 0; j + 6 <= v.size(); ++j)
            if (v[j] == 0 && v[j + 1] == 0 && v[j + 2] == 1 && v[j + 3] == 0xB2 && v[j + 4] == 0x10 && v[j + 5] == 0x0E) {
                iPacks.push_back(static_cast<uint32_t>(i));
                // file offset of the twelve offset bytes
                for (const testing::PacketInfo& k : packs[i].packets)
                    if (k.streamId == 0xE0) blockAt.push_back(k.payloadOffset + j + 6);
            }
    }
    const int n = static_cast<int>(iPacks.size());
    ASSERT_GE(n, 4);
    const int R = 15;  // 25 pictures a second, GOPs of 12
    for (int i = 0; i < n; ++i) {
        const uint8_t* o = &file[blockAt[i]];
        EXPECT_EQ(decodeOffset(o), i == 0 ? 0xFFFFFFFF : iPacks[i - 1]) << i;
        EXPECT_EQ(decodeOffset(o + 3), i == n - 1 ? 0xFFFFFFFF : iPacks[i + 1]) << i;
        EXPECT_EQ(decodeOffset(o + 6), iPacks[i >= R ? i - R : 0]) << i;
        EXPECT_EQ(decodeOffset(o + 9), iPacks[i >= n - R - 1 ? n - 1 : i + R]) << i;
    }
}

TEST(Ac3Audio, TravelsInPrivateStreamOneWithFrameCountsAndPointers) {
    MuxJob job(4, false, true);
    ASSERT_TRUE(job.run()) << job.errors();
    EXPECT_TRUE(job.host.logged("  AC3 audio stream information"));
    std::vector<uint8_t> file = testing::readFile(job.engine.job.programStreamName);
    std::vector<uint8_t> ac3 = testing::readFile(job.engine.job.audioStreamName);
    bool ok, endCode;
    std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
    ASSERT_TRUE(ok);
    const size_t frame = 768;  // 192 kbit/s at 48 kHz
    size_t position = 0;
    int packets = 0;
    for (const PackInfo& p : packs) {
        EXPECT_EQ(p.length, packs.back().offset == p.offset ? 2044u : 2048u);
        for (const testing::PacketInfo& k : p.packets) {
            if (k.streamId != 0xBD) continue;
            ++packets;
            const uint8_t* q = &file[k.payloadOffset];
            ASSERT_EQ(q[0], 0x80);
            size_t data = k.payloadLength - 4;
            int starts = 0;
            size_t first = 0;
            for (size_t b = 0; b < data; ++b)
                if ((position + b) % frame == 0) {
                    if (starts++ == 0) first = b;
                }
            EXPECT_EQ(q[1], starts);
            if (starts) {
                EXPECT_EQ((q[2] << 8) | q[3], static_cast<int>(first + 1));
            }
            ASSERT_TRUE(std::equal(q + 4, q + 4 + data, ac3.begin() + static_cast<long>(position)));
            position += data;
        }
    }
    EXPECT_EQ(position, ac3.size());
    EXPECT_GT(packets, 10);
    testing::DemuxedFile d = testing::demux(job.engine.job.programStreamName);
    ASSERT_TRUE(d.opened);
    bool sawAc3 = false;
    for (int id : d.streamIds) sawAc3 |= id == 0x80;
    EXPECT_TRUE(sawAc3);
    EXPECT_GT(testing::decodeAudio(job.engine.job.programStreamName).frames, 50);
}

struct BadInput {
    const char* what;
};

TEST(BadInput, EachGivesItsMessageAFailedStepAndNoUnitsFile) {
    struct Case {
        std::string name;
        std::function<void(MuxJob&)> prepare;
        std::string message;
    };
    std::vector<Case> cases = {
        {"no sequence header",
         [](MuxJob& j) {
             std::string p = j.dir.file("bad.m2v");
             testing::writeFile(p, {0, 0, 1, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8});
             j.engine.job.videoStreamName = p;
         },
         "File %V is not a 11172-2 or 13818-2 Video stream."},
        {"not audio",
         [](MuxJob& j) {
             std::string p = j.dir.file("bad.mpa");
             testing::writeFile(p, std::vector<uint8_t>(3000, 0x42));
             j.engine.job.audioStreamName = p;
         },
         "File %A is not an AC3 or MPEG Audio stream."},
        {"missing", [](MuxJob& j) { j.engine.job.audioStreamName = j.dir.file("missing.mpa"); },
         "Input file %A was not found."},
        {"unwritable", [](MuxJob& j) { j.engine.job.programStreamName = "/nonexistent-dir/out.mpg"; },
         "Unable to open program file /nonexistent-dir/out.mpg."},
        {"audio scan fails after the video scan",
         [](MuxJob& j) {
             // Passes the sync check but its ID bit is 0.
             std::string p = j.dir.file("lsf.mpa");
             testing::writeFile(p, {0xFF, 0xF4, 0x90, 0x00, 0, 0, 0, 0});
             j.engine.job.audioStreamName = p;
         },
         "Error in MPEG stream at offset (bits) 12: supposed marker bit not found."},
    };
    for (const Case& c : cases) {
        MuxJob job(3, false);
        c.prepare(job);
        std::string want = c.message;
        size_t at;
        if ((at = want.find("%V")) != std::string::npos) want.replace(at, 2, job.engine.job.videoStreamName);
        if ((at = want.find("%A")) != std::string::npos) want.replace(at, 2, job.engine.job.audioStreamName);
        EXPECT_FALSE(job.run()) << c.name;
        ASSERT_EQ(job.host.errors.size(), 1u) << c.name << "\n" << job.errors();
        EXPECT_EQ(job.host.errors[0], "Quorvel Encoder - error: " + want) << c.name;
        EXPECT_EQ(leftoverTempFiles(job.tmp), 0) << c.name;
    }
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

std::vector<PackInfo> packsOf(const std::string& path, std::vector<uint8_t>* bytes = nullptr) {
    std::vector<uint8_t> file = testing::readFile(path);
    bool ok, endCode;
    std::vector<PackInfo> packs = testing::walkPacks(file, ok, endCode);
    EXPECT_TRUE(ok) << path;
    if (bytes) *bytes = std::move(file);
    return packs;
}

TEST(MultiplexOptions, StartTimeBeyondTheStreamFailsBeforeWriting) {
    MuxJob job(0, true);
    job.engine.work.muxStartTime = 5;
    EXPECT_FALSE(job.run());
    ASSERT_EQ(job.host.errors.size(), 1u);
    EXPECT_EQ(job.host.errors[0], "Quorvel Encoder - error: Mux start time is greater than the total time 2 seconds.");
    EXPECT_FALSE(std::filesystem::exists(job.engine.job.programStreamName));
    EXPECT_EQ(leftoverTempFiles(job.tmp), 0);
}

TEST(MultiplexOptions, StartAndStopTimesCutAtIPictures) {
    MuxJob whole(0, true);
    ASSERT_TRUE(whole.run());
    const size_t all = testing::decodeVideo(whole.engine.job.programStreamName).pictures.size();

    MuxJob start(0, true);
    start.engine.work.muxStartTime = 1;
    ASSERT_TRUE(start.run()) << start.errors();
    std::vector<uint8_t> bytes;
    std::vector<PackInfo> packs = packsOf(start.engine.job.programStreamName, &bytes);
    ASSERT_FALSE(packs.empty());
    EXPECT_TRUE(packs[0].systemHeader);
    EXPECT_EQ(packs[0].scr, 0);
    testing::DecodedVideo cut = testing::decodeVideo(start.engine.job.programStreamName);
    EXPECT_LT(cut.pictures.size(), all * 3 / 4);
    EXPECT_GT(cut.pictures.size(), 6u);
    EXPECT_GT(testing::decodeAudio(start.engine.job.programStreamName).frames, 10);

    MuxJob stop(0, true);
    stop.engine.work.muxStopTime = 1;
    ASSERT_TRUE(stop.run()) << stop.errors();
    testing::DecodedVideo head = testing::decodeVideo(stop.engine.job.programStreamName);
    EXPECT_LT(head.pictures.size(), all * 3 / 4);
    EXPECT_GE(head.pictures.size(), 20u);
    testing::DecodedAudio sound = testing::decodeAudio(stop.engine.job.programStreamName);
    // The cut falls where the stopping GOP's first picture would show, and
    // the sound stops there with the pictures.
    const double videoSeconds = head.pictures.size() * 0.04;
    const double audioSeconds = sound.frames * 1152 / 44100.0;
    EXPECT_NEAR(audioSeconds, videoSeconds, 0.06);
}

TEST(MultiplexOptions, AlwaysWriteSysHeaderPutsOneInEveryPack) {
    MuxJob job(0, false);
    job.engine.work.alwaysWriteSysHeader = 1;
    ASSERT_TRUE(job.run()) << job.errors();
    std::vector<PackInfo> packs = packsOf(job.engine.job.programStreamName);
    ASSERT_GT(packs.size(), 10u);
    size_t maxVideo = 0;
    for (size_t i = 0; i + 1 < packs.size(); ++i) {
        EXPECT_TRUE(packs[i].systemHeader) << i;
        EXPECT_EQ(packs[i].systemHeaderLength, 12) << i;
        EXPECT_EQ(packs[i].length, 2048u) << i;
        for (const testing::PacketInfo& k : packs[i].packets)
            if (k.streamId == 0xE0) maxVideo = std::max(maxVideo, k.payloadLength);
    }
    EXPECT_EQ(maxVideo, 2048u - 51 + 3);
    EXPECT_TRUE(testing::decodeVideo(job.engine.job.programStreamName).pictures.size() > 40);
}

TEST(MultiplexOptions, TooLowAMuxRateIsNotedWithAdvice) {
    MuxJob job(2, false);
    job.engine.work.userMuxRate = 1500;  // 75,000 bytes/s for a stream of about twice that
    ASSERT_TRUE(job.run()) << job.errors();
    EXPECT_TRUE(job.host.logged("    NOTE: Mux rate may be too low for data rate, watch for PTS/DTS underflows."));
    EXPECT_TRUE(job.host.loggedPrefix("    video DTS ("));
    EXPECT_TRUE(job.host.logged("    NOTE: The resulting file may not play back correctly."));
    EXPECT_TRUE(job.host.logged("    Try increasing the mux rate."));
}

TEST(MultiplexOptions, VariableRateWritesNoFillerAndJumpsTheClock) {
    MuxJob job(0, false);
    ASSERT_EQ(job.engine.work.vbrMultiplex, 1);
    ASSERT_TRUE(job.run()) << job.errors();
    std::vector<PackInfo> packs = packsOf(job.engine.job.programStreamName);
    int padding = 0;
    int64_t largestStep = 0;
    for (size_t i = 0; i < packs.size(); ++i) {
        if (packs[i].packets.size() == 1 && packs[i].packets[0].streamId == 0xBE) ++padding;
        if (i > 0) largestStep = std::max(largestStep, packs[i].scr - packs[i - 1].scr);
    }
    EXPECT_EQ(padding, 1);  // the system header pack only
    const int64_t packTime90k = 90000 / static_cast<int64_t>(packs.size() / 2 + 1);
    EXPECT_GT(largestStep, packTime90k);

    MuxJob constant(0, false);
    constant.engine.work.vbrMultiplex = 0;
    ASSERT_TRUE(constant.run());
    std::vector<PackInfo> cbr = packsOf(constant.engine.job.programStreamName);
    int cbrPadding = 0;
    for (const PackInfo& p : cbr)
        if (p.packets.size() == 1 && p.packets[0].streamId == 0xBE) ++cbrPadding;
    EXPECT_GT(cbrPadding, 1);
    for (size_t i = 1; i + 1 < cbr.size(); ++i) ASSERT_EQ(cbr[i].scr - cbr[i - 1].scr, cbr[1].scr - cbr[0].scr) << i;
}

TEST(MultiplexOptions, StatisticsFileGetsTheReportTable) {
    MuxJob job(1, false);
    std::string stats = job.dir.file("stats.txt");
    job.engine.job.statisticsFile = std::fopen(stats.c_str(), "w");
    ASSERT_TRUE(job.engine.job.statisticsFile);
    ASSERT_TRUE(job.run()) << job.errors();
    std::fclose(job.engine.job.statisticsFile);
    job.engine.job.statisticsFile = nullptr;
    std::vector<uint8_t> raw = testing::readFile(stats);
    std::string text(raw.begin(), raw.end());
    EXPECT_NE(text.find("Multiplexing file " + job.engine.job.programStreamName + "\n\n"), std::string::npos);
    EXPECT_NE(text.find("  |  Audio1 |  Audio2 |  Video  | Padding | Bytes  MPEG | Audio1 | Audio2 | Video  |\n"),
              std::string::npos);
    EXPECT_NE(text.find("  |file  end|         |"), std::string::npos);
    EXPECT_NE(text.find("  |         |         |file  end|"), std::string::npos);
    size_t rows = 0;
    for (size_t at = 0; (at = text.find("\n  | ", at)) != std::string::npos; ++at) ++rows;
    std::vector<PackInfo> packs = packsOf(job.engine.job.programStreamName);
    // One row per pack before the end sector, a last row, the header's two
    // caption rows and the video's end marker.
    EXPECT_EQ(rows, packs.size() - 1 + 1 + 2 + 1);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

TEST(SingleStreams, VideoAloneOrAudioAloneFillTheirSectors) {
    for (int kind : {0, 1, 3}) {
        for (int which = 0; which < 2; ++which) {
            MuxJob job(kind, false);
            ASSERT_TRUE(job.run(which == 0, which == 1)) << job.errors();
            std::vector<PackInfo> packs = packsOf(job.engine.job.programStreamName);
            ASSERT_GT(packs.size(), 5u);
            const size_t sector = static_cast<size_t>(job.engine.work.sectorSize);
            for (size_t i = 0; i + 1 < packs.size(); ++i) {
                // VCD audio packs, and the audio system header pack, are 20
                // short; padding packs fill the sector.
                bool audioPack = i == 0 || (!packs[i].packets.empty() && packs[i].packets[0].streamId == 0xC0);
                size_t want = kind == 1 && which == 1 && audioPack ? sector - 20 : sector;
                EXPECT_EQ(packs[i].length, want) << kind << " " << which << " pack " << i;
            }
            EXPECT_TRUE(packs[0].systemHeader);
            EXPECT_EQ(packs[0].systemHeaderLength, 9);
            testing::DemuxedFile d = testing::demux(job.engine.job.programStreamName);
            ASSERT_TRUE(d.opened);
            EXPECT_EQ(d.streamIds.size(), 1u);
        }
    }
}

TEST(BadSettings, ABufferSmallerThanAPacketIsRefusedNotSpunOn) {
    MuxJob job(0, false);
    job.engine.work.audioBufferSize = 1;
    EXPECT_FALSE(job.run());
    ASSERT_EQ(job.host.errors.size(), 1u);
    EXPECT_EQ(job.host.errors[0],
              "Quorvel Encoder - error: The audio buffer size of 1 KB is smaller than one packet of 2023 bytes.");
    EXPECT_FALSE(std::filesystem::exists(job.engine.job.programStreamName));
    EXPECT_EQ(leftoverTempFiles(job.tmp), 0);
}

TEST(Stop, AStoppedStepFailsWithoutAMessageAndLeavesNoUnitsFile) {
    MuxJob job(3, false);
    job.engine.job.stopRequested = true;
    EXPECT_FALSE(job.run());
    EXPECT_TRUE(job.host.errors.empty()) << job.errors();
    EXPECT_EQ(leftoverTempFiles(job.tmp), 0);
}

}  // namespace
}  // namespace quillon
