// The whole program on every target: `quillon convert` on AVI files written
// by our own writer, the program streams read back by libavformat and
// libavcodec, decoded strictly by the ffmpeg tool, and authored by
// vcdimager and dvdauthor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "engine/format.h"
#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::PackInfo;
using testing::PacketInfo;

const char* kTargets[5] = {"mpeg1", "vcd", "mpeg2", "svcd", "dvd"};
constexpr size_t kSector[5] = {2048, 2324, 2048, 2324, 2048};

// Two seconds at the target's own rate, so the output frame count is the
// source's: 60 frames at 29.97 or 50 at 25, 44.1 kHz stereo.
std::string sourceClip(bool pal) {
    testing::PatternClip clip;
    clip.width = 160;
    clip.height = 120;
    clip.rateNumerator = pal ? 25 : 30000;
    clip.rateDenominator = pal ? 1 : 1001;
    clip.frames = pal ? 50 : 60;
    clip.audioChannels = 2;
    clip.audioRate = 44100;
    return testing::patternAvi(pal ? "pal.avi" : "ntsc.avi", clip);
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// One run of the command in a scratch folder, with TMP in a folder of its own
// so that left-over temporary files show.
struct Conversion {
    testing::TempDir dir;
    std::string out = dir.file("out.mpg");
    std::string tmp = dir.file("tmp");
    bool ok = false;
    std::string log;

    Conversion(int kind, bool pal, const std::string& extra = "") {
        fs::create_directory(tmp);
        const std::string command = "cd " + quote(dir.path().string()) + " && TMP=" + quote(tmp) + " " +
                                    QUILLON_BINARY + " convert -t " + kTargets[kind] + (pal ? " --pal" : " --ntsc") +
                                    " " + extra + " -o " + quote(out) + " " + quote(sourceClip(pal)) + " </dev/null";
        ok = testing::runCommand(command, &log);
    }
    // Files the run left in its folder, sorted, and in TMP.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.is_regular_file()) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool tmpEmpty() const { return fs::is_empty(tmp); }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

std::vector<PackInfo> packsOf(const std::string& path, std::vector<uint8_t>& bytes, bool& endCode) {
    bytes = testing::readFile(path);
    bool ok = false;
    std::vector<PackInfo> packs = testing::walkPacks(bytes, ok, endCode);
    EXPECT_TRUE(ok) << path << " does not parse as packs";
    return packs;
}

bool isAudio(int id) { return (id & 0xE0) == 0xC0; }

// Every pack fills its sector; VCD audio packs (and the audio system header
// pack) are 20 bytes short unless padVCDAudio fills them.
void checkPackSizes(const std::vector<PackInfo>& packs, int kind, bool padVcdAudio) {
    const size_t sector = kSector[kind];
    for (size_t i = 0; i < packs.size(); ++i) {
        const PackInfo& p = packs[i];
        const bool audioPack = !p.packets.empty() && isAudio(p.packets[0].streamId);
        size_t want = sector;
        if (kind == 1 && !padVcdAudio && (audioPack || i == 1)) want = sector - 20;
        // The disc formats end with a full end sector whose program end code
        // the walker does not count; the generic ones end with the code bare.
        if (i + 1 == packs.size() && (kind == 1 || kind == 3 || kind == 4)) want = sector - 4;
        ASSERT_EQ(p.length, want) << "pack " << i << " of " << packs.size();
    }
}

// PTS and DTS rise in every stream, and sound starts within a frame of the
// pictures.
void checkTimestamps(const std::vector<PackInfo>& packs, bool pal) {
    std::map<int, int64_t> lastPts, lastDts;
    int64_t firstVideo = INT64_MAX, firstAudio = INT64_MAX;
    int stamped = 0;
    for (const PackInfo& p : packs)
        for (const PacketInfo& k : p.packets) {
            if (!k.hasPts) continue;
            ++stamped;
            if (k.streamId == 0xE0) firstVideo = std::min(firstVideo, k.pts);
            if (isAudio(k.streamId)) {
                firstAudio = std::min(firstAudio, k.pts);
                if (lastPts.count(k.streamId)) {
                    EXPECT_GT(k.pts, lastPts[k.streamId]) << "audio PTS at " << k.offset;
                }
                lastPts[k.streamId] = k.pts;
            }
            if (k.streamId == 0xE0) {
                const int64_t dts = k.hasDts ? k.dts : k.pts;
                if (lastDts.count(0xE0)) {
                    EXPECT_GT(dts, lastDts[0xE0]) << "video DTS at " << k.offset;
                }
                lastDts[0xE0] = dts;
                EXPECT_GE(k.pts, dts);
            }
        }
    ASSERT_GT(stamped, 10);
    ASSERT_NE(firstVideo, INT64_MAX);
    ASSERT_NE(firstAudio, INT64_MAX);
    EXPECT_LE(std::llabs(firstAudio - firstVideo), pal ? 3600 : 3003);
}

// libavformat sees the streams with their ids and every payload byte.
void checkDemux(const std::string& path, const std::vector<uint8_t>& bytes, const std::vector<PackInfo>& packs,
                int kind) {
    testing::DemuxedFile d = testing::demux(path);
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.errors, 0);
    std::set<int> ids;
    for (int id : d.streamIds) ids.insert(id & 0xFF);
    std::set<int> want = {0xC0, 0xE0};
    if (kind == 4) want.insert(0xBF);
    EXPECT_EQ(ids, want);
    std::map<int, std::vector<uint8_t>> read, written;
    for (const testing::DemuxedPacket& p : d.packets) {
        auto& to = read[p.streamId & 0xFF];
        to.insert(to.end(), p.data.begin(), p.data.end());
    }
    for (const PackInfo& p : packs)
        for (const PacketInfo& k : p.packets) {
            if (k.streamId != 0xE0 && !isAudio(k.streamId)) continue;
            auto& to = written[k.streamId];
            to.insert(to.end(), bytes.begin() + static_cast<long>(k.payloadOffset),
                      bytes.begin() + static_cast<long>(k.payloadOffset + k.payloadLength));
        }
    for (int id : {0xC0, 0xE0}) {
        EXPECT_FALSE(written[id].empty());
        EXPECT_TRUE(read[id] == written[id]) << std::hex << id << std::dec << ": " << read[id].size() << " of "
                                             << written[id].size() << " bytes";
    }
}

// What the ffmpeg tool says in its strictest decoding mode. Two things it
// reports in every stream are not faults: zero bits after a picture's last
// slice (the constant-rate stuffing, and the sequence end code its parser
// leaves with the last picture), each followed by its concealment note.
// Anything else is returned. In the normal mode it must say nothing.
std::vector<std::string> strictDecode(const std::string& path, int height, int* stuffed) {
    std::string out;
    std::vector<std::string> other;
    if (!testing::runCommand("ffmpeg -nostdin -hide_banner -v error -err_detect crccheck+bitstream+buffer -i " +
                                 quote(path) + " -f null -",
                             &out))
        other.push_back("ffmpeg failed");
    int mismatches = 0, concealed = 0;
    for (const std::string& l : lines(out)) {
        int left = 0, mbx = 0, mby = 0;
        unsigned bits = 1;
        const size_t at = l.find("end mismatch ");
        if (at != std::string::npos &&
            std::sscanf(l.c_str() + at, "end mismatch left=%d %X at %d %d", &left, &bits, &mbx, &mby) == 4 &&
            bits == 0 && mbx == 0 && mby * 16 >= height) {
            ++mismatches;
        } else if (l.find("Warning MVs not available") != std::string::npos) {
            ++concealed;
        } else {
            other.push_back(l);
        }
    }
    if (concealed > mismatches) other.push_back("more concealment notes than end mismatches");
    *stuffed = mismatches;
    out.clear();
    testing::runCommand("ffmpeg -nostdin -hide_banner -v error -err_detect crccheck+buffer -i " + quote(path) +
                            " -f null -",
                        &out);
    for (const std::string& l : lines(out)) other.push_back("normal mode: " + l);
    return other;
}

std::vector<std::string> toolWarnings(const std::string& out) {
    std::vector<std::string> w;
    for (const std::string& l : lines(out))
        if (l.find("WARN") != std::string::npos || l.find("ERR") != std::string::npos) w.push_back(l);
    return w;
}

std::string vcdimager(const Conversion& c, const char* type, const std::string& file) {
    std::string out;
    const std::string d = quote(c.dir.path().string());
    testing::runCommand("cd " + d + " && vcdimager -v -t " + type + " -c disc.cue -b disc.bin " + quote(file), &out);
    fs::remove(c.dir.file("disc.cue"));
    fs::remove(c.dir.file("disc.bin"));
    return out;
}

bool dvdauthor(const Conversion& c, bool pal, const std::vector<std::string>& files, std::string& out) {
    std::string list;
    for (const std::string& f : files) list += " " + quote(f);
    const std::string env = std::string("VIDEO_FORMAT=") + (pal ? "pal" : "ntsc");
    const std::string dvd = quote(c.dir.file("dvd"));
    const bool ok = testing::runCommand(env + " dvdauthor -o " + dvd + " -t" + list + " && " + env +
                                            " dvdauthor -o " + dvd + " -T",
                                        &out);
    fs::remove_all(c.dir.file("dvd"));
    return ok;
}

// The pack in which each I picture starts, and where its scan-offset bytes
// are, read from the file.
struct IPicture {
    uint32_t pack;
    size_t offsets;
};

uint32_t decodeScanOffset(const uint8_t* b) {
    auto bcd = [](uint8_t v) { return static_cast<uint32_t>((v >> 4) * 10 + (v & 15)); };
    if (b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF) return 0xFFFFFFFF;
    return bcd(b[0]) * 4500 + bcd(b[1] & 0x7F) * 75 + bcd(b[2] & 0x7F);
}

// The video elementary stream of a program stream, each byte with the pack
// it travels in.
struct VideoBytes {
    std::vector<uint8_t> data;
    std::vector<uint32_t> pack;
    std::vector<size_t> fileOffset;
};

VideoBytes videoBytes(const std::vector<uint8_t>& file, const std::vector<PackInfo>& packs) {
    VideoBytes v;
    for (size_t i = 0; i < packs.size(); ++i)
        for (const PacketInfo& k : packs[i].packets) {
            if (k.streamId != 0xE0) continue;
            for (size_t b = 0; b < k.payloadLength; ++b) {
                v.data.push_back(file[k.payloadOffset + b]);
                v.pack.push_back(static_cast<uint32_t>(i));
                v.fileOffset.push_back(k.payloadOffset + b);
            }
        }
    return v;
}

// For every I picture the four offsets name the packs holding the previous,
// next, and about seven seconds back and forward I pictures' starts.
void checkScanOffsets(const std::vector<uint8_t>& file, const std::vector<PackInfo>& packs, int pictureRate) {
    const VideoBytes v = videoBytes(file, packs);
    std::vector<IPicture> is;
    int pictures = 0, gops = 0;
    bool pendingI = false;
    uint32_t iPack = 0;
    for (size_t j = 0; j + 6 < v.data.size(); ++j) {
        if (v.data[j] || v.data[j + 1] || v.data[j + 2] != 1) continue;
        const int code = v.data[j + 3];
        if (code == 0xB8) ++gops;
        if (code == 0x00) {
            ++pictures;
            pendingI = ((v.data[j + 5] >> 3) & 7) == 1;
            iPack = v.pack[j];
        }
        // The block lies in the I picture's user data, after its header.
        if (code == 0xB2 && v.data[j + 4] == 0x10 && v.data[j + 5] == 0x0E && pendingI) {
            is.push_back({iPack, v.fileOffset[j + 6]});
            pendingI = false;
        }
    }
    const int n = static_cast<int>(is.size());
    ASSERT_GE(n, 2);
    ASSERT_EQ(n, gops);
    const int gop = (pictures + gops / 2) / gops;
    const int r = (pictureRate * 7 + gop - 1) / gop;
    for (int i = 0; i < n; ++i) {
        // The twelve bytes may straddle packets; gather them.
        uint8_t o[12];
        const size_t start = std::find(v.fileOffset.begin(), v.fileOffset.end(), is[i].offsets) - v.fileOffset.begin();
        for (int b = 0; b < 12; ++b) o[b] = v.data[start + b];
        EXPECT_EQ(decodeScanOffset(o), i == 0 ? 0xFFFFFFFF : is[i - 1].pack) << i;
        EXPECT_EQ(decodeScanOffset(o + 3), i == n - 1 ? 0xFFFFFFFF : is[i + 1].pack) << i;
        EXPECT_EQ(decodeScanOffset(o + 6), is[i >= r ? i - r : 0].pack) << i;
        EXPECT_EQ(decodeScanOffset(o + 9), is[i >= n - r - 1 ? n - 1 : i + r].pack) << i;
    }
}

struct Target {
    int kind;
    bool pal;
};

class EveryTarget : public ::testing::TestWithParam<Target> {};

TEST_P(EveryTarget, ConvertsToAStreamPlayersAndAuthoringToolsAccept) {
    const int kind = GetParam().kind;
    const bool pal = GetParam().pal;
    Conversion c(kind, pal);
    ASSERT_TRUE(c.ok) << c.log;
    EXPECT_NE(c.log.find("Wrote " + c.out), std::string::npos) << c.log;
    // Only the program stream is left, and for DVD the elementary streams
    // the DVD job keeps; no temporary file anywhere.
    std::vector<std::string> want = {"out.mpg"};
    if (kind == 4) want = {"out.m2v", "out.mpa", "out.mpg"};
    EXPECT_EQ(c.files(), want);
    EXPECT_TRUE(c.tmpEmpty());

    std::vector<uint8_t> bytes;
    bool endCode = false;
    const std::vector<PackInfo> packs = packsOf(c.out, bytes, endCode);
    ASSERT_GT(packs.size(), 20u);
    EXPECT_TRUE(endCode);
    EXPECT_TRUE(packs[0].systemHeader);
    checkPackSizes(packs, kind, false);
    checkTimestamps(packs, pal);
    checkDemux(c.out, bytes, packs, kind);

    // Pictures and sound as the source has them.
    const int frames = pal ? 50 : 60;
    const double fps = pal ? 25.0 : 30000.0 / 1001;
    static const int heights[5][2] = {{112, 112}, {240, 288}, {120, 120}, {480, 576}, {480, 576}};
    static const int widths[5] = {160, 352, 160, 480, 720};
    testing::DecodedVideo video = testing::decodeVideo(c.out);
    ASSERT_TRUE(video.opened);
    EXPECT_EQ(video.errors, 0);
    EXPECT_EQ(static_cast<int>(video.pictures.size()), frames);
    EXPECT_EQ(video.width, widths[kind]);
    EXPECT_EQ(video.height, heights[kind][pal]);
    EXPECT_NEAR(video.frameRate, fps, 0.01);
    testing::DecodedAudio audio = testing::decodeAudio(c.out);
    ASSERT_TRUE(audio.opened);
    EXPECT_EQ(audio.errors, 0);
    const int rate = kind == 4 ? 48000 : 44100;
    EXPECT_EQ(audio.sampleRate, rate);
    ASSERT_EQ(audio.channels, 2);
    const double seconds = static_cast<double>(audio.samples.size()) / 2 / rate;
    EXPECT_NEAR(seconds, frames / fps, 1152.0 / rate);

    int stuffed = 0;
    const std::vector<std::string> complaints = strictDecode(c.out, heights[kind][pal], &stuffed);
    EXPECT_TRUE(complaints.empty()) << ::testing::PrintToString(complaints);
    EXPECT_GE(stuffed, 1);  // at least the end code after the last picture

    if (kind == 1) {
        // Unpadded audio packs: vcdimager pads them itself and says so; no
        // other warning.
        const std::string out = vcdimager(c, "vcd2", c.out);
        EXPECT_NE(out.find("finished ok"), std::string::npos) << out;
        EXPECT_NE(out.find("padded on the fly"), std::string::npos) << out;
        for (const std::string& w : toolWarnings(out))
            EXPECT_TRUE(w.find("padded on the fly") != std::string::npos || w.find("autopadding") != std::string::npos)
                << w;
    }
    if (kind == 3) {
        // Without scan information vcdimager warns that the stream has none.
        // The still test picture codes small: a stream under a second of
        // sectors is noted as such.
        const std::string out = vcdimager(c, "svcd", c.out);
        EXPECT_NE(out.find("finished ok"), std::string::npos) << out;
        for (const std::string& w : toolWarnings(out))
            EXPECT_TRUE(packs.size() < 75 && w.find("shorter than 75 sectors") != std::string::npos) << w;
        checkScanOffsets(bytes, packs, pal ? 25 : 30);
    }
    if (kind == 4) {
        std::string out;
        EXPECT_TRUE(dvdauthor(c, pal, {c.out}, out)) << out;
        EXPECT_TRUE(toolWarnings(out).empty()) << out;
    }
}

std::string targetName(const ::testing::TestParamInfo<Target>& info) {
    return std::string(kTargets[info.param.kind]) + (info.param.pal ? "Pal" : "Ntsc");
}

INSTANTIATE_TEST_SUITE_P(System, EveryTarget,
                         ::testing::Values(Target{0, false}, Target{0, true}, Target{1, false}, Target{1, true},
                                           Target{2, false}, Target{2, true}, Target{3, false}, Target{3, true},
                                           Target{4, false}, Target{4, true}),
                         targetName);

TEST(Vcd, PaddedAudioPacksFillTheSectorAndDrawNoWarning) {
    Conversion c(1, false, "--set padVCDAudio=1");
    ASSERT_TRUE(c.ok) << c.log;
    std::vector<uint8_t> bytes;
    bool endCode = false;
    const std::vector<PackInfo> packs = packsOf(c.out, bytes, endCode);
    ASSERT_GT(packs.size(), 20u);
    checkPackSizes(packs, 1, true);
    const std::string out = vcdimager(c, "vcd2", c.out);
    EXPECT_NE(out.find("finished ok"), std::string::npos) << out;
    EXPECT_TRUE(toolWarnings(out).empty()) << out;
}

// Each split file alone: it parses as packs, opens with a system header,
// libavformat reads it and its first picture decodes.
void checkSplitFile(const std::string& path, int kind, bool firstFile, bool independent) {
    SCOPED_TRACE(path);
    std::vector<uint8_t> bytes;
    bool endCode = false;
    const std::vector<PackInfo> packs = packsOf(path, bytes, endCode);
    ASSERT_GT(packs.size(), 2u);
    EXPECT_TRUE(packs[0].systemHeader);
    const VideoBytes v = videoBytes(bytes, packs);
    ASSERT_GT(v.data.size(), 12u);
    // A sequence header, then the GOP with its broken link.
    EXPECT_TRUE(v.data[0] == 0 && v.data[1] == 0 && v.data[2] == 1 && v.data[3] == 0xB3);
    for (size_t j = 0; j + 8 < v.data.size(); ++j)
        if (v.data[j] == 0 && v.data[j + 1] == 0 && v.data[j + 2] == 1 && v.data[j + 3] == 0xB8) {
            EXPECT_EQ((v.data[j + 7] & 0x20) != 0, independent && !firstFile);
            break;
        }
    if (independent) {
        EXPECT_EQ(packs[0].scr, 0);
    }
    checkDemux(path, bytes, packs, kind);
    testing::DecodedVideo video = testing::decodeVideo(path);
    ASSERT_TRUE(video.opened);
    ASSERT_FALSE(video.pictures.empty());
    // The first picture shown is the I picture (B pictures before it that
    // lean on the previous file are dropped).
    EXPECT_EQ(video.pictures.front().pictType, 1);
    EXPECT_EQ(video.errors, 0);
    EXPECT_GT(testing::decodeAudio(path).frames, 0);
}

std::vector<std::string> splitFiles(const Conversion& c) {
    std::vector<std::string> parts;
    for (int i = 0; i < 100; ++i) {
        const std::string name = c.dir.file(formatText("out%02d.mpg", i));
        if (!fs::exists(name)) break;
        parts.push_back(name);
    }
    return parts;
}

TEST(Split, DvdFilesEachPlayAloneAndAuthorAsOneTitle) {
    // 1 MB less a second of the 10.08 Mbit/s mux rate: every I picture
    // starts a file.
    Conversion c(4, false, "--split 1");
    ASSERT_TRUE(c.ok) << c.log;
    const std::vector<std::string> parts = splitFiles(c);
    ASSERT_GE(parts.size(), 3u);
    EXPECT_FALSE(fs::exists(c.out));
    EXPECT_TRUE(c.tmpEmpty());
    for (const std::string& p : parts) EXPECT_NE(c.log.find("Wrote " + p + "\n"), std::string::npos) << c.log;
    EXPECT_EQ(c.log.find("Wrote " + c.out), std::string::npos);
    for (size_t i = 0; i < parts.size(); ++i) checkSplitFile(parts[i], 4, i == 0, false);
    // The DVD preset keeps GOPs open across files (no broken link): the
    // files are parts of one title, and dvdauthor notes each later file's
    // open first GOP, nothing else.
    std::string out;
    EXPECT_TRUE(dvdauthor(c, false, parts, out)) << out;
    for (const std::string& w : toolWarnings(out)) EXPECT_NE(w.find("GOP may not be closed on cell 1"), std::string::npos) << w;
}

TEST(Split, SvcdFilesRestartTheirClocksAndScanOffsets) {
    // A mux rate above 1 MB/s makes every I picture start a file.
    Conversion c(3, true, "--split 1 --set userMuxRate=25200");
    ASSERT_TRUE(c.ok) << c.log;
    const std::vector<std::string> parts = splitFiles(c);
    ASSERT_GE(parts.size(), 3u);
    EXPECT_TRUE(c.tmpEmpty());
    int frames = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        checkSplitFile(parts[i], 3, i == 0, true);
        std::vector<uint8_t> bytes;
        bool endCode = false;
        const std::vector<PackInfo> packs = packsOf(parts[i], bytes, endCode);
        EXPECT_TRUE(endCode);
        checkPackSizes(packs, 3, false);
        frames += static_cast<int>(testing::decodeVideo(parts[i]).pictures.size());
        // Offsets count packs from this file's start.
        const VideoBytes v = videoBytes(bytes, packs);
        for (size_t j = 0; j + 18 <= v.data.size(); ++j)
            if (v.data[j] == 0 && v.data[j + 1] == 0 && v.data[j + 2] == 1 && v.data[j + 3] == 0xB2 &&
                v.data[j + 4] == 0x10 && v.data[j + 5] == 0x0E) {
                const uint8_t* o = &v.data[j + 6];
                EXPECT_EQ(decodeScanOffset(o), 0xFFFFFFFFu);  // one I picture per file
                EXPECT_EQ(decodeScanOffset(o + 3), 0xFFFFFFFFu);
                EXPECT_EQ(decodeScanOffset(o + 6), v.pack[j]);
                EXPECT_EQ(decodeScanOffset(o + 9), v.pack[j]);
            }
    }
    // Broken links drop the B pictures before each later file's I picture.
    EXPECT_LE(frames, 50);
    EXPECT_GE(frames, 50 - 2 * static_cast<int>(parts.size() - 1));
}

TEST(Failure, AnUnwritableOutputFailsWithItsMessageAndLeavesNothing) {
    testing::TempDir dir;
    const std::string tmp = dir.file("tmp");
    fs::create_directory(tmp);
    std::string log;
    const bool ok = testing::runCommand("cd " + quote(dir.path().string()) + " && TMP=" + quote(tmp) + " " +
                                            QUILLON_BINARY + " convert -t svcd -o /nonexistent-dir/out.mpg " +
                                            quote(sourceClip(false)) + " </dev/null",
                                        &log);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.find("Wrote"), std::string::npos) << log;
    EXPECT_NE(log.find("/nonexistent-dir/out"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));
    int left = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) left += e.is_regular_file();
    EXPECT_EQ(left, 0);
}

// Fit to size on ten seconds of grainy pictures with sound: the program
// stream never exceeds the size asked for and fills at least 98 % of it.
std::string grainyClip(int width, int height) {
    const std::string path = testing::mediaDir() + "/grainy-" + std::to_string(width) + ".avi";
    if (!fs::exists(path)) {
        std::string log;
        const bool made = testing::runCommand(
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'testsrc2=size=" + std::to_string(width) + "x" +
                std::to_string(height) + ":rate=25,noise=alls=12:allf=t' -f lavfi -i 'sine=frequency=440:sample_rate=48000' "
                "-t 10 -c:v mjpeg -q:v 3 -c:a pcm_s16le " + quote(path),
            &log);
        EXPECT_TRUE(made) << log;
    }
    return path;
}

TEST(FitToSize, TenSecondsOfDvdAndSvcdLandJustUnderTheSize) {
    struct Case {
        const char* target;
        const char* size;
        int64_t bytes;
        int width, height;
    } cases[] = {
        {"dvd", "6M", 6LL << 20, 352, 288},
        {"svcd", "3000k", 3000LL << 10, 480, 576},
    };
    for (const Case& c : cases) {
        testing::TempDir dir;
        const std::string out = dir.file("fit.mpg");
        std::string log;
        const bool ok = testing::runCommand("cd " + quote(dir.path().string()) + " && " + QUILLON_BINARY +
                                                " convert -t " + c.target + " --pal -s " + std::to_string(c.width) +
                                                "x" + std::to_string(c.height) + " --fit " + c.size + " -o " +
                                                quote(out) + " " + quote(grainyClip(c.width, c.height)) + " </dev/null",
                                            &log);
        ASSERT_TRUE(ok) << log;
        const int64_t size = static_cast<int64_t>(fs::file_size(out));
        EXPECT_LE(size, c.bytes) << c.target;
        EXPECT_GE(size, c.bytes * 0.98) << c.target;
        // The record of the first pass was a temporary file: nothing but
        // the output (and the streams a DVD conversion keeps) is left.
        for (const auto& e : fs::directory_iterator(dir.path())) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name == "fit.mpg" || name == "fit.m2v" || name == "fit.mpa") << c.target << ": " << name;
        }
    }
}

TEST(FitToSize, ASizeOutOfReachIsRefusedWithTheRangeAndWritesNothing) {
    testing::TempDir dir;
    std::string log;
    const bool ok = testing::runCommand("cd " + quote(dir.path().string()) + " && " + QUILLON_BINARY +
                                            " convert -t svcd --pal --fit dvd5 -o out.mpg " +
                                            quote(sourceClip(true)) + " </dev/null",
                                        &log);
    EXPECT_FALSE(ok);
    EXPECT_NE(log.find("cannot be reached"), std::string::npos) << log;
    EXPECT_NE(log.find("the smallest is"), std::string::npos) << log;
    EXPECT_NE(log.find("the largest"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_FALSE(testing::runCommand(std::string(QUILLON_BINARY) + " convert --fit 12X out.mpg </dev/null", &log));
    EXPECT_NE(log.find("unknown unit \"X\""), std::string::npos) << log;
}

}  // namespace
}  // namespace quillon
