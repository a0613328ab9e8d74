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

// Where the payload of a video packet whose header starts at p (its start
// code) begins, and its presentation time when it carries one; false when
// the header does not parse.
bool packetHeader(const uint8_t* p, size_t size, size_t* payload, int64_t* pts) {
    *pts = -1;
    if (size < 9) return false;
    if ((p[6] & 0xC0) == 0x80) {  // MPEG-2 packet header
        *payload = 9 + p[8];
        if ((p[7] & 0x80) && size >= 14) *pts = readTime(p + 9);
        return *payload <= size;
    }
    size_t i = 6;  // MPEG-1: stuffing, the buffer size, then the times
    while (i < size && p[i] == 0xFF && i < 6 + 16) ++i;
    if (i < size && (p[i] & 0xC0) == 0x40) i += 2;
    if (i >= size) return false;
    if ((p[i] & 0xF0) == 0x20) {
        if (i + 5 > size) return false;
        *pts = readTime(p + i);
        i += 5;
    } else if ((p[i] & 0xF0) == 0x30) {
        if (i + 10 > size) return false;
        *pts = readTime(p + i);
        i += 10;
    } else if (p[i] == 0x0F) {
        i += 1;
    } else {
        return false;
    }
    *payload = i;
    return true;
}

struct Stamp {
    size_t begin, end;  // the packet's payload in the gathered video bytes
    int64_t pts;
};

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

std::vector<StreamPicture> videoPictures(const uint8_t* data, size_t size) {
    // The video packets' payloads gathered in order, and which of them
    // carried a stamp: it belongs to the first picture starting in it.
    std::vector<uint8_t> video;
    std::vector<Stamp> stamps;
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
            size_t payload = 0;
            int64_t pts = -1;
            if ((id & 0xF0) == 0xE0 && packetHeader(data + at, length, &payload, &pts)) {
                if (pts >= 0) stamps.push_back({video.size(), video.size() + (length - payload), pts});
                video.insert(video.end(), data + at + payload, data + at + length);
            }
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

    std::vector<StreamPicture> pictures;
    bool group = false;
    size_t stamp = 0;
    for (size_t i = 0; i + 3 < video.size(); ++i) {
        if (video[i] != 0 || video[i + 1] != 0 || video[i + 2] != 1) continue;
        const uint8_t code = video[i + 3];
        if (code == 0xB8) {
            group = true;
        } else if (code == 0x00 && i + 5 < video.size()) {
            StreamPicture p;
            p.groupStart = group;
            p.temporalReference = video[i + 4] << 2 | video[i + 5] >> 6;
            while (stamp < stamps.size() && stamps[stamp].end <= i) ++stamp;
            if (stamp < stamps.size() && stamps[stamp].begin <= i) p.pts = stamps[stamp++].pts;
            pictures.push_back(p);
            group = false;
        }
        i += 3;
    }
    return pictures;
}

bool displaySpan(const std::vector<StreamPicture>& pictures, int64_t framePeriod, int64_t* first, int64_t* end) {
    bool found = false;
    bool haveBase = false;
    int64_t base = 0;  // display time of temporal reference 0 in the group
    size_t i = 0;
    while (i < pictures.size()) {
        // One group: from a group header (or the window's start) to the next.
        size_t next = i + 1;
        while (next < pictures.size() && !pictures[next].groupStart) ++next;
        int lowest = 1024, highest = -1;
        int64_t stampedBase = -1;
        for (size_t k = i; k < next; ++k) {
            lowest = std::min(lowest, pictures[k].temporalReference);
            highest = std::max(highest, pictures[k].temporalReference);
            if (stampedBase < 0 && pictures[k].pts >= 0)
                stampedBase = pictures[k].pts - pictures[k].temporalReference * framePeriod;
        }
        // A group without a stamp follows on from the one before; before
        // any stamped group (a window starting inside a group) it is
        // skipped.
        if (stampedBase >= 0) {
            base = stampedBase;
            haveBase = true;
        }
        if (haveBase) {
            const int64_t from = base + lowest * framePeriod, to = base + (highest + 1) * framePeriod;
            if (!found || from < *first) *first = from;
            if (!found || to > *end) *end = to;
            found = true;
            base = to;
        }
        i = next;
    }
    return found;
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
    int64_t first = 0, end = 0, unused = 0;
    if (!displaySpan(videoPictures(buffer.data(), buffer.size()), framePeriod, &first, &end)) return -1;
    if (!small) {
        if (!readAt(fileSize - static_cast<off_t>(kWindow), kWindow)) return -1;
        if (!displaySpan(videoPictures(buffer.data(), buffer.size()), framePeriod, &unused, &end)) return -1;
    }
    if (end <= first) return -1;
    return static_cast<double>(end - first) / 90000.0;
}

}  // namespace quillon::disc
