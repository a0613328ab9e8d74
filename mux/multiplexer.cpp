#include "mux/multiplexer.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>

#include "engine/engine.h"
#include "engine/format.h"
#include "engine/job_driver.h"
#include "mux/pack_writer.h"
#include "mux/scan_offsets.h"
#include "mux/stream_scan.h"
#include "mux/stream_tables.h"
#include "platform/temp_name.h"

namespace quillon {

namespace {

constexpr double kTicksPerMsLocal = 27000.0;
constexpr double kAudioWindow = 2700000.0;   // 0.1 s
constexpr double kVideoWindow = 18900000.0;  // 0.7 s
constexpr double kVbrLeadSlack = 13500000.0; // 0.5 s

// The decoder input buffer of one stream: bytes leave at their removal time.
class StreamBufferModel {
public:
    void setCapacity(double bytes) { capacity_ = bytes; }
    void push(double bytes, double time) {
        entries_.push_back({bytes, time});
        queued_ += bytes;
    }
    void drain(double now) {
        while (!entries_.empty() && entries_.front().time <= now) {
            queued_ -= entries_.front().bytes;
            entries_.pop_front();
        }
    }
    double freeSpace() const { return capacity_ - queued_; }
    void clear() {
        entries_.clear();
        queued_ = 0;
    }

private:
    struct Entry {
        double bytes;
        double time;
    };
    std::deque<Entry> entries_;
    double capacity_ = 0;
    double queued_ = 0;
};

struct VideoState {
    bool present = false;
    std::FILE* es = nullptr;
    UnitsFile units;
    VideoUnitRecord cur;
    int64_t left = 0;      // bytes of the current unit not yet sent, inserted bytes included
    int64_t sent = 0;
    int insertAt = -1;     // unit offset of the scan-offset block
    bool seqInsert = false;
    bool starts = false;   // the current unit begins the next packet
    bool finished = false;
    double offset = 0, initialOffset = 0;
    double firstDts = 0;
    StreamBufferModel model;
    bool bufferField = true;
    int packets = 0;
    uint32_t underflows = 0;
    StreamEntry entry;
};

struct AudioState {
    bool present = false;
    bool ac3 = false;
    std::FILE* es = nullptr;
    UnitsFile units;
    AudioUnitRecord cur;
    int64_t left = 0;
    bool started = false;
    bool finished = false;
    bool doneToCut = false;
    bool everEligible = false;
    double offset = 0, initialOffset = 0;
    double firstPts = 0;
    double frameDuration = 0;
    double rate = 0;
    int payload = 0;
    int subStreamId = -1;
    StreamBufferModel model;
    bool bufferField = true;
    int packets = 0;
    uint32_t underflows = 0;
    StreamEntry entry;
};

bool isMpeg2Type(int t) { return t >= 2; }

class Multiplexer {
public:
    Multiplexer(Engine& engine, const MultiplexInputs& in) : e_(engine), s_(engine.work), in_(in) {}
    ~Multiplexer() { cleanUp(); }
    bool run();

private:
    bool setUp();
    bool mainLoop();
    void cleanUp();
    bool openOutput();
    bool writeSector(const PackWriter& w);
    bool endFile(bool last, double clock);
    bool handleSplitOrCut();
    bool readVideo(bool atPacketStart, bool thresholdReached, bool& endPacket);
    bool readAudio(AudioState& a, int column);
    bool videoPacket(bool firstOfPack);
    bool audioPacket(int index, bool firstOfPack);
    void paddingPackOf(int padding);
    SystemHeaderFields systemFields(int mask, bool paddingPack) const;
    void statsRow();
    void statsHeader();
    void statsFileEnd(int column);
    void logUnderflowSummary();
    double videoDts() const { return v_.cur.dts.ticks() + v_.offset; }
    double videoPts() const { return v_.cur.pts.ticks() + v_.offset; }
    bool pending() const { return split_ || cut_ || stop_; }
    bool audioDone(const AudioState& a) const { return !a.present || a.finished || a.doneToCut; }

    Engine& e_;
    const EncoderSettings& s_;
    const MultiplexInputs& in_;
    int type_ = 0;
    bool mpeg2_ = false;
    bool vcd_ = false, svcd_ = false, dvd_ = false;
    int mask_ = 0;
    VideoState v_;
    AudioState a_[2];
    std::unique_ptr<PackWriter> writer_;

    // Packs are 2 KB and copies of a few KB: stdio's default buffers would
    // make one system call per pack.
    static constexpr size_t kFileBuffer = 1 << 20;
    std::unique_ptr<char[]> outBuffer_, esBuffers_[3];
    std::string outputName_;
    std::FILE* out_ = nullptr;
    bool ownOutput_ = false;
    std::string scanPath_;
    std::FILE* scanFile_ = nullptr;

    int sector_ = 2048;
    int ppp_ = 1;
    int videoPayload_ = 0;
    uint32_t muxRate_ = 0;
    double byteRate_ = 0;
    double packTime_ = 0;
    double scr_ = 0, scr0_ = 0;
    double lead_ = 0;
    double initialBytes_ = 0, bytesWritten_ = 0;
    double splitThreshold_ = 0;
    double startMs_ = 0, stopMs_ = 0;
    bool split_ = false, cut_ = false, stop_ = false;
    double cutTime_ = 0;
    bool outputEnabled_ = true;
    bool brokenLink_ = false;
    bool systemHeaderDue_ = true;
    int systemPacksLeft_ = 1;
    bool navDue_ = false;
    uint32_t packCounter_ = 0;
    int packetsLeft_ = 1;
    int paddingPacks_ = 0;
    int fileCounter_ = 0;
    uint32_t unitsRead_ = 0, unitsTotal_ = 0;
    int lastPercent_ = -1;
    bool madeFurtherFile_ = false;
};

void Multiplexer::cleanUp() {
    if (v_.es) std::fclose(v_.es);
    v_.es = nullptr;
    v_.units.close();
    for (AudioState& a : a_) {
        if (a.es) std::fclose(a.es);
        a.es = nullptr;
        a.units.close();
    }
    for (int i = 0; i < 3; ++i)
        if (!in_.unitsPath[i].empty()) std::remove(in_.unitsPath[i].c_str());
    if (scanFile_) std::fclose(scanFile_);
    scanFile_ = nullptr;
    if (!scanPath_.empty()) std::remove(scanPath_.c_str());
    scanPath_.clear();
    if (out_ && ownOutput_) std::fclose(out_);
    out_ = nullptr;
}

SystemHeaderFields Multiplexer::systemFields(int mask, bool paddingPack) const {
    SystemHeaderFields f;
    f.rateBound = muxRate_;
    f.mask = mask;
    if (!mpeg2_) {
        f.csps = f.audioLock = f.videoLock = true;
    } else if (paddingPack) {
        f.csps = false;
        f.audioLock = f.videoLock = svcd_;
    }
    f.streams[0] = v_.entry;
    f.streams[1] = a_[0].entry;
    f.streams[2] = a_[1].entry;
    return f;
}

// Bytes of the packets of one pack.
int packBytes(const EncoderSettings& s, int mask) {
    const int sector = s.sectorSize;
    const int ppp = std::max(1, static_cast<int>(s.packetsPerPack));
    const bool mpeg2 = isMpeg2Type(s.programStreamType);
    int P;
    if (!s.alwaysWriteSysHeader) {
        P = mpeg2 ? sector - ppp * 22 - 14 : sector - ppp * 18 - 12;
    } else {
        P = mpeg2 ? sector - 57 : sector - 51;
        for (int i = 0; i < 3; ++i)
            if (!(mask & (1 << i))) P += 3;
    }
    return P;
}

int audioPayload(const EncoderSettings& s, int videoPayload, bool ac3) {
    return (s.programStreamType == 1 ? videoPayload - 15 : videoPayload + 5) - (ac3 ? 4 : 0);
}

// The settings the packing itself needs, checked with the messages the
// multiplexer gives when it meets them.
bool checkPayloads(Engine& engine, int mask, const bool ac3[2]) {
    const EncoderSettings& s = engine.work;
    const int sector = s.sectorSize;
    if (sector < 256 || sector > kSectorBufferSize) {
        engine.reportError(formatText("The sector size %d is not supported.", sector));
        return false;
    }
    const int videoPayload = packBytes(s, mask) / std::max(1, static_cast<int>(s.packetsPerPack));
    if (videoPayload < 64) {
        engine.reportError(formatText("The sector size %d is not supported.", sector));
        return false;
    }
    // A buffer smaller than one packet would never take one: refuse rather
    // than spin.
    const int bufferKbOf[3] = {s.videoBufferSize, s.audioBufferSize, s.audio1BufferSize};
    const int payloadOf[3] = {videoPayload, audioPayload(s, videoPayload, ac3[0]), audioPayload(s, videoPayload, ac3[1])};
    static const char* bufferNames[3] = {"video", "audio", "secondary audio"};
    for (int i = 0; i < 3; ++i) {
        if (!(mask & (1 << i)) || bufferKbOf[i] * 1024.0 >= payloadOf[i]) continue;
        engine.reportError(formatText("The %s buffer size of %d KB is smaller than one packet of %d bytes.",
                                      bufferNames[i], bufferKbOf[i], payloadOf[i]));
        return false;
    }
    return true;
}

std::string splitNameImpl(const std::string& path, int counter) { return splitPartName(path, counter); }

}  // namespace

std::string splitFileName(const std::string& programPath, int counter) { return splitNameImpl(programPath, counter); }

bool checkMultiplexSettings(Engine& engine, int mask, double durationSeconds) {
    const bool mpegAudio[2] = {false, false};
    if (!checkPayloads(engine, mask, mpegAudio)) return false;
    const EncoderSettings& s = engine.work;
    if ((mask & 1) && s.muxStartTime > 0 && s.muxStartTime > durationSeconds) {
        engine.reportError(formatText("Mux start time is greater than the total time %u seconds.",
                                      static_cast<unsigned>(durationSeconds)));
        return false;
    }
    return true;
}

namespace {

bool Multiplexer::openOutput() {
    outputName_ = s_.maxFileSize ? splitNameImpl(e_.job.programStreamName, fileCounter_) : e_.job.programStreamName;
    if (!s_.maxFileSize && in_.output && fileCounter_ == 0) {
        out_ = in_.output;
        ownOutput_ = false;
        return true;
    }
    out_ = std::fopen(outputName_.c_str(), "wb+");
    ownOutput_ = true;
    if (!out_) {
        e_.reportError(formatText("Unable to open program file %s.", outputName_.c_str()));
        return false;
    }
    if (!outBuffer_) outBuffer_ = std::make_unique<char[]>(kFileBuffer);
    std::setvbuf(out_, outBuffer_.get(), _IOFBF, kFileBuffer);
    return true;
}

bool Multiplexer::writeSector(const PackWriter& w) {
    if (!outputEnabled_) return true;
    if (std::fwrite(w.data(), 1, static_cast<size_t>(w.length()), out_) != static_cast<size_t>(w.length())) {
        e_.reportError("Unable to write to output file.");
        return false;
    }
    bytesWritten_ += w.length();
    return true;
}

void Multiplexer::statsHeader() {
    std::FILE* f = e_.job.statisticsFile;
    if (!f) return;
    std::fprintf(f, "\n");
    std::fprintf(f, "Multiplexing file %s\n\n", outputName_.c_str());
    std::fprintf(f, "  +---------+---------+---------+---------+-------------+--------+--------+--------+\n");
    std::fprintf(f, "  |  Audio1 |  Audio2 |  Video  | Padding | Bytes  MPEG | Audio1 | Audio2 | Video  |\n");
    std::fprintf(f, "  | Sectors | Sectors | Sectors | Sectors | System File | Buffer | Buffer | Buffer |\n");
    std::fprintf(f, "  +---------+---------+---------+---------+-------------+--------+--------+--------+\n");
}

void Multiplexer::statsRow() {
    std::FILE* f = e_.job.statisticsFile;
    if (!f || !outputEnabled_) return;
    std::fprintf(f, "  | %7d | %7d | %7d | %7d | %11.0f | %6d | %6d | %6d |\n", a_[0].packets, a_[1].packets,
                 v_.packets, paddingPacks_, bytesWritten_, static_cast<int>(a_[0].model.freeSpace()),
                 static_cast<int>(a_[1].model.freeSpace()), static_cast<int>(v_.model.freeSpace()));
}

void Multiplexer::statsFileEnd(int column) {
    std::FILE* f = e_.job.statisticsFile;
    if (!f) return;
    static const char* rows[3] = {
        "  |         |         |file  end|         |             |        |        |        |\n",
        "  |file  end|         |         |         |             |        |        |        |\n",
        "  |         |file  end|         |         |             |        |        |        |\n",
    };
    std::fputs(rows[column], f);
}

bool Multiplexer::setUp() {
    type_ = s_.programStreamType;
    mpeg2_ = isMpeg2Type(type_);
    vcd_ = type_ == 1;
    svcd_ = type_ == 3;
    dvd_ = type_ == 4;
    mask_ = in_.mask;
    sector_ = s_.sectorSize;
    ppp_ = std::max(1, static_cast<int>(s_.packetsPerPack));
    if (sector_ < 256 || sector_ > kSectorBufferSize) {
        e_.reportError(formatText("The sector size %d is not supported.", sector_));
        return false;
    }
    v_.present = (mask_ & kMaskVideo) != 0;
    a_[0].present = (mask_ & kMaskAudio1) != 0;
    a_[1].present = (mask_ & kMaskAudio2) != 0;

    const std::string* esNames[3] = {&e_.job.videoStreamName, &e_.job.audioStreamName, &e_.job.audio2StreamName};
    static const char* openMessages[3] = {"Unable to open video file %s.", "Unable to open audio file %s.",
                                          "Unable to open secondary audio file %s."};
    static const char* unitsMessages[3] = {"Unable to open video units file %s.", "Unable to open audio units file %s.",
                                           "Unable to open secondary audio units file %s."};
    std::FILE** esFiles[3] = {&v_.es, &a_[0].es, &a_[1].es};
    UnitsFile* unitFiles[3] = {&v_.units, &a_[0].units, &a_[1].units};
    for (int i = 0; i < 3; ++i) {
        if (!(mask_ & (1 << i))) continue;
        *esFiles[i] = std::fopen(esNames[i]->c_str(), "rb");
        if (!*esFiles[i]) {
            e_.reportError(formatText(openMessages[i], esNames[i]->c_str()));
            return false;
        }
        esBuffers_[i] = std::make_unique<char[]>(kFileBuffer);
        std::setvbuf(*esFiles[i], esBuffers_[i].get(), _IOFBF, kFileBuffer);
    }
    for (int i = 0; i < 3; ++i) {
        if (!(mask_ & (1 << i))) continue;
        if (!unitFiles[i]->openForReading(in_.unitsPath[i])) {
            e_.reportError(formatText(unitsMessages[i], in_.unitsPath[i].c_str()));
            return false;
        }
    }
    if (s_.muxSVCDScanOffsets && v_.present) {
        scanPath_ = createTemporaryFile("tmp_s");
        scanFile_ = scanPath_.empty() ? nullptr : std::fopen(scanPath_.c_str(), "wb");
        if (!scanFile_) {
            e_.reportError(formatText("Unable to open SVCD scan offsets temporary file %s.", scanPath_.c_str()));
            return false;
        }
    }
    // First records.
    for (int i = 0; i < 2; ++i) {
        AudioState& a = a_[i];
        if (!a.present) continue;
        if (!a.units.read(a.cur)) {
            e_.reportError(formatText(i == 0 ? "Unable to read from audio units file %s."
                                             : "Unable to read from secondary audio units file %s.",
                                      in_.unitsPath[1 + i].c_str()));
            return false;
        }
        a.left = a.cur.length;
        a.firstPts = a.cur.pts.ticks();
        ++unitsRead_;
    }
    if (v_.present) {
        if (!v_.units.read(v_.cur)) {
            e_.reportError(formatText("Unable to read from video units file %s.", in_.unitsPath[0].c_str()));
            return false;
        }
        v_.left = v_.cur.length;
        v_.insertAt = s_.muxSVCDScanOffsets && v_.cur.insertionPoint ? v_.cur.insertionPoint : -1;
        v_.starts = true;
        v_.firstDts = v_.cur.dts.ticks();
        ++unitsRead_;
    }
    unitsTotal_ = in_.unitCounts[0] + in_.unitCounts[1] + in_.unitCounts[2];

    // Stream ids and buffer-size fields.
    v_.entry = {0xE0, 1, static_cast<uint32_t>(s_.videoBufferSize) & 0x3FFFFF};
    const int bufferKb[2] = {s_.audioBufferSize, s_.audio1BufferSize};
    for (int i = 0; i < 2; ++i) {
        AudioState& a = a_[i];
        if (!a.present) continue;
        a.ac3 = in_.audio[i]->ac3();
        if (!a.ac3) {
            a.entry = {static_cast<uint8_t>(0xC0 + i), 0, (static_cast<uint32_t>(bufferKb[i]) * 8) & 0x3FFFFF};
        } else {
            a.entry = {0xBD, 1, static_cast<uint32_t>(bufferKb[i]) & 0x3FFFFF};
            a.subStreamId = (i == 1 && a_[0].present && a_[0].ac3) ? 0x81 : 0x80;
        }
    }
    // Data rates.
    double videoRate = 0;
    if (v_.present) {
        const VideoStreamInfo& vi = *in_.video;
        uint32_t headerRate = vi.bitRate == 0x3FFFF ? 0 : vi.bitRate;
        if (s_.useComputedBitrate == 1) videoRate = vi.computedAverageRate * 50.0;
        else if (s_.useComputedBitrate == 2) videoRate = vi.computedMaximumRate * 50.0;
        else videoRate = (headerRate ? headerRate : vi.computedMaximumRate) * 50.0;
    }
    for (int i = 0; i < 2; ++i) {
        AudioState& a = a_[i];
        if (!a.present) continue;
        const AudioStreamInfo& ai = *in_.audio[i];
        if (a.ac3) {
            a.rate = ai.bitrateIndex * 125.0;
            a.frameDuration = kAc3SamplesPerFrame / kAc3KHz[ai.samplingFrequency % 3] * kTicksPerMsLocal;
        } else {
            a.rate = kMpegAudioBitrates[ai.layer & 3][ai.bitrateIndex & 15] * 125.0;
            a.frameDuration =
                mpegAudioSamplesPerFrame(ai.layer) / kMpegAudioKHz[ai.samplingFrequency % 3] * kTicksPerMsLocal;
        }
    }
    // Payloads.
    const bool ac3[2] = {a_[0].ac3, a_[1].ac3};
    if (!checkPayloads(e_, mask_, ac3)) return false;
    const int P = packBytes(s_, mask_);
    videoPayload_ = P / ppp_;
    for (int i = 0; i < 2; ++i) a_[i].payload = audioPayload(s_, videoPayload_, a_[i].ac3);
    // Multiplex rate.
    const double streamRates = videoRate + a_[0].rate + a_[1].rate;
    double bytes = std::ceil(streamRates * sector_ / P);
    uint32_t computed = static_cast<uint32_t>(std::ceil(bytes * 0.02));
    muxRate_ = computed;
    if (s_.userMuxRate != 0) {
        muxRate_ = static_cast<uint32_t>(s_.userMuxRate);
        if (computed > muxRate_) e_.logLine("    NOTE: Mux rate may be too low for data rate, watch for PTS/DTS underflows.");
    }
    if (muxRate_ == 0) muxRate_ = 1;
    byteRate_ = muxRate_ * 50.0;
    double packsPerSecond = vcd_ && muxRate_ == 3528 ? 75 : std::floor(muxRate_ * 50.0 / sector_);
    if (packsPerSecond < 1) packsPerSecond = 1;
    packTime_ = kTicksPerSecond / packsPerSecond;
    writer_ = std::make_unique<PackWriter>(type_, sector_, muxRate_);
    // Split threshold, start and stop.
    if (v_.present && s_.maxFileSize != 0) splitThreshold_ = s_.maxFileSize * 1048576.0 - byteRate_;
    if (v_.present) {
        startMs_ = s_.muxStartTime * 1000.0;
        double latestMs = in_.video->latestPts.ticks() / kTicksPerMsLocal;
        if (startMs_ > latestMs) {
            e_.reportError(formatText("Mux start time is greater than the total time %u seconds.",
                                      static_cast<unsigned>(in_.video->latestPts.ticks() / kTicksPerSecond)));
            return false;
        }
        if (v_.cur.pts.ticks() / kTicksPerMsLocal < startMs_) outputEnabled_ = false;
        stopMs_ = s_.muxStopTime * 1000.0;
    }
    // Start-up delay and the initial clock.
    double packsNeeded = 0;
    if (v_.present) packsNeeded += static_cast<double>(v_.cur.length) / videoPayload_;
    for (AudioState& a : a_)
        if (a.present) packsNeeded += static_cast<double>(a.cur.length) / a.payload;
    double D = std::ceil(packsNeeded) * sector_ / byteRate_ * kTicksPerSecond;
    if (!s_.alwaysWriteSysHeader) D += packTime_;
    scr0_ = s_.sectorDelay * kTicksPerMsLocal;
    initialBytes_ = s_.sectorDelay * sector_ * packsPerSecond * 0.001;
    bytesWritten_ = initialBytes_;
    scr_ = scr0_;
    v_.initialOffset = v_.offset = scr0_ + (s_.videoDelay ? s_.videoDelay * kTicksPerMsLocal : D);
    a_[0].initialOffset = a_[0].offset = scr0_ + (s_.audioDelay ? s_.audioDelay * kTicksPerMsLocal : D);
    a_[1].initialOffset = a_[1].offset = scr0_ + (s_.audio1Delay ? s_.audio1Delay * kTicksPerMsLocal : D);
    v_.model.setCapacity(s_.videoBufferSize * 1024.0);
    a_[0].model.setCapacity(s_.audioBufferSize * 1024.0);
    a_[1].model.setCapacity(s_.audio1BufferSize * 1024.0);

    e_.logDetail(" ");
    e_.logDetail("  Multiplexing information");
    auto rateLine = [&](const char* fmt, double rate) {
        e_.logDetail(formatText(fmt, static_cast<int>(rate), static_cast<int>(rate * 8)));
    };
    if (v_.present) rateLine("    Video stream data rate : %d bytes/sec (%d bits/sec)", videoRate);
    if (a_[0].present) rateLine("    Audio stream 1 data rate : %d bytes/sec (%d bits/sec)", a_[0].rate);
    if (a_[1].present) rateLine("    Audio stream 2 data rate : %d bytes/sec (%d bits/sec)", a_[1].rate);
    if (s_.userMuxRate == 0) rateLine("    Overhead data rate : %d bytes/sec (%d bits/sec)", byteRate_ - streamRates);
    rateLine("    Total data rate : %d bytes/sec (%d bits/sec)", byteRate_);
    // The output is created only once the settings have passed, so a
    // rejected start time leaves no empty file behind.
    if (!openOutput()) return false;
    e_.logDetail(" ");
    e_.logLine(formatText("  Multiplexing file %s", outputName_.c_str()));
    statsHeader();

    systemHeaderDue_ = true;
    systemPacksLeft_ = vcd_ && v_.present && a_[0].present ? 2 : 1;
    packetsLeft_ = ppp_;
    return true;
}

// Reads the next video unit. endPacket: the packet must end before it.
bool Multiplexer::readVideo(bool atPacketStart, bool thresholdReached, bool& endPacket) {
    endPacket = false;
    if (!v_.units.read(v_.cur)) {
        v_.finished = true;
        v_.left = 0;
        statsFileEnd(0);
        return false;
    }
    ++unitsRead_;
    v_.left = v_.cur.length;
    v_.sent = 0;
    v_.insertAt = s_.muxSVCDScanOffsets && v_.cur.insertionPoint ? v_.cur.insertionPoint : -1;
    v_.seqInsert = false;
    const double ptsMs = v_.cur.pts.ticks() / kTicksPerMsLocal;
    const bool startReached = startMs_ > 0 && ptsMs >= startMs_ && !outputEnabled_;
    const bool stopReached = stopMs_ > 0 && ptsMs >= stopMs_ && outputEnabled_;
    if (v_.cur.pictureType == 1 && (thresholdReached || startReached || stopReached)) {
        if (stopReached) {
            stop_ = true;
        } else {
            if (thresholdReached && outputEnabled_) split_ = true;
            cut_ = true;
        }
        cutTime_ = v_.cur.pts.ticks() - v_.cur.gopLead;
        v_.starts = true;
        endPacket = true;
        return true;
    }
    if (v_.cur.pictureType == 1 && s_.alignSequenceHeaders) {
        v_.starts = true;
        endPacket = true;
        return true;
    }
    v_.starts = atPacketStart;
    return true;
}

bool Multiplexer::readAudio(AudioState& a, int column) {
    if (!a.units.read(a.cur)) {
        a.finished = true;
        a.left = 0;
        statsFileEnd(column);
        return false;
    }
    ++unitsRead_;
    a.left = a.cur.length;
    a.started = false;
    return true;
}

bool Multiplexer::videoPacket(bool firstOfPack) {
    DataPacket p;
    p.capacity = videoPayload_;
    p.video = true;
    p.input = v_.es;
    p.streamId = v_.entry.streamId;
    if (firstOfPack) {
        p.packHeader = true;
        p.scr = scr_;
        if (systemHeaderDue_ || s_.alwaysWriteSysHeader) {
            p.systemHeader = true;
            p.system = systemFields(mask_, false);
            systemHeaderDue_ = false;
        }
    }
    const bool thresholdReached = splitThreshold_ != 0 && bytesWritten_ >= splitThreshold_;
    const uint32_t hdrLen = in_.video->headerLength;
    int bytes = 0;
    bool haveStamps = false;
    VideoUnitRecord stampUnit;
    double stampOffset = 0;
    bool iStarts = false;
    auto chooseStamps = [&]() {
        haveStamps = true;
        stampUnit = v_.cur;
        stampOffset = v_.offset;
        if (s_.vbrMultiplex) lead_ = std::max(0.0, videoDts() - scr_ - kVbrLeadSlack);
    };
    if (v_.starts) {
        v_.starts = false;
        if (s_.alignSequenceHeaders && v_.cur.pictureType == 1 && !(v_.cur.flags & kUnitHasSequenceHeader) &&
            !v_.seqInsert && hdrLen > 0) {
            v_.left += hdrLen;
            v_.seqInsert = true;
            v_.cur.pictureOffset = static_cast<uint16_t>(v_.cur.pictureOffset + hdrLen);
            if (v_.insertAt >= 0) v_.insertAt += static_cast<int>(hdrLen);
        }
        if (v_.cur.pictureType == 1) iStarts = true;
    }
    while (true) {
        if (v_.left > 0) {
            int room = videoPayload_ - bytes;
            if (room == 0) break;
            int take = static_cast<int>(std::min<int64_t>(v_.left, room));
            if (v_.seqInsert && v_.sent == 0 && bytes == 0) {
                p.prefix = in_.video->header;
                p.prefixLength = static_cast<int>(hdrLen);
            }
            if (v_.insertAt >= 0 && v_.insertAt >= v_.sent && v_.insertAt < v_.sent + take) {
                if (v_.insertAt + kScanOffsetBlockSize <= v_.sent + take) {
                    p.blockAt = bytes + static_cast<int>(v_.insertAt - v_.sent);
                } else {
                    // The block goes whole into the next packet.
                    take = static_cast<int>(v_.insertAt - v_.sent);
                    if (take == 0) break;
                }
            }
            // A packet's time stamps are those of the first picture whose
            // start code begins in it. That picture's unit may have begun in
            // an earlier packet: a sector boundary can fall inside the
            // sequence header in front of an I picture.
            if (!haveStamps && v_.cur.pictureOffset >= v_.sent && v_.cur.pictureOffset < v_.sent + take)
                chooseStamps();
            v_.model.push(take, videoDts());
            bytes += take;
            v_.left -= take;
            v_.sent += take;
            if (v_.left > 0) break;
            continue;
        }
        if (v_.finished) break;
        const bool full = bytes == videoPayload_;
        bool endPacket = false;
        if (!readVideo(full, thresholdReached, endPacket)) break;
        if (endPacket || full) break;
        if (v_.cur.pictureType == 1) iStarts = true;
    }
    p.take = bytes;
    if (haveStamps) {
        const int t = stampUnit.pictureType;
        const double dts = stampUnit.dts.ticks() + stampOffset;
        const double pts = stampUnit.pts.ticks() + stampOffset;
        if (t == 1 || (t == 2 && s_.frameTimestamps != 2)) p.timestamps = kPtsAndDts;
        else if (t == 3 && s_.frameTimestamps == 0) p.timestamps = kPtsOnly;
        if (p.timestamps != kNoTimestamp) {
            p.pts.set(pts, mpeg2_);
            p.dts.set(dts, mpeg2_);
            const double stamp = p.timestamps == kPtsAndDts ? dts : pts;
            const double diff = scr_ - stamp;
            if (diff > 0) {
                e_.logDetail(formatText(p.timestamps == kPtsAndDts ? "    video DTS (%.02fms) underflow at pack %u by %.02fms"
                                                                 : "    video PTS (%.02fms) underflow at pack %u by %.02fms",
                                      stamp / kTicksPerMsLocal, packCounter_, diff / kTicksPerMsLocal));
                ++v_.underflows;
            } else if (diff < -kTicksPerSecond) {
                e_.logDetail(formatText("    video DTS (%.02fms) > 1 second from SCR (%.02f) at pack %u by %.02fms",
                                      stamp / kTicksPerMsLocal, scr_ / kTicksPerMsLocal, packCounter_,
                                      (-diff - kTicksPerSecond) / kTicksPerMsLocal));
            }
        }
    }
    if (s_.muxSVCDScanOffsets && outputEnabled_ && iStarts && scanFile_) {
        uint32_t pack = packCounter_;
        if (std::fwrite(&pack, 4, 1, scanFile_) != 1) {
            e_.reportError(formatText("Unable to write to SVCD temporary file %s.", scanPath_.c_str()));
            return false;
        }
    }
    if (!s_.muxSVCDScanOffsets) p.blockAt = -1;
    p.endCode = (split_ || stop_) && s_.writeEndCodes;
    p.brokenLink = brokenLink_;
    p.bufferField = v_.bufferField;
    p.bufferScale = v_.entry.bufferScale;
    p.bufferSize = v_.entry.bufferSize;
    if (!writer_->dataPacket(e_, p)) return false;
    brokenLink_ = false;
    if (!vcd_ && !svcd_) v_.bufferField = false;
    ++v_.packets;
    return writeSector(*writer_);
}

bool Multiplexer::audioPacket(int index, bool firstOfPack) {
    AudioState& a = a_[index];
    DataPacket p;
    p.capacity = a.payload;
    p.input = a.es;
    p.streamId = a.entry.streamId;
    p.subStreamId = a.ac3 ? a.subStreamId : -1;
    p.trailingZeros = vcd_ && s_.padVCDAudio ? 20 : 0;
    if (firstOfPack) {
        p.packHeader = true;
        p.scr = scr_;
        if (systemHeaderDue_ || s_.alwaysWriteSysHeader) {
            p.systemHeader = true;
            p.system = systemFields(mask_, false);
            systemHeaderDue_ = false;
        }
    }
    int bytes = 0;
    bool haveStamp = false;
    while (!a.finished && bytes < a.payload) {
        if (!a.started) {
            if (pending() && a.cur.pts.ticks() >= cutTime_) {
                a.doneToCut = true;
                break;
            }
            a.started = true;
            if (a.ac3) {
                if (p.ac3Frames == 0) p.ac3FirstFrame = bytes;
                ++p.ac3Frames;
            }
            if (!haveStamp) {
                haveStamp = true;
                const double pts = a.cur.pts.ticks() + a.offset;
                p.timestamps = kPtsOnly;
                p.pts.set(pts, mpeg2_);
                if (scr_ - pts > 0) {
                    e_.logDetail(formatText("    audio PTS underflow at pack %u by %.02fms", packCounter_,
                                          (scr_ - pts) / kTicksPerMsLocal));
                    ++a.underflows;
                }
            }
        }
        int take = static_cast<int>(std::min<int64_t>(a.left, a.payload - bytes));
        a.model.push(take, a.cur.pts.ticks() + a.offset);
        bytes += take;
        a.left -= take;
        if (a.left == 0 && !readAudio(a, 1 + index)) break;
    }
    p.take = bytes;
    p.bufferField = a.bufferField;
    p.bufferScale = a.entry.bufferScale;
    p.bufferSize = a.entry.bufferSize;
    if (!writer_->dataPacket(e_, p)) return false;
    if (!vcd_ && !svcd_) a.bufferField = false;
    ++a.packets;
    return writeSector(*writer_);
}

void Multiplexer::logUnderflowSummary() {
    if (v_.underflows) e_.logLine(formatText("    %u video underflows (SCR >= PTS or DTS)", v_.underflows));
    if (a_[0].underflows) e_.logLine(formatText("    %u audio 1 underflows (SCR >= PTS)", a_[0].underflows));
    if (a_[1].underflows) e_.logLine(formatText("    %u audio 2 underflows (SCR >= PTS)", a_[1].underflows));
    if (v_.underflows || a_[0].underflows || a_[1].underflows) {
        e_.logLine(" ");
        e_.logLine("    NOTE: The resulting file may not play back correctly.");
        if (vcd_ || svcd_) {
            e_.logLine("    Try reducing the video bitrate or increasing the video and");
            e_.logLine("    audio startup delays.");
        } else {
            e_.logLine("    Try increasing the mux rate.");
        }
    }
}

bool Multiplexer::endFile(bool last, double clock) {
    if (s_.writeProgramEndCode && (last || s_.writeEndCodes)) {
        writer_->clear();
        if (vcd_ || svcd_ || dvd_) writer_->endSector(clock, videoPayload_);
        else writer_->programEndCode();
        if (std::fwrite(writer_->data(), 1, static_cast<size_t>(writer_->length()), out_) !=
            static_cast<size_t>(writer_->length())) {
            e_.reportError(formatText("Unable to write to program file %s.", outputName_.c_str()));
            return false;
        }
        bytesWritten_ += writer_->length();
    }
    if (std::FILE* f = e_.job.statisticsFile) {
        statsRow();
        std::fprintf(f, "  +---------+---------+---------+---------+-------------+--------+--------+--------+\n");
    }
    logUnderflowSummary();
    e_.logLine(formatText("  Finished multiplexing %s", outputName_.c_str()));
    if (std::fflush(out_) != 0) {
        e_.reportError(formatText("Unable to flush the buffers of program file %s.", outputName_.c_str()));
        return false;
    }
    if (s_.muxSVCDScanOffsets && v_.present) {
        off_t end = ftello(out_);
        if (end < 0 || ::ftruncate(fileno(out_), end) != 0) {
            e_.reportError(formatText("Unable to set the end of file for program file %s.", outputName_.c_str()));
            return false;
        }
        if (!writeScanOffsets(e_, outputName_, out_, *in_.video, scanPath_, scanFile_)) return false;
        if (scanFile_) std::fclose(scanFile_);
        scanFile_ = nullptr;
    }
    if (ownOutput_) {
        bool ok = std::fclose(out_) == 0;
        out_ = nullptr;
        if (!ok) {
            e_.reportError(formatText("Unable to write to program file %s.", outputName_.c_str()));
            return false;
        }
    } else {
        out_ = nullptr;
    }
    return true;
}

bool Multiplexer::handleSplitOrCut() {
    if (split_) {
        if (!endFile(false, scr_ + lead_ + packTime_)) return false;
        ++fileCounter_;
        madeFurtherFile_ = true;
        if (!openOutput()) return false;
        if (s_.muxSVCDScanOffsets && v_.present) {
            scanFile_ = std::fopen(scanPath_.c_str(), "wb");
            if (!scanFile_) {
                e_.reportError(formatText("Unable to open SVCD scan offsets temporary file %s.", scanPath_.c_str()));
                return false;
            }
        }
        bytesWritten_ = initialBytes_;
        e_.logDetail(" ");
        e_.logLine(formatText("  Multiplexing file %s", outputName_.c_str()));
        statsHeader();
    } else {
        outputEnabled_ = true;
    }
    if (!s_.resetClocks) {
        scr_ += packTime_;
    } else {
        scr_ = scr0_;
        lead_ = 0;
        for (AudioState& a : a_)
            if (a.present) a.offset = a.firstPts - cutTime_ + a.initialOffset;
        v_.offset = v_.firstDts - v_.cur.dts.ticks() + v_.initialOffset;
        v_.model.clear();
        a_[0].model.clear();
        a_[1].model.clear();
    }
    systemHeaderDue_ = true;
    systemPacksLeft_ = vcd_ && v_.present && a_[0].present ? 2 : 1;
    v_.bufferField = true;
    v_.underflows = 0;
    v_.packets = 0;
    for (AudioState& a : a_) {
        a.bufferField = true;
        a.everEligible = false;
        a.underflows = 0;
        a.packets = 0;
        a.doneToCut = false;
    }
    paddingPacks_ = 0;
    packCounter_ = 0;
    packetsLeft_ = ppp_;
    brokenLink_ = s_.setBrokenLink != 0;
    navDue_ = false;
    if (!(v_.cur.flags & kUnitHasSequenceHeader) && in_.video->headerLength > 0 && !v_.seqInsert) {
        v_.left += in_.video->headerLength;
        v_.seqInsert = true;
        v_.cur.pictureOffset = static_cast<uint16_t>(v_.cur.pictureOffset + in_.video->headerLength);
        if (v_.insertAt >= 0) v_.insertAt += static_cast<int>(in_.video->headerLength);
    }
    split_ = cut_ = false;
    return true;
}

void Multiplexer::paddingPackOf(int padding) {
    (void)padding;
    writer_->paddingPack(scr_, nullptr, sector_, 0);
}

bool Multiplexer::mainLoop() {
    auto anyLeft = [&]() {
        return (v_.present && !v_.finished) || (a_[0].present && !a_[0].finished) ||
               (a_[1].present && !a_[1].finished);
    };
    while (anyLeft()) {
        if ((split_ || cut_) && audioDone(a_[0]) && audioDone(a_[1])) {
            if (!handleSplitOrCut()) return false;
        }
        e_.pumpMessages();
        if (e_.job.stopRequested) return false;
        int percent = unitsTotal_ ? static_cast<int>(std::floor(100.0 * unitsRead_ / unitsTotal_)) : 0;
        if (percent > 100) percent = 100;
        if (percent != lastPercent_) {
            lastPercent_ = percent;
            e_.setProgress(formatText("Multiplexing: %d%% - %d of %d  A/V units.", percent,
                                      static_cast<int>(unitsRead_), static_cast<int>(unitsTotal_)),
                           percent);
        }
        const bool forcedAudio = vcd_ && packCounter_ == 3;
        if (dvd_ && v_.present && !v_.finished && v_.cur.pictureType != 1) navDue_ = true;
        const bool firstOfPack = packetsLeft_ == ppp_;
        if (--packetsLeft_ <= 0) packetsLeft_ = ppp_;
        if (packCounter_ > 0 && firstOfPack) {
            scr_ += packTime_;
            if (s_.vbrMultiplex && lead_ > 0) {
                double n = std::floor(lead_ / packTime_) - 1;
                lead_ = n < 1 ? 0 : n * packTime_;
            }
        }
        if (s_.vbrMultiplex && lead_ > 0 && firstOfPack) {
            double J = lead_;
            if (v_.present) {
                for (AudioState& a : a_) {
                    if (!a.present || a.finished) continue;
                    double next = a.cur.pts.ticks() + a.offset + (a.started ? a.frameDuration : 0);
                    bool looped = false;
                    while (next - kAudioWindow < scr_ + J) {
                        J -= packTime_;
                        looped = true;
                    }
                    if (looped) J += packTime_;
                }
            }
            if (J > 0) {
                scr_ += J;
                lead_ -= J;
            } else {
                lead_ = 0;
            }
        }

        // Drain and eligibility.
        const bool isPending = pending();
        const double drainAt = isPending ? scr_ + kAudioWindow : scr_;
        v_.model.drain(drainAt);
        a_[0].model.drain(drainAt);
        a_[1].model.drain(drainAt);
        bool videoEligible = false;
        bool audioEligible[2] = {false, false};
        for (int i = 0; i < 2; ++i) {
            AudioState& a = a_[i];
            if (!a.present || a.finished || a.left <= 0) continue;
            if (isPending) {
                if (!a.started && a.cur.pts.ticks() >= cutTime_) a.doneToCut = true;
                audioEligible[i] = !a.doneToCut && a.model.freeSpace() >= a.payload;
            } else {
                const double pts = a.cur.pts.ticks() + a.offset;
                audioEligible[i] = a.model.freeSpace() >= a.payload &&
                                   (pts - scr_ < kAudioWindow || (scr_ > kAudioWindow && !a.everEligible));
                if (audioEligible[i]) a.everEligible = true;
            }
        }
        if (!isPending && v_.present)
            videoEligible = v_.model.freeSpace() >= videoPayload_ && v_.left > 0 && videoDts() - scr_ < kVideoWindow;

        bool wrote = false;
        if (!s_.alwaysWriteSysHeader && systemHeaderDue_ && firstOfPack) {
            if (dvd_) {
                writer_->navigationPack(scr_, s_.usePrivateStream2 != 0);
            } else {
                int listed = mask_;
                int total = sector_;
                if (vcd_ && systemPacksLeft_ == 2) listed = kMaskVideo;
                else if (vcd_ && (mask_ & kMaskAudio1) && (systemPacksLeft_ == 1 && v_.present)) listed = kMaskAudio1;
                int zeros = 0;
                if (vcd_ && listed == kMaskAudio1) {
                    // Sized like an audio pack: 20 bytes short unless padded.
                    total = sector_ - 20 + (s_.padVCDAudio ? 20 : 0);
                    zeros = s_.padVCDAudio ? 20 : 0;
                }
                SystemHeaderFields f = systemFields(listed, true);
                writer_->paddingPack(scr_, &f, total, zeros);
            }
            if (--systemPacksLeft_ <= 0) systemHeaderDue_ = false;
            packetsLeft_ = ppp_;
            if (!writeSector(*writer_)) return false;
            ++paddingPacks_;
            wrote = true;
        } else if (audioEligible[1]) {
            if (!audioPacket(1, firstOfPack)) return false;
            wrote = true;
        } else if (audioEligible[0] || (forcedAudio && a_[0].present && a_[0].left > 0 && !a_[0].doneToCut)) {
            if (!audioPacket(0, firstOfPack)) return false;
            wrote = true;
        } else if (dvd_ && videoEligible && navDue_ && v_.cur.pictureType == 1 && v_.sent == 0) {
            if (s_.usePrivateStream2) writer_->navigationPack(scr_, true);
            else writer_->paddingPack(scr_, nullptr, sector_, 0);
            navDue_ = false;
            packetsLeft_ = ppp_;
            if (!writeSector(*writer_)) return false;
            ++paddingPacks_;
            wrote = true;
        } else if (videoEligible) {
            if (!videoPacket(firstOfPack)) return false;
            wrote = true;
        } else if (!s_.vbrMultiplex) {
            paddingPackOf(videoPayload_);
            packetsLeft_ = ppp_;
            if (!writeSector(*writer_)) return false;
            ++paddingPacks_;
            wrote = true;
        }
        if (wrote) {
            if (firstOfPack || packetsLeft_ == ppp_) ++packCounter_;
            statsRow();
        }
        if (stop_ && audioDone(a_[0]) && audioDone(a_[1])) {
            v_.finished = true;
            for (AudioState& a : a_) a.finished = true;
        }
    }
    if (!endFile(true, scr_ + lead_ + packTime_)) return false;
    e_.setProgress(formatText("Multiplexing: 100%% - %d of %d  A/V units.", static_cast<int>(unitsRead_),
                              static_cast<int>(unitsTotal_)),
                   100);
    return true;
}

bool Multiplexer::run() {
    if (!setUp()) return false;
    return mainLoop();
}

}  // namespace

bool runMultiplexer(Engine& engine, const MultiplexInputs& inputs) {
    Multiplexer m(engine, inputs);
    return m.run();
}

}  // namespace quillon
