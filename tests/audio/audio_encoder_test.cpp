#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "audio/audio_encoder.h"
#include "engine/format.h"
#include "engine/presets.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::AudioJob;

const int kLayerOneKbps[15] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
const int kLayerTwoKbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};

struct FrameHeader {
    int layer, protectedByCrc, bitrateIndex, samplingFrequency, padding, privateBit, mode, modeExtension;
    int copyright, original, emphasis;
    size_t bytes;
};

// Walks the stream frame by frame; an empty result when a header is broken.
std::vector<FrameHeader> headers(const std::vector<uint8_t>& data) {
    std::vector<FrameHeader> out;
    const int rates[3] = {44100, 48000, 32000};
    size_t pos = 0;
    while (pos + 4 <= data.size()) {
        const uint8_t* h = &data[pos];
        if (h[0] != 0xFF || (h[1] & 0xF8) != 0xF8) return {};
        FrameHeader f;
        f.layer = 4 - ((h[1] >> 1) & 3);
        f.protectedByCrc = !(h[1] & 1);
        f.bitrateIndex = h[2] >> 4;
        f.samplingFrequency = (h[2] >> 2) & 3;
        f.padding = (h[2] >> 1) & 1;
        f.privateBit = h[2] & 1;
        f.mode = h[3] >> 6;
        f.modeExtension = (h[3] >> 4) & 3;
        f.copyright = (h[3] >> 3) & 1;
        f.original = (h[3] >> 2) & 1;
        f.emphasis = h[3] & 3;
        if (f.samplingFrequency == 3 || f.bitrateIndex == 0 || f.bitrateIndex == 15) return {};
        int rate = rates[f.samplingFrequency];
        f.bytes = f.layer == 1 ? (12000 * kLayerOneKbps[f.bitrateIndex] / rate + f.padding) * 4
                               : 144000 * kLayerTwoKbps[f.bitrateIndex] / rate + f.padding;
        out.push_back(f);
        pos += f.bytes;
    }
    return pos == data.size() ? out : std::vector<FrameHeader>{};
}

struct Encoded {
    bool ok = false;
    testing::DecodedAudio decoded;
    std::vector<FrameHeader> frames;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    size_t bytes = 0;
    std::vector<uint8_t> data;
};

struct Options {
    int blockFrames = 4608;
    int failAtCall = -1;
    int stopAtCall = -1;
    int verbose = 0;
    bool extraBits = false;
    bool crcCheck = true;
};

Encoded encode(const AudioJob& job, const std::vector<int16_t>& pcm, const Options& o = {}) {
    testing::AudioTestHost host;
    Engine engine(host);
    testing::TempDir dir;
    testing::BufferSource source(pcm, o.blockFrames);
    source.failAtCall = o.failAtCall;
    source.stopAtCall = o.stopAtCall;
    source.stopEngine = &engine;
    std::string path = dir.file("a.mpa");
    testing::configure(engine, job, source, source.frames(), path);
    engine.work.verbose = o.verbose;
    if (o.extraBits) {
        engine.work.privateBit = 1;
        engine.work.copyrightBit = 1;
        engine.work.originalBit = 1;
        engine.work.deEmphasis = 3;
    }
    Encoded out;
    out.ok = runAudioEncoder(engine);
    out.messages = host.messages;
    out.log = host.log;
    if (std::filesystem::exists(path)) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        out.bytes = data.size();
        out.frames = headers(data);
        if (!data.empty()) out.decoded = testing::decodeAudio(path, o.crcCheck);
        out.data = std::move(data);
    }
    return out;
}

int samplesPerFrame(int layer) { return layer == 1 ? 384 : 1152; }

double snrOf(const std::vector<int16_t>& pcm, const Encoded& e, int channel) {
    int channels = std::max(e.decoded.channels, 1);
    return testing::alignedSnr(testing::channelOf(pcm, 2, channels == 1 ? -1 : channel),
                               testing::channelOf(e.decoded.samples, channels, channels == 1 ? 0 : channel));
}

// Every layer, rate, stereo and single channel, a low and a high bit rate,
// both models, with and without CRC: libavcodec decodes each with its CRC
// check on, to the input's length rounded up to whole frames.
TEST(AudioEncoder, EveryCombinationDecodesCleanly) {
    struct Rates { int layer, mode, low, high; };
    const Rates ladders[] = {{1, 0, 2, 14}, {1, 3, 1, 6}, {2, 0, 4, 14}, {2, 3, 1, 10}};
    for (int rate : {32000, 44100, 48000}) {
        int frames = rate / 5 + 77;
        auto pcm = testing::multiTone(frames, rate);
        for (const Rates& r : ladders)
            for (int bitrate : {r.low, r.high})
                for (int model : {1, 2})
                    for (int crc : {0, 1}) {
                        AudioJob job{r.layer, rate, r.mode, bitrate, model, crc};
                        SCOPED_TRACE(::testing::Message() << "layer " << r.layer << " rate " << rate << " mode " << r.mode
                                                        << " bitrate " << bitrate << " model " << model << " crc " << crc);
                        Encoded e = encode(job, pcm);
                        ASSERT_TRUE(e.ok);
                        EXPECT_TRUE(e.messages.empty());
                        EXPECT_EQ(e.decoded.errors, 0);
                        EXPECT_EQ(e.decoded.sampleRate, rate);
                        EXPECT_EQ(e.decoded.channels, r.mode == 3 ? 1 : 2);
                        int spf = samplesPerFrame(r.layer);
                        int wantFrames = (frames + spf - 1) / spf;
                        ASSERT_EQ(static_cast<int>(e.frames.size()), wantFrames);
                        EXPECT_EQ(e.decoded.samples.size(), static_cast<size_t>(wantFrames) * spf * e.decoded.channels);
                        for (const FrameHeader& f : e.frames) {
                            ASSERT_EQ(f.layer, r.layer);
                            ASSERT_EQ(f.bitrateIndex, bitrate);
                            ASSERT_EQ(f.protectedByCrc, crc);
                            ASSERT_EQ(f.mode, r.mode);
                        }
                        // The lowest rates keep little more than the loudest
                        // partials; the highest keep them all, as far as the
                        // filter bank lets them (its window is the decoder's
                        // synthesis window over 32).
                        for (int ch = 0; ch < e.decoded.channels; ++ch)
                            EXPECT_GT(snrOf(pcm, e, ch), bitrate == r.high ? 55.0 : 0.3) << "channel " << ch;
                    }
    }
}

TEST(AudioEncoder, DualChannelAndJointStereoHeaders) {
    auto pcm = testing::multiTone(20000, 48000);
    for (int layer : {1, 2})
        for (int mode : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "layer " << layer << " mode " << mode);
            // libavcodec checks the CRC of Layer I joint stereo over 256
            // allocation bits whatever the bound, where the frame has 144
            // (LayerOneJointStereoCrcCoversTheAllocationAsCoded checks ours),
            // so that one combination is decoded without its CRC check.
            bool crcCheck = !(layer == 1 && mode == 1);
            Encoded e = encode(AudioJob{layer, 48000, mode, layer == 1 ? 10 : 11, 2, 1}, pcm, Options{.crcCheck = crcCheck});
            ASSERT_TRUE(e.ok);
            EXPECT_EQ(e.decoded.errors, 0);
            EXPECT_EQ(e.decoded.channels, 2);
            ASSERT_FALSE(e.frames.empty());
            EXPECT_EQ(e.frames[0].mode, mode);
            EXPECT_EQ(e.frames[0].modeExtension, 0);
            // The test tones of the two channels lie in different sub-bands, so
            // even the intensity-coded upper sub-bands keep them apart.
            EXPECT_GT(snrOf(pcm, e, 0), 20.0);
            EXPECT_GT(snrOf(pcm, e, 1), 20.0);
        }
}

// CRC-16 of ISO/IEC 11172-3 over a run of bits, written out here apart from
// the encoder's.
uint16_t crcOfBits(const std::vector<uint8_t>& data, size_t firstBit, size_t bits, uint16_t crc = 0xFFFF) {
    for (size_t i = firstBit; i < firstBit + bits; ++i) {
        int bit = (data[i / 8] >> (7 - i % 8)) & 1;
        bool top = ((crc >> 15) & 1) != bit;
        crc = static_cast<uint16_t>(crc << 1);
        if (top) crc ^= 0x8005;
    }
    return crc;
}

// Layer I joint stereo: the CRC covers the header's last 16 bits and the bit
// allocation, both channels' 4-bit fields below the bound (4 for mode
// extension 0) and one field per sub-band from there up: 144 bits.
TEST(AudioEncoder, LayerOneJointStereoCrcCoversTheAllocationAsCoded) {
    auto pcm = testing::multiTone(9600, 48000);
    Encoded e = encode(AudioJob{1, 48000, 1, 10, 1, 1}, pcm, Options{.crcCheck = false});
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.decoded.errors, 0);
    ASSERT_EQ(e.frames.size(), 25u);
    size_t pos = 0;
    for (const FrameHeader& f : e.frames) {
        ASSERT_EQ(f.protectedByCrc, 1);
        ASSERT_EQ(f.mode, 1);
        int bound = 4 * (f.modeExtension + 1);
        size_t allocationBits = 4 * (2 * bound + (32 - bound));
        uint16_t crc = crcOfBits(e.data, 8 * pos + 16, 16);
        crc = crcOfBits(e.data, 8 * pos + 48, allocationBits, crc);
        ASSERT_EQ(crc, (e.data[pos + 4] << 8) | e.data[pos + 5]) << "frame at byte " << pos;
        pos += f.bytes;
    }
    EXPECT_GT(snrOf(pcm, e, 0), 20.0);
    EXPECT_GT(snrOf(pcm, e, 1), 20.0);
}

// The CRC really guards the side information: one flipped allocation bit
// makes the decoder reject the frame.
TEST(AudioEncoder, CorruptedSideInformationFailsTheCrc) {
    for (int layer : {1, 2}) {
        testing::AudioTestHost host;
        Engine engine(host);
        testing::TempDir dir;
        auto pcm = testing::multiTone(6000, 44100);
        testing::BufferSource source(pcm);
        std::string path = dir.file("c.mpa");
        testing::configure(engine, AudioJob{layer, 44100, 0, 10, 2, 1}, source, source.frames(), path);
        ASSERT_TRUE(runAudioEncoder(engine));
        ASSERT_EQ(testing::decodeAudio(path, true).errors, 0);
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(6);  // the first allocation fields, right after the CRC
        char b = 0;
        f.read(&b, 1);
        b = static_cast<char>(b ^ 0x10);
        f.seekp(6);
        f.write(&b, 1);
        f.close();
        EXPECT_GT(testing::decodeAudio(path, true).errors, 0) << layer;
    }
}

TEST(AudioEncoder, HeaderCarriesTheFlagsAndThePaddingSequence) {
    auto pcm = testing::multiTone(14 * 1152, 44100);
    Encoded e = encode(AudioJob{2, 44100, 0, 11, 1, 1}, pcm, Options{.verbose = 1, .extraBits = true});
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.decoded.errors, 0);
    ASSERT_EQ(e.frames.size(), 14u);
    std::vector<int> padding;
    for (const FrameHeader& f : e.frames) {
        padding.push_back(f.padding);
        EXPECT_EQ(f.samplingFrequency, 0);
        EXPECT_EQ(f.privateBit, 1);
        EXPECT_EQ(f.copyright, 1);
        EXPECT_EQ(f.original, 1);
        EXPECT_EQ(f.emphasis, 3);
        EXPECT_EQ(f.bytes, 731u + f.padding);
    }
    EXPECT_EQ(padding, (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(e.log, (std::vector<std::string>{
                         "   slots/frame = 731.",
                         "   frac SpF=0.429, tot bitrate=224 kbps, s freq=44.1 kHz.",
                         "   Fractional number of slots, padding required.",
                         "   Avg slots/frame = 731.429; b/smp = 5.08; br = 224.000 kbps.",
                     }));

    Encoded exact = encode(AudioJob{2, 48000, 0, 11, 2, 0}, testing::multiTone(5000, 48000), Options{.verbose = 1});
    ASSERT_TRUE(exact.ok);
    for (const FrameHeader& f : exact.frames) {
        EXPECT_EQ(f.padding, 0);
        EXPECT_EQ(f.bytes, 672u);
    }
    EXPECT_EQ(exact.log, (std::vector<std::string>{
                             "   slots/frame = 672.",  // and no padding line
                             "   frac SpF=0.000, tot bitrate=224 kbps, s freq=48.0 kHz.",
                             "   absthr[][] sampling frequency index: 2.",
                             "   Avg slots/frame = 672.000; b/smp = 4.67; br = 224.000 kbps.",
                         }));
}

TEST(AudioEncoder, MultiToneQualityAndBitrateLadder) {
    auto tones = testing::multiTone(22050, 44100);
    auto noisy = testing::multiTone(22050, 44100, 0.1);
    for (int model : {1, 2}) {
        SCOPED_TRACE(::testing::Message() << "model " << model);
        Encoded two = encode(AudioJob{2, 44100, 0, 11, model, 0}, tones);   // 224 kbit/s
        Encoded one = encode(AudioJob{1, 44100, 0, 6, model, 0}, tones);    // 192 kbit/s
        Encoded twoNoisy = encode(AudioJob{2, 44100, 0, 11, model, 0}, noisy);
        Encoded oneNoisy = encode(AudioJob{1, 44100, 0, 6, model, 0}, noisy);
        for (int ch = 0; ch < 2; ++ch) {
            double a = snrOf(tones, two, ch), b = snrOf(tones, one, ch);
            double c = snrOf(noisy, twoNoisy, ch), d = snrOf(noisy, oneNoisy, ch);
            std::printf("model %d channel %d: tones L2 %.1f dB, L1 %.1f dB; tones+noise L2 %.1f dB, L1 %.1f dB\n",
                        model, ch, a, b, c, d);
            EXPECT_GE(a, 20.0);
            // Far above that: our analysis window matches the decoder's
            // synthesis window closely enough not to limit the quality.
            EXPECT_GE(a, 40.0);
            EXPECT_GE(b, 20.0);
            EXPECT_GE(c, 12.0);
            EXPECT_GE(d, 12.0);
        }
    }
    // Higher bit rates never lose quality.
    auto shortTones = testing::multiTone(8000, 44100, 0.1);
    for (int layer : {1, 2})
        for (int model : {1, 2}) {
            double previous = -100;
            for (int bitrate = layer == 1 ? 4 : 6; bitrate <= 14; ++bitrate) {
                Encoded e = encode(AudioJob{layer, 44100, 0, bitrate, model, 0}, shortTones);
                double snr = snrOf(shortTones, e, 0);
                EXPECT_GE(snr, previous - 0.5) << "layer " << layer << " model " << model << " bitrate " << bitrate;
                previous = std::max(previous, snr);
            }
        }
}

TEST(AudioEncoder, SilenceGivesAValidStreamOfTheRightLength) {
    std::vector<int16_t> silence(2 * 10000, 0);
    for (int layer : {1, 2}) {
        Encoded e = encode(AudioJob{layer, 32000, 0, 4, 1, 1}, silence);
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(e.decoded.errors, 0);
        int spf = samplesPerFrame(layer);
        ASSERT_EQ(static_cast<int>(e.frames.size()), (10000 + spf - 1) / spf);
        size_t frameBytes = layer == 1 ? 12000 * 128 / 32000 * 4 : 144000 * 64 / 32000;
        EXPECT_EQ(e.bytes, e.frames.size() * frameBytes);
        for (int16_t s : e.decoded.samples) ASSERT_EQ(s, 0);
    }
}

TEST(AudioEncoder, AFailingSourceEndsTheSoundAndTheStreamStaysValid) {
    auto pcm = testing::multiTone(20000, 44100);
    Encoded e = encode(AudioJob{2, 44100, 0, 11, 2, 1}, pcm, Options{.blockFrames = 3000, .failAtCall = 2});
    ASSERT_TRUE(e.ok);
    EXPECT_TRUE(e.messages.empty());
    EXPECT_EQ(e.decoded.errors, 0);
    EXPECT_EQ(e.frames.size(), 6u);  // 6000 sample frames delivered
    EXPECT_EQ(e.decoded.samples.size(), 6u * 1152 * 2);
}

TEST(AudioEncoder, AStopEndsWithFailureAndKeepsTheFramesWritten) {
    auto pcm = testing::multiTone(20000, 44100);
    Encoded e = encode(AudioJob{2, 44100, 0, 11, 2, 0}, pcm, Options{.blockFrames = 1152, .stopAtCall = 5});
    EXPECT_FALSE(e.ok);
    EXPECT_TRUE(e.messages.empty());
    EXPECT_EQ(e.decoded.errors, 0);
    // Frames 0..4 were coded; the fetch of frame 5 ran the stopping call.
    EXPECT_EQ(e.frames.size(), 5u);
}

// The presets' sound settings (Layer II, 224 kbit/s or the single-channel
// cap, model 2) at the rates the application asks for.
TEST(AudioEncoder, PresetSoundDecodes) {
    for (int kind : {kKindVcd, kKindDvd})
        for (int stereo : {1, 0}) {
            testing::AudioTestHost host;
            Engine engine(host);
            testing::TempDir dir;
            int rate = kind == kKindDvd ? 48000 : 44100;
            auto pcm = testing::multiTone(rate / 4, rate);
            testing::BufferSource source(pcm, 1000);
            applyPreset(engine.work, kind, 1, stereo);
            if (!stereo) engine.work.audioBitrate = std::min(engine.work.audioBitrate, 10);  // the job start's cap
            std::string path = dir.file("p.mpa");
            engine.ev.audioSampleRate = rate;
            engine.request.sampleSource = &source;
            engine.job.lastSample = source.frames() - 1;
            engine.job.sampleCount = source.frames();
            engine.job.audioStreamName = path;
            ASSERT_TRUE(runAudioEncoder(engine));
            testing::DecodedAudio d = testing::decodeAudio(path, true);
            EXPECT_EQ(d.errors, 0);
            EXPECT_EQ(d.channels, stereo ? 2 : 1);
            EXPECT_EQ(d.bitRate, stereo ? 224000 : 192000);
            EXPECT_EQ(d.samples.size(), static_cast<size_t>((source.frames() + 1151) / 1152 * 1152 * d.channels));
        }
}

TEST(AudioEncoder, FailuresAreReportedOnce) {
    auto pcm = testing::multiTone(5000, 44100);
    Encoded rate = encode(AudioJob{2, 22050, 0, 11, 2, 0}, pcm);
    EXPECT_FALSE(rate.ok);
    EXPECT_EQ(rate.messages, std::vector<std::string>{"Quorvel Encoder - error: Unknown audio sampling rate"});
    EXPECT_EQ(rate.bytes, 0u);

    Encoded freeFormat = encode(AudioJob{2, 44100, 0, 0, 2, 0}, pcm);
    EXPECT_FALSE(freeFormat.ok);
    EXPECT_EQ(freeFormat.messages.size(), 1u);

    Encoded nothing = encode(AudioJob{2, 44100, 0, 11, 2, 0}, {});
    EXPECT_FALSE(nothing.ok);
    EXPECT_EQ(nothing.messages.size(), 1u);

    testing::AudioTestHost host;
    Engine engine(host);
    testing::BufferSource source(pcm);
    testing::configure(engine, AudioJob{}, source, source.frames(), "/nonexistent-dir/a.mpa");
    EXPECT_FALSE(runAudioEncoder(engine));
    EXPECT_EQ(host.messages,
              std::vector<std::string>{"Quorvel Encoder - error: Unable to open file /nonexistent-dir/a.mpa for writing."});
}

TEST(AudioEncoder, AFullDiskIsReported) {
    // 5 s of Layer I at 448 kbit/s overflow the writer's buffer; 0.5 s of
    // Layer II at 224 kbit/s (about 14 kB) reach the file only at the close.
    for (AudioJob job : {AudioJob{1, 32000, 0, 14, 1, 0}, AudioJob{2, 44100, 0, 11, 1, 0}}) {
        SCOPED_TRACE(::testing::Message() << "layer " << job.layer);
        std::vector<int16_t> silence(2 * static_cast<size_t>(job.layer == 1 ? 160000 : 22050), 0);
        testing::AudioTestHost host;
        Engine engine(host);
        testing::BufferSource source(silence);
        testing::configure(engine, job, source, source.frames(), "/dev/full");
        EXPECT_FALSE(runAudioEncoder(engine));
        EXPECT_EQ(host.messages, std::vector<std::string>{"Quorvel Encoder - error: Could not write to file /dev/full"});
    }
}

// Layer II has no 32, 48, 56 or 80 kbit/s for two channels and nothing above
// 192 kbit/s for one: such settings are refused, not coded into a stream
// decoders may reject.
TEST(AudioEncoder, BitRatesTheModeCannotCarryAreRefused) {
    auto pcm = testing::multiTone(2000, 44100);
    const char* const modes[3] = {"stereo", "joint stereo", "dual channel"};
    const int lowKbps[15] = {0, 32, 48, 56, 0, 80};
    for (int index : {1, 2, 3, 5})
        for (int mode = 0; mode < 3; ++mode) {
            Encoded e = encode(AudioJob{2, 44100, mode, index, 1, 0}, pcm);
            EXPECT_FALSE(e.ok);
            EXPECT_EQ(e.messages, std::vector<std::string>{"Quorvel Encoder - error: " +
                                                           formatText("Layer II cannot code %s sound at %d kbit/s.",
                                                                      modes[mode], lowKbps[index])});
            EXPECT_EQ(e.bytes, 0u);
        }
    for (int index = 11; index <= 14; ++index) {
        Encoded e = encode(AudioJob{2, 48000, 3, index, 2, 0}, pcm);
        EXPECT_FALSE(e.ok);
        EXPECT_EQ(e.messages, std::vector<std::string>{"Quorvel Encoder - error: " +
                                                       formatText("Layer II cannot code single channel sound at %d kbit/s.",
                                                                  kLayerTwoKbps[index])});
    }
    // Layer I knows no such limits, but its stereo frames at 32 kbit/s hold
    // 8 or 9 slots, less than header and bit allocation need, except at 32 kHz.
    for (int rate : {44100, 48000}) {
        Encoded e = encode(AudioJob{1, rate, 0, 1, 1, 0}, pcm);
        EXPECT_FALSE(e.ok);
        EXPECT_EQ(e.messages, std::vector<std::string>{"Quorvel Encoder - error: " +
                                                       formatText("Layer I cannot code stereo sound at 32 kbit/s and %.1f kHz.",
                                                                  rate / 1000.0)});
    }
    for (AudioJob job : {AudioJob{1, 32000, 0, 1, 1, 1}, AudioJob{1, 44100, 3, 1, 1, 1}, AudioJob{1, 48000, 0, 2, 1, 1}}) {
        Encoded e = encode(job, testing::multiTone(job.rate / 10, job.rate));
        EXPECT_TRUE(e.ok) << job.rate;
        EXPECT_EQ(e.decoded.errors, 0) << job.rate;
        EXPECT_FALSE(e.frames.empty()) << job.rate;
    }
}

}  // namespace
}  // namespace quillon
