// Time stamps of video packets: a packet carries the stamps of the first
// picture whose start code begins in it, also when that picture's unit (its
// sequence and GOP headers) began in the packet before.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "mux/multiplex_step.h"
#include "tests/mux/mux_fixture.h"

namespace quillon {
namespace {

using testing::PackInfo;
using testing::RecordingHost;

struct Picture {
    size_t offset;  // of its start code in the elementary stream
    int type;       // 1 I, 2 P, 3 B
    int temporalReference;
    int indexInGop;
    bool unitBeganBefore = false;  // headers in front, in an earlier packet
};

// Pictures of an MPEG-1 elementary stream in decoding order.
std::vector<Picture> picturesOf(const std::vector<uint8_t>& es) {
    std::vector<Picture> out;
    int k = 0;
    for (size_t i = 0; i + 5 < es.size(); ++i) {
        if (es[i] != 0 || es[i + 1] != 0 || es[i + 2] != 1) continue;
        if (es[i + 3] == 0xB8) k = 0;
        if (es[i + 3] != 0x00) continue;
        const int tr = (es[i + 4] << 2) | (es[i + 5] >> 6);
        const int type = (es[i + 5] >> 3) & 7;
        out.push_back({i, type, tr, k++});
    }
    return out;
}

// The offset where a picture's unit begins: the sequence header or GOP
// header right in front of it, else the picture itself.
size_t unitStart(const std::vector<uint8_t>& es, size_t picture) {
    size_t start = picture;
    for (size_t back = picture >= 400 ? picture - 400 : 0; back + 3 < picture; ++back)
        if (es[back] == 0 && es[back + 1] == 0 && es[back + 2] == 1 && (es[back + 3] == 0xB3 || es[back + 3] == 0xB8)) {
            start = back;
            break;
        }
    return start;
}

void checkStamps(int width, int height) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    testing::setMuxTarget(engine.work, kKindMpeg1, true);
    engine.job.programStreamName = dir.file("out.mpg");
    engine.job.videoStreamName = testing::madeStreams().smallMpeg1(width, height, 180);
    const std::string tmp = dir.file("tmp");
    std::filesystem::create_directory(tmp);
    ::setenv("TMP", tmp.c_str(), 1);
    ASSERT_TRUE(runMultiplexStep(engine, true, false));
    ::unsetenv("TMP");

    bool ok = false, end = false;
    const std::vector<uint8_t> file = testing::readFile(engine.job.programStreamName);
    const std::vector<PackInfo> packs = testing::walkPacks(file, ok, end);
    ASSERT_TRUE(ok);
    // The video payloads joined again, each packet's span in them.
    std::vector<uint8_t> es;
    struct Span {
        size_t begin, end;
        const testing::PacketInfo* packet;
    };
    std::vector<Span> spans;
    for (const PackInfo& pack : packs)
        for (const testing::PacketInfo& p : pack.packets) {
            if (p.streamId != 0xE0) continue;
            spans.push_back({es.size(), es.size() + p.payloadLength, &p});
            es.insert(es.end(), file.begin() + static_cast<std::ptrdiff_t>(p.payloadOffset),
                      file.begin() + static_cast<std::ptrdiff_t>(p.payloadOffset + p.payloadLength));
        }
    std::vector<Picture> pictures = picturesOf(es);
    ASSERT_EQ(pictures.size(), 180u * 25);

    // 90 kHz ticks per picture at 25 pictures per second; the first I
    // picture's decoding time is the reference.
    const int64_t T = 3600;
    size_t next = 0;
    int64_t base = -1;
    int straddled = 0, stamped = 0;
    for (const Span& span : spans) {
        while (next < pictures.size() && pictures[next].offset < span.begin) ++next;
        if (next == pictures.size() || pictures[next].offset >= span.end) {
            EXPECT_FALSE(span.packet->hasPts) << "a packet without a picture start carries a time stamp";
            continue;
        }
        const Picture& pic = pictures[next];
        const int64_t n = static_cast<int64_t>(next);
        if (unitStart(es, pic.offset) < span.begin) ++straddled;
        ASSERT_TRUE(span.packet->hasPts) << "picture " << n;
        ++stamped;
        if (pic.type == 3) {
            EXPECT_FALSE(span.packet->hasDts) << "B picture " << n;
        } else {
            ASSERT_TRUE(span.packet->hasDts) << "picture " << n << " of type " << pic.type;
            if (base < 0) base = span.packet->dts - n * T;
            // (Times are kept as doubles: a tick either way is rounding.)
            EXPECT_NEAR(span.packet->dts, base + n * T, 1) << "picture " << n;
        }
        if (base >= 0) {
            const int64_t pts = base + (n + 1 + pic.temporalReference - pic.indexInGop) * T;
            EXPECT_NEAR(span.packet->pts, pts, 1) << "picture " << n << " of type " << pic.type;
        }
    }
    EXPECT_GT(stamped, 300);
    // The case at stake happened: a sector boundary inside the headers in
    // front of a picture.
    EXPECT_GT(straddled, 0);
}

TEST(VideoTimeStamps, BelongToThePictureWhoseStartCodeIsInThePacket32x32) { checkStamps(32, 32); }
TEST(VideoTimeStamps, BelongToThePictureWhoseStartCodeIsInThePacket64x48) { checkStamps(64, 48); }

}  // namespace
}  // namespace quillon
