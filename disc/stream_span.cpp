#include "disc/stream_span.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace quillon::disc {

namespace {

constexpr size_t kWindow = 4u << 20;

bool startCodeAt(const uint8_t* p, size_t left) { return left >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1; }

int64_t readTime(const uint8_t* p) {
    return (static_cast<int64_t>((p[0] >> 1) & 7) << 30) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] >> 1) << 15) | (static_cast<int64_t>(p[3]) << 7) | (p[4] >> 1);
}

// The presentation time of a video packet whose header starts at p (its
// start code), when it carries one.
bool packetTime(const uint8_t* p, size_t size, int64_t* pts) {
    if (size < 9) return false;
    if ((p[6] & 0xC0) == 0x80) {  // MPEG-2 packet header
        if (!(p[7] & 0x80) || size < 14) return false;
        *pts = readTime(p + 9);
        return true;
    }
    size_t i = 6;  // MPEG-1: stuffing, the buffer size, then the times
    while (i < size && p[i] == 0xFF && i < 6 + 16) ++i;
    if (i < size && (p[i] & 0xC0) == 0x40) i += 2;
    if (i + 5 > size || (p[i] & 0xE0) != 0x20) return false;
    *pts = readTime(p + i);
    return true;
}

// Length of the pack header at p, 0 when p holds none.
size_t packHeaderLength(const uint8_t* p, size_t left) {
    if (!startCodeAt(p, left) || p[3] != 0xBA || left < 12) return 0;
    if ((p[4] & 0xC0) == 0x40) {  // MPEG-2
        if (left < 14) return 0;
        return 14 + (p[13] & 7);
    }
    return (p[4] & 0xF0) == 0x20 ? 12 : 0;
}

}  // namespace

std::vector<int64_t> videoTimes(const uint8_t* data, size_t size) {
    std::vector<int64_t> times;
    size_t pos = 0;
    while (pos + 4 <= size) {
        const size_t header = packHeaderLength(data + pos, size - pos);
        if (!header) {
            ++pos;  // looking for the next pack
            continue;
        }
        size_t at = pos + header;
        bool lost = false;
        // The packets of this pack, up to the next pack or the end.
        while (at + 6 <= size && startCodeAt(data + at, size - at) && data[at + 3] != 0xBA) {
            const uint8_t id = data[at + 3];
            if (id == 0xB9) break;  // end code
            if (id < 0xBB) {
                lost = true;
                break;
            }
            const size_t length = 6 + (static_cast<size_t>(data[at + 4]) << 8 | data[at + 5]);
            if (at + length > size) break;  // cut off by the window
            int64_t pts = 0;
            if ((id & 0xF0) == 0xE0 && packetTime(data + at, length, &pts)) times.push_back(pts);
            at += length;
        }
        if (lost || at + 4 > size || !startCodeAt(data + at, size - at)) {
            // Not where a packet or pack should start: a false pack start
            // code inside some payload, or the end.
            pos = lost ? pos + 1 : std::max(at, pos + 1);
            continue;
        }
        pos = at;
    }
    return times;
}

double playingSeconds(const std::string& path, int64_t framePeriod) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) return -1;
    if (fseeko(f.get(), 0, SEEK_END) != 0) return -1;
    const off_t fileSize = ftello(f.get());
    if (fileSize <= 0) return -1;
    std::vector<uint8_t> buffer;
    auto readAt = [&](off_t offset, size_t count) {
        buffer.resize(count);
        if (fseeko(f.get(), offset, SEEK_SET) != 0) return false;
        buffer.resize(std::fread(buffer.data(), 1, count, f.get()));
        return true;
    };
    const bool small = static_cast<uint64_t>(fileSize) <= 2 * kWindow;
    if (!readAt(0, small ? static_cast<size_t>(fileSize) : kWindow)) return -1;
    std::vector<int64_t> head = videoTimes(buffer.data(), buffer.size());
    std::vector<int64_t> tail = head;
    if (!small) {
        if (!readAt(fileSize - static_cast<off_t>(kWindow), kWindow)) return -1;
        tail = videoTimes(buffer.data(), buffer.size());
    }
    if (head.empty() || tail.empty()) return -1;
    const int64_t first = *std::min_element(head.begin(), head.end());
    const int64_t last = *std::max_element(tail.begin(), tail.end());
    if (last < first) return -1;
    return static_cast<double>(last - first + framePeriod) / 90000.0;
}

}  // namespace quillon::disc
