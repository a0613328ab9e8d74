#include <gtest/gtest.h>

#include <filesystem>

#include "audio/audio_encoder.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::AudioJob;

struct Encoded {
    bool ok = false;
    testing::DecodedAudio decoded;
    std::vector<std::string> messages;
    std::vector<std::string> log;
    uintmax_t bytes = 0;
};

Encoded encode(const AudioJob& job, const std::vector<int16_t>& pcm, int blockFrames = 4608) {
    testing::AudioTestHost host;
    Engine engine(host);
    testing::TempDir dir;
    testing::BufferSource source(pcm, blockFrames);
    std::string path = dir.file("a.mpa");
    testing::configure(engine, job, source, source.frames(), path);
    Encoded out;
    out.ok = runAudioEncoder(engine);
    out.messages = host.messages;
    out.log = host.log;
    if (std::filesystem::exists(path)) {
        out.bytes = std::filesystem::file_size(path);
        out.decoded = testing::decodeAudio(path, true);
    }
    return out;
}

TEST(AudioEncoder, SmokeLayerTwo) {
    AudioJob job;
    auto pcm = testing::multiTone(44100, 44100);
    Encoded e = encode(job, pcm);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.decoded.errors, 0);
    EXPECT_EQ(e.decoded.channels, 2);
    int delay = 0;
    double snr = testing::alignedSnr(testing::channelOf(pcm, 2, 0), testing::channelOf(e.decoded.samples, 2, 0), &delay);
    std::printf("snr %.2f delay %d frames %d samples %zu\n", snr, delay, e.decoded.frames, e.decoded.samples.size() / 2);
}

}  // namespace
}  // namespace quillon
namespace quillon {
namespace {
TEST(AudioEncoder, Probe) {
    for (int layer : {1, 2})
        for (int rate : {32000, 44100, 48000})
            for (int mode : {0, 1, 2, 3})
                for (int model : {1, 2})
                    for (int crc : {0, 1}) {
                        AudioJob job{layer, rate, mode, mode == 3 ? 8 : 10, model, crc};
                        auto pcm = testing::multiTone(rate / 2, rate);
                        Encoded e = encode(job, pcm);
                        int ch = mode == 3 ? 1 : 2;
                        double snr = testing::alignedSnr(testing::channelOf(pcm, 2, ch == 1 ? -1 : 0),
                                                         testing::channelOf(e.decoded.samples, e.decoded.channels ? e.decoded.channels : 1, 0));
                        double snr1 = testing::alignedSnr(testing::channelOf(pcm, 2, ch == 1 ? -1 : 1), testing::channelOf(e.decoded.samples, e.decoded.channels ? e.decoded.channels : 1, ch == 1 ? 0 : 1));
                        std::printf("L%d %d m%d model%d crc%d ok%d err%d ch%d frames %d snr %.2f %.2f bytes %ju\n", layer, rate, mode, model, crc, e.ok,
                                    e.decoded.errors, e.decoded.channels, e.decoded.frames, snr, snr1, e.bytes);
                    }
}
}  // namespace
}  // namespace quillon
