#include "input/avi_writer.h"

#include <cstring>

namespace quillon {

namespace {

constexpr uint32_t fourcc(const char* s) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

constexpr uint32_t kHasIndex = 0x10;
constexpr uint32_t kIsInterleaved = 0x100;
constexpr uint32_t kKeyFrame = 0x10;

}  // namespace

AviWriter::~AviWriter() {
    if (file_) std::fclose(file_);
}

void AviWriter::put32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    if (std::fwrite(b, 1, 4, file_) != 4) failed_ = true;
}

void AviWriter::put16(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    if (std::fwrite(b, 1, 2, file_) != 2) failed_ = true;
}

void AviWriter::putId(const char* id) { put32(fourcc(id)); }

long AviWriter::tell() const { return std::ftell(file_); }

bool AviWriter::open(const std::string& path, const AviFormat& format) {
    format_ = format;
    if (format.width <= 0 || format.height <= 0 || format.rateNumerator <= 0 || format.rateDenominator <= 0 ||
        (format.audioChannels != 0 && format.audioChannels != 1 && format.audioChannels != 2) ||
        (format.audioBits != 8 && format.audioBits != 16)) {
        error_ = "bad AVI format";
        return false;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error_ = "cannot create " + path;
        return false;
    }
    const bool sound = format.audioChannels > 0;
    const uint32_t rowBytes = static_cast<uint32_t>((format.width * 3 + 3) & ~3);
    const uint32_t frameBytes = rowBytes * static_cast<uint32_t>(format.height);
    const uint32_t blockAlign = static_cast<uint32_t>(format.audioChannels * format.audioBits / 8);

    putId("RIFF");
    riffSizeAt_ = tell();
    put32(0);
    putId("AVI ");
    putId("LIST");
    const long hdrlSizeAt = tell();
    put32(0);
    putId("hdrl");
    putId("avih");
    put32(56);
    put32(static_cast<uint32_t>(1000000.0 * format.rateDenominator / format.rateNumerator + 0.5));
    put32(0);
    put32(0);
    put32(kHasIndex | (sound ? kIsInterleaved : 0));
    totalFramesAt_ = tell();
    put32(0);
    put32(0);
    put32(sound ? 2 : 1);
    put32(frameBytes + 8);
    put32(static_cast<uint32_t>(format.width));
    put32(static_cast<uint32_t>(format.height));
    for (int i = 0; i < 4; ++i) put32(0);

    // Video stream: the handler at file offset 112, the compression at 188.
    putId("LIST");
    put32(4 + 8 + 56 + 8 + 40);
    putId("strl");
    putId("strh");
    put32(56);
    putId("vids");
    putId("DIB ");
    put32(0);
    put16(0);
    put16(0);
    put32(0);
    put32(static_cast<uint32_t>(format.rateDenominator));
    put32(static_cast<uint32_t>(format.rateNumerator));
    put32(0);
    videoLengthAt_ = tell();
    put32(0);
    put32(frameBytes);
    put32(0xFFFFFFFFu);
    put32(0);
    put16(0);
    put16(0);
    put16(static_cast<uint16_t>(format.width));
    put16(static_cast<uint16_t>(format.height));
    putId("strf");
    put32(40);
    put32(40);
    put32(static_cast<uint32_t>(format.width));
    put32(static_cast<uint32_t>(format.height));  // positive: rows bottom-up
    put16(1);
    put16(24);
    put32(0);  // BI_RGB
    put32(frameBytes);
    put32(0);
    put32(0);
    put32(0);
    put32(0);

    if (sound) {
        putId("LIST");
        put32(4 + 8 + 56 + 8 + 18);
        putId("strl");
        putId("strh");
        put32(56);
        putId("auds");
        put32(0);
        put32(0);
        put16(0);
        put16(0);
        put32(0);
        put32(blockAlign);
        put32(blockAlign * static_cast<uint32_t>(format.audioRate));
        put32(0);
        audioLengthAt_ = tell();
        put32(0);
        put32(blockAlign * static_cast<uint32_t>(format.audioRate));
        put32(0xFFFFFFFFu);
        put32(blockAlign);
        for (int i = 0; i < 4; ++i) put16(0);
        putId("strf");
        put32(18);
        put16(1);  // PCM
        put16(static_cast<uint16_t>(format.audioChannels));
        put32(static_cast<uint32_t>(format.audioRate));
        put32(blockAlign * static_cast<uint32_t>(format.audioRate));
        put16(static_cast<uint16_t>(blockAlign));
        put16(static_cast<uint16_t>(format.audioBits));
        put16(0);
    }
    const long hdrlEnd = tell();
    std::fseek(file_, hdrlSizeAt, SEEK_SET);
    put32(static_cast<uint32_t>(hdrlEnd - hdrlSizeAt - 4));
    std::fseek(file_, hdrlEnd, SEEK_SET);

    putId("LIST");
    moviSizeAt_ = tell();
    put32(0);
    moviStart_ = tell();
    putId("movi");
    if (failed_) error_ = "cannot write " + path;
    return !failed_;
}

bool AviWriter::writeChunk(uint32_t id, const void* data, size_t bytes) {
    if (!file_) return false;
    const long at = tell();
    put32(id);
    put32(static_cast<uint32_t>(bytes));
    if (bytes && std::fwrite(data, 1, bytes, file_) != bytes) failed_ = true;
    if (bytes & 1) {
        const uint8_t pad = 0;
        if (std::fwrite(&pad, 1, 1, file_) != 1) failed_ = true;
    }
    index_.push_back({id, kKeyFrame, static_cast<uint32_t>(at - moviStart_), static_cast<uint32_t>(bytes)});
    if (bytes > largestChunk_) largestChunk_ = static_cast<uint32_t>(bytes);
    if (failed_) error_ = "write failed";
    return !failed_;
}

bool AviWriter::writeFrame(const Bitmap& picture) {
    if (picture.width != format_.width || picture.height != format_.height) {
        error_ = "picture size differs from the file's";
        return false;
    }
    const size_t rowBytes = static_cast<size_t>((format_.width * 3 + 3) & ~3);
    row_.assign(rowBytes * static_cast<size_t>(format_.height), 0);
    for (int r = 0; r < format_.height; ++r) {
        const uint8_t* s = picture.row(r);  // bottom-up, like the file
        uint8_t* d = row_.data() + static_cast<size_t>(r) * rowBytes;
        for (int x = 0; x < format_.width; ++x) {
            d[x * 3] = s[x * 4];
            d[x * 3 + 1] = s[x * 4 + 1];
            d[x * 3 + 2] = s[x * 4 + 2];
        }
    }
    ++frames_;
    return writeChunk(fourcc("00db"), row_.data(), row_.size());
}

bool AviWriter::writeAudio(const void* pcm, size_t bytes) {
    if (format_.audioChannels == 0) {
        error_ = "the file has no sound stream";
        return false;
    }
    audioBytes_ += bytes;
    return writeChunk(fourcc("01wb"), pcm, bytes);
}

bool AviWriter::close() {
    if (!file_) return false;
    const long moviEnd = tell();
    putId("idx1");
    put32(static_cast<uint32_t>(index_.size() * 16));
    for (const IndexEntry& e : index_) {
        put32(e.id);
        put32(e.flags);
        put32(e.offset);
        put32(e.size);
    }
    const long end = tell();
    std::fseek(file_, riffSizeAt_, SEEK_SET);
    put32(static_cast<uint32_t>(end - 8));
    std::fseek(file_, moviSizeAt_, SEEK_SET);
    put32(static_cast<uint32_t>(moviEnd - moviSizeAt_ - 4));
    std::fseek(file_, totalFramesAt_, SEEK_SET);
    put32(frames_);
    std::fseek(file_, videoLengthAt_, SEEK_SET);
    put32(frames_);
    if (format_.audioChannels > 0) {
        const uint32_t blockAlign = static_cast<uint32_t>(format_.audioChannels * format_.audioBits / 8);
        std::fseek(file_, audioLengthAt_, SEEK_SET);
        put32(static_cast<uint32_t>(audioBytes_ / blockAlign));
    }
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_ && error_.empty()) error_ = "write failed";
    return !failed_;
}

}  // namespace quillon
