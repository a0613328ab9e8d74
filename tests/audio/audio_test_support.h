// Shared pieces of the audio tests: a host, an engine set up for one audio
// run, a sample source over a buffer, test signals and the SNR measure.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/request.h"

namespace quillon::testing {

class AudioTestHost : public Host {
public:
    std::vector<std::string> messages;
    std::vector<std::string> log;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        messages.push_back(caption + ": " + text);
    }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    void logLine(const std::string& text) override { log.push_back(text); }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

// A dialog that records the progress it is shown.
class ProgressView : public DialogView {
public:
    std::vector<int> percents;
    std::vector<std::string> texts;
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int percent) override { percents.push_back(percent); }
    void setStatusText(const std::string& text) override { texts.push_back(text); }
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    void processEvents() override {}
    void runModal(DialogController&) override {}
};

// Interleaved stereo PCM handed out in blocks of blockFrames sample frames.
class BufferSource : public SampleSource {
public:
    explicit BufferSource(std::vector<int16_t> pcm, int blockFrames = 4608)
        : pcm_(std::move(pcm)), blockFrames_(blockFrames) {}
    int failAtCall = -1;             // this call (0-based) fails with 17
    Engine* stopEngine = nullptr;    // sets stopRequested on call stopAtCall
    int stopAtCall = -1;
    std::vector<int> requested;      // first sample of every call
    int getSamples(int firstSample, int32_t* consumed, int32_t* bytes, const uint8_t** pcm) override {
        int call = static_cast<int>(requested.size());
        requested.push_back(firstSample);
        if (call == stopAtCall && stopEngine) stopEngine->job.stopRequested = true;
        if (call == failAtCall) return kSourceSoundFailed;
        int frames = static_cast<int>(pcm_.size() / 2);
        int n = std::max(0, std::min(blockFrames_, frames - firstSample));
        // The block lives at one address, reused by every call.
        block_.assign(pcm_.begin() + 2 * firstSample, pcm_.begin() + 2 * (firstSample + n));
        *consumed = n;
        *bytes = n * 4;
        *pcm = reinterpret_cast<const uint8_t*>(block_.data());
        return kSourceOk;
    }
    int frames() const { return static_cast<int>(pcm_.size() / 2); }

private:
    std::vector<int16_t> pcm_;
    std::vector<int16_t> block_;
    int blockFrames_;
};

struct AudioJob {
    int layer = 2;
    int rate = 44100;
    int mode = 0;  // 0 stereo, 1 joint, 2 dual, 3 single
    int bitrate = 11;
    int model = 2;
    int crc = 0;
};

// Sets the working copies, engine and job values of one audio run.
inline void configure(Engine& engine, const AudioJob& job, SampleSource& source, int sampleFrames,
                      const std::string& output) {
    engine.work.audioLayer = job.layer;
    engine.work.audioMode = job.mode;
    engine.work.audioBitrate = job.bitrate;
    engine.work.psychModel = job.model;
    engine.work.errorProtection = job.crc;
    engine.ev.audioSampleRate = job.rate;
    engine.ev.audioStereo = job.mode == 3 ? 0 : 1;
    engine.request.sampleSource = &source;
    engine.request.sampleRate = job.rate;
    engine.job.firstSample = 0;
    engine.job.lastSample = sampleFrames - 1;
    engine.job.sampleCount = sampleFrames;
    engine.job.audioStreamName = output;
    engine.job.stopRequested = false;
}

// Stereo multi-tone: a few partials per channel, peaks near half scale.
inline std::vector<int16_t> multiTone(int frames, int rate, double noise = 0) {
    std::vector<int16_t> pcm(2 * static_cast<size_t>(frames));
    const double left[] = {220, 660, 1500, 3300, 7000};
    const double right[] = {330, 990, 2200, 4400, 9000};
    uint32_t seed = 12345;
    for (int i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / rate, l = 0, r = 0;
        for (int k = 0; k < 5; ++k) {
            l += std::sin(2 * M_PI * left[k] * t + k) / (k + 1.5);
            r += std::sin(2 * M_PI * right[k] * t + 2 * k) / (k + 1.5);
        }
        double nl = 0, nr = 0;
        if (noise > 0) {
            seed = seed * 1664525u + 1013904223u;
            nl = ((seed >> 8) & 0xFFFF) / 32768.0 - 1;
            seed = seed * 1664525u + 1013904223u;
            nr = ((seed >> 8) & 0xFFFF) / 32768.0 - 1;
        }
        pcm[2 * i] = static_cast<int16_t>(std::lround(7000 * l + noise * 16000 * nl));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lround(7000 * r + noise * 16000 * nr));
    }
    return pcm;
}

// One channel of interleaved PCM (channel -1: the mean of both).
inline std::vector<double> channelOf(const std::vector<int16_t>& pcm, int channels, int channel) {
    std::vector<double> out(pcm.size() / channels);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = channel < 0 ? (pcm[2 * i] + pcm[2 * i + 1]) / 2.0 : pcm[i * channels + channel];
    return out;
}

// SNR in dB of decoded against reference, the decoder's delay found by
// correlation; the first and last few hundred samples are left out.
inline double alignedSnr(const std::vector<double>& reference, const std::vector<double>& decoded, int* delayOut = nullptr) {
    int bestDelay = 0;
    double bestCorrelation = -1e300;
    const int edge = 2000;
    int n = static_cast<int>(reference.size());
    for (int d = 0; d <= 1200; ++d) {
        double c = 0;
        for (int i = edge; i < n - edge && i + d < static_cast<int>(decoded.size()); i += 3) c += reference[i] * decoded[i + d];
        if (c > bestCorrelation) {
            bestCorrelation = c;
            bestDelay = d;
        }
    }
    if (delayOut) *delayOut = bestDelay;
    double signal = 0, error = 0;
    for (int i = edge; i < n - edge && i + bestDelay < static_cast<int>(decoded.size()); ++i) {
        double e = decoded[i + bestDelay] - reference[i];
        signal += reference[i] * reference[i];
        error += e * e;
    }
    return 10 * std::log10(signal / std::max(error, 1e-9));
}

}  // namespace quillon::testing
