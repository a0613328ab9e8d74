#include "audio/audio_encoder.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "audio/analysis_filter.h"
#include "audio/audio_tables.h"
#include "audio/frame_coding.h"
#include "audio/pcm_input.h"
#include "audio/psycho_model_one.h"
#include "audio/psycho_model_two.h"
#include "engine/bit_writer.h"
#include "engine/engine.h"
#include "engine/format.h"

namespace quillon {

namespace {

using namespace audio;

const char* const kModeNames[4] = {"stereo", "joint stereo", "dual channel", "single channel"};


// One audio run: header values, the filter banks and models, and the
// per-frame working buffers.
class AudioFrameEncoder {
public:
    AudioFrameEncoder(Engine& engine, BitWriter& writer, PcmInput& input) : engine_(engine), writer_(writer), input_(input) {}

    bool setUp();
    bool run();

private:
    void analyse();
    void computeScaleFactors();
    void allocateLayerOne(int budget);
    void allocateLayerTwo(int budget);
    int sampleBits(int quantiserClass) const;
    void writeFrame(int padding, int budget);

    Engine& engine_;
    BitWriter& writer_;
    PcmInput& input_;

    // header
    int layer_ = 2, bitrateIndex_ = 0, samplingFrequency_ = 0, mode_ = 0, modeExtension_ = 0;
    int errorProtection_ = 0, privateBit_ = 0, copyright_ = 0, original_ = 0, emphasis_ = 0;
    // frame parameters
    int channels_ = 2, sblimit_ = 32, jsbound_ = 32, rateHz_ = 44100, bitrateKbps_ = 0;
    const AllocationTable* table_ = nullptr;
    SlotPlan slots_;
    FrameShape shape_;

    AnalysisMatrix matrix_;
    AnalysisFilter filters_[2];
    std::unique_ptr<PsychoModelOne> modelOne_;
    std::unique_ptr<PsychoModelTwo> modelTwo_;

    double sample_[2][3][12][32] = {};   // sub-band samples [ch][part][block][sb]
    double joint_[3][12][32] = {};       // mean of the channels, intensity sub-bands
    int scale_[2][3][32] = {};
    int jointScale_[3][32] = {};
    int scfsi_[2][32] = {};
    int allocation_[2][32] = {};
    double smr_[2][32] = {};
    SmallestRatio choice_;

    int frames_ = 0;
    double totalBits_ = 0;
};

bool AudioFrameEncoder::setUp() {
    const EncoderSettings& w = engine_.work;
    rateHz_ = engine_.ev.audioSampleRate;
    samplingFrequency_ = samplingFrequencyCode(rateHz_);
    if (samplingFrequency_ < 0) {
        engine_.reportError("Unknown audio sampling rate");
        return false;
    }
    layer_ = w.audioLayer == 1 ? 1 : 2;
    bitrateIndex_ = w.audioBitrate;
    if (bitrateIndex_ < 1 || bitrateIndex_ > 14 || (w.audioLayer != 1 && w.audioLayer != 2)) {
        engine_.reportError(formatText("Audio bitrate index %d cannot be coded in Layer %d.", bitrateIndex_, w.audioLayer));
        return false;
    }
    bitrateKbps_ = layer_ == 1 ? kLayerOneBitrates[bitrateIndex_] : kLayerTwoBitrates[bitrateIndex_];
    mode_ = std::clamp(w.audioMode, 0, 3);
    channels_ = mode_ == 3 ? 1 : 2;
    if (layer_ == 2 && !layerTwoAllowsBitrate(bitrateKbps_, channels_)) {
        engine_.reportError(formatText("Layer II cannot code %s sound at %d kbit/s.", kModeNames[mode_], bitrateKbps_));
        return false;
    }
    errorProtection_ = w.errorProtection ? 1 : 0;
    privateBit_ = w.privateBit ? 1 : 0;
    copyright_ = w.copyrightBit ? 1 : 0;
    original_ = w.originalBit ? 1 : 0;
    emphasis_ = w.deEmphasis & 3;
    modeExtension_ = 0;

    if (layer_ == 2) {
        table_ = &chooseAllocationTable(rateHz_, bitrateKbps_ / channels_);
        sblimit_ = table_->sblimit;
    } else {
        sblimit_ = 32;
    }
    // Joint stereo with mode extension 0 codes the sub-bands from 4 up as
    // intensity stereo; every other mode codes each sub-band per channel.
    jsbound_ = mode_ == 1 ? jointStereoBound(modeExtension_, sblimit_) : sblimit_;

    slots_ = planSlots(layer_, rateHz_, bitrateKbps_);
    // Layer I stereo at 32 kbit/s and 44.1 or 48 kHz: a frame is smaller
    // than its header and bit allocation.
    int sideBits = 32 + 16 * errorProtection_;
    if (layer_ == 1) {
        sideBits += layerOneAllocationBits(channels_, jsbound_);
    } else {
        for (int sb = 0; sb < sblimit_; ++sb) sideBits += table_->nbal[sb] * (sb < jsbound_ ? channels_ : 1);
    }
    if (slots_.whole * slots_.bitsPerSlot < sideBits) {
        engine_.reportError(formatText("Layer %s cannot code %s sound at %d kbit/s and %.1f kHz.", layer_ == 1 ? "I" : "II", kModeNames[mode_],
                                       bitrateKbps_, rateHz_ / 1000.0));
        return false;
    }
    if (w.verbose) {
        engine_.logLine(formatText("   slots/frame = %d.", slots_.whole));
        engine_.logLine(formatText("   frac SpF=%.3f, tot bitrate=%d kbps, s freq=%.1f kHz.", slots_.frac, bitrateKbps_,
                                   rateHz_ / 1000.0));
        if (slots_.frac != 0) engine_.logLine("   Fractional number of slots, padding required.");
    }

    const AnalysisRoutine routine = selectAnalysisRoutine(engine_.ev.MMXMode, engine_.ev.cpuFeatures);
    for (AnalysisFilter& f : filters_) f.useRoutine(routine);

    shape_ = FrameShape{layer_, channels_, samplingFrequency_, rateHz_, bitrateKbps_, engine_.ev.MMXMode,
                        engine_.ev.cpuFeatures};
    if (w.psychModel == 1)
        modelOne_ = std::make_unique<PsychoModelOne>(shape_);
    else
        modelTwo_ = std::make_unique<PsychoModelTwo>(shape_);
    return true;
}

bool AudioFrameEncoder::run() {
    PaddingSequence padding(slots_.frac);
    while (input_.fetchFrame(channels_, layer_) > 0) {
        engine_.pumpMessages();
        if (engine_.job.stopRequested) return false;
        if (writer_.writeError()) {
            engine_.reportError(formatText("Could not write to file %s", engine_.job.audioStreamName.c_str()));
            return false;
        }
        int pad = padding.next();
        int budget = (slots_.whole + pad) * slots_.bitsPerSlot;
        double before = writer_.totalBits();
        analyse();
        computeScaleFactors();
        if (modelOne_) {
            int retained[2][32];
            for (int ch = 0; ch < channels_; ++ch)
                for (int sb = 0; sb < 32; ++sb)
                    retained[ch][sb] = layer_ == 1 ? scale_[ch][0][sb]
                                                   : std::min({scale_[ch][0][sb], scale_[ch][1][sb], scale_[ch][2][sb]});
            modelOne_->analyse(input_.pcm, retained, smr_);
        } else {
            for (int ch = 0; ch < channels_; ++ch) modelTwo_->analyse(engine_, input_.pcm[ch], ch, smr_[ch]);
        }
        if (layer_ == 2) {
            for (int ch = 0; ch < channels_; ++ch)
                for (int sb = 0; sb < sblimit_; ++sb) {
                    int sf[3] = {scale_[ch][0][sb], scale_[ch][1][sb], scale_[ch][2][sb]};
                    scfsi_[ch][sb] = selectScfsi(sf);
                    for (int part = 0; part < 3; ++part) scale_[ch][part][sb] = sf[part];
                }
        }
        if (layer_ == 1)
            allocateLayerOne(budget);
        else
            allocateLayerTwo(budget);
        writeFrame(pad, budget);
        double bits = writer_.totalBits() - before;
        long whole = static_cast<long>(bits) / slots_.bitsPerSlot, rest = static_cast<long>(bits) % slots_.bitsPerSlot;
        if (rest != 0) engine_.logLine(formatText("   Sent %ld bits = %ld slots plus %ld\n", static_cast<long>(bits), whole, rest));
        totalBits_ += bits;
        ++frames_;
    }
    if (writer_.writeError()) {
        engine_.reportError(formatText("Could not write to file %s", engine_.job.audioStreamName.c_str()));
        return false;
    }
    if (frames_ > 0) {
        int samplesPerFrame = layer_ == 1 ? 384 : 1152;
        double bitsPerSample = totalBits_ / (static_cast<double>(frames_) * samplesPerFrame);
        engine_.logLine(formatText("   Avg slots/frame = %.3f; b/smp = %.2f; br = %.3f kbps.",
                                   totalBits_ / (static_cast<double>(frames_) * slots_.bitsPerSlot), bitsPerSample,
                                   bitsPerSample * rateHz_ / 1000.0));
    }
    return true;
}

void AudioFrameEncoder::analyse() {
    int parts = layer_ == 2 ? 3 : 1, offset = layer_ == 2 ? 0 : 64;
    for (int ch = 0; ch < channels_; ++ch)
        for (int part = 0; part < parts; ++part)
            for (int block = 0; block < 12; ++block)
                filters_[ch].filter(matrix_, input_.pcm[ch] + offset + (part * 12 + block) * 32,
                                    sample_[ch][part][block]);
    if (channels_ == 2 && jsbound_ < sblimit_)
        for (int part = 0; part < parts; ++part)
            for (int block = 0; block < 12; ++block)
                for (int sb = jsbound_; sb < sblimit_; ++sb)
                    joint_[part][block][sb] = (sample_[0][part][block][sb] + sample_[1][part][block][sb]) / 2;
}

void AudioFrameEncoder::computeScaleFactors() {
    int parts = layer_ == 2 ? 3 : 1;
    auto indexOf = [&](auto peakOf) {
        double peak = 0;
        for (int block = 0; block < 12; ++block) peak = std::max(peak, std::fabs(peakOf(block)));
        return layer_ == 1 ? layerOneScaleIndex(peak) : layerTwoScaleIndex(peak);
    };
    for (int ch = 0; ch < channels_; ++ch)
        for (int part = 0; part < parts; ++part)
            for (int sb = 0; sb < 32; ++sb)
                scale_[ch][part][sb] = indexOf([&](int b) { return sample_[ch][part][b][sb]; });
    if (channels_ == 2 && jsbound_ < sblimit_)
        for (int part = 0; part < parts; ++part)
            for (int sb = jsbound_; sb < sblimit_; ++sb)
                jointScale_[part][sb] = indexOf([&](int b) { return joint_[part][b][sb]; });
}

int AudioFrameEncoder::sampleBits(int quantiserClass) const {
    const QuantiserClass& q = kQuantiserClasses[quantiserClass];
    return q.groupBits ? 12 * q.groupBits : 36 * q.bits;
}

// Greedy allocation: the sub-band whose noise stands highest above its mask
// gets the next step, while the frame has bits for it.
void AudioFrameEncoder::allocateLayerTwo(int budget) {
    int bits = budget - 32 - 16 * errorProtection_;
    for (int sb = 0; sb < sblimit_; ++sb) bits -= table_->nbal[sb] * (sb < jsbound_ ? channels_ : 1);
    auto smrOf = [&](int ch, int sb) { return sb < jsbound_ ? smr_[ch][sb] : std::max(smr_[0][sb], smr_[1][sb]); };
    SmallestRatio& choice = choice_;
    choice.reset();
    for (int ch = 0; ch < 2; ++ch)
        for (int sb = 0; sb < 32; ++sb) {
            allocation_[ch][sb] = 0;
            if (!(ch >= channels_ || sb >= sblimit_ || (sb >= jsbound_ && ch == 1)))
                choice.put(2 * sb + ch, kClassSnr[0] - smrOf(ch, sb));
        }
    choice.build();
    for (int leaf; (leaf = choice.pick()) >= 0;) {
        int ch = leaf % 2, sb = leaf / 2, a = allocation_[ch][sb];
        bool shared = sb >= jsbound_ && channels_ == 2;
        int next = table_->classes[sb][a + 1];
        int cost = sampleBits(next) - (a ? sampleBits(table_->classes[sb][a]) : 0);
        if (a == 0) {
            cost += 2 + 6 * transmittedScaleFactors(scfsi_[ch][sb]);
            if (shared) cost += 2 + 6 * transmittedScaleFactors(scfsi_[1][sb]);
        }
        if (cost > bits) {
            choice.finish(leaf);
            continue;
        }
        bits -= cost;
        allocation_[ch][sb] = ++a;
        if (shared) allocation_[1][sb] = a;
        if (a == (1 << table_->nbal[sb]) - 1)
            choice.finish(leaf);
        else
            choice.set(leaf, kClassSnr[next + 1] - smrOf(ch, sb));
    }
}

void AudioFrameEncoder::allocateLayerOne(int budget) {
    int bits = budget - 32 - 16 * errorProtection_ - layerOneAllocationBits(channels_, jsbound_);
    auto smrOf = [&](int ch, int sb) { return sb < jsbound_ ? smr_[ch][sb] : std::max(smr_[0][sb], smr_[1][sb]); };
    SmallestRatio& choice = choice_;
    choice.reset();
    for (int ch = 0; ch < 2; ++ch)
        for (int sb = 0; sb < 32; ++sb) {
            allocation_[ch][sb] = 0;
            if (!(ch >= channels_ || (sb >= jsbound_ && ch == 1))) choice.put(2 * sb + ch, kClassSnr[0] - smrOf(ch, sb));
        }
    choice.build();
    for (int leaf; (leaf = choice.pick()) >= 0;) {
        int ch = leaf % 2, sb = leaf / 2, a = allocation_[ch][sb];
        bool shared = sb >= jsbound_ && channels_ == 2;
        int cost = a == 0 ? 24 + 6 * (shared ? 2 : 1) : 12;
        if (cost > bits) {
            choice.finish(leaf);
            continue;
        }
        bits -= cost;
        allocation_[ch][sb] = ++a;
        if (shared) allocation_[1][sb] = a;
        if (a == 14)
            choice.finish(leaf);
        else
            choice.set(leaf, kClassSnr[layerOneClass(a) + 1] - smrOf(ch, sb));
    }
}

void AudioFrameEncoder::writeFrame(int padding, int budget) {
    double start = writer_.totalBits();
    int allocationBits[32];
    for (int sb = 0; sb < 32; ++sb) allocationBits[sb] = layer_ == 1 ? 4 : sb < sblimit_ ? table_->nbal[sb] : 0;
    int bands = layer_ == 1 ? 32 : sblimit_;
    auto bandChannels = [&](int sb) { return sb < jsbound_ ? channels_ : 1; };

    uint32_t tail = (static_cast<uint32_t>(bitrateIndex_) << 12) | (samplingFrequency_ << 10) | (padding << 9) |
                    (privateBit_ << 8) | (mode_ << 6) | (modeExtension_ << 4) | (copyright_ << 3) | (original_ << 2) |
                    emphasis_;
    writer_.putBits(0xFFF, 12);
    writer_.putBit(1);  // MPEG-1
    writer_.putBits(4 - layer_, 2);
    writer_.putBit(1 - errorProtection_);
    writer_.putBits(tail, 16);
    if (errorProtection_) {
        Crc16 crc;
        crc.add(tail, 16);
        for (int sb = 0; sb < bands; ++sb)
            for (int ch = 0; ch < bandChannels(sb); ++ch) crc.add(allocation_[ch][sb], allocationBits[sb]);
        if (layer_ == 2)
            for (int sb = 0; sb < bands; ++sb)
                for (int ch = 0; ch < channels_; ++ch)
                    if (allocation_[ch][sb]) crc.add(scfsi_[ch][sb], 2);
        writer_.putBits(crc.value(), 16);
    }
    for (int sb = 0; sb < bands; ++sb)
        for (int ch = 0; ch < bandChannels(sb); ++ch) writer_.putBits(allocation_[ch][sb], allocationBits[sb]);
    if (layer_ == 2)
        for (int sb = 0; sb < bands; ++sb)
            for (int ch = 0; ch < channels_; ++ch)
                if (allocation_[ch][sb]) writer_.putBits(scfsi_[ch][sb], 2);
    for (int sb = 0; sb < bands; ++sb)
        for (int ch = 0; ch < channels_; ++ch) {
            if (!allocation_[ch][sb]) continue;
            if (layer_ == 1) {
                writer_.putBits(scale_[ch][0][sb], 6);
                continue;
            }
            switch (scfsi_[ch][sb]) {
                case 0: for (int part = 0; part < 3; ++part) writer_.putBits(scale_[ch][part][sb], 6); break;
                case 1: writer_.putBits(scale_[ch][0][sb], 6); writer_.putBits(scale_[ch][2][sb], 6); break;
                case 3: writer_.putBits(scale_[ch][0][sb], 6); writer_.putBits(scale_[ch][1][sb], 6); break;
                default: writer_.putBits(scale_[ch][0][sb], 6); break;
            }
        }

    // Samples, normalised by their scale factor (intensity sub-bands by the
    // scale factor of the channels' mean, which is not transmitted).
    auto normalised = [&](int ch, int part, int block, int sb) {
        if (sb >= jsbound_ && channels_ == 2) return joint_[part][block][sb] / kTableB1[jointScale_[part][sb]];
        return sample_[ch][part][block][sb] / kTableB1[scale_[ch][part][sb]];
    };
    if (layer_ == 1) {
        for (int block = 0; block < 12; ++block)
            for (int sb = 0; sb < 32; ++sb)
                for (int ch = 0; ch < bandChannels(sb); ++ch) {
                    int a = allocation_[ch][sb];
                    if (a) writer_.putBits(quantise(normalised(ch, 0, block, sb), layerOneClass(a)), a + 1);
                }
    } else {
        for (int part = 0; part < 3; ++part)
            for (int group = 0; group < 4; ++group)
                for (int sb = 0; sb < sblimit_; ++sb)
                    for (int ch = 0; ch < bandChannels(sb); ++ch) {
                        int a = allocation_[ch][sb];
                        if (!a) continue;
                        int cls = table_->classes[sb][a];
                        const QuantiserClass& q = kQuantiserClasses[cls];
                        uint32_t code[3];
                        for (int i = 0; i < 3; ++i) code[i] = quantise(normalised(ch, part, group * 3 + i, sb), cls);
                        if (q.groupBits) {
                            uint32_t levels = static_cast<uint32_t>(q.levels);
                            writer_.putBits(code[0] + levels * (code[1] + levels * code[2]), q.groupBits);
                        } else {
                            for (uint32_t c : code) writer_.putBits(c, q.bits);
                        }
                    }
    }
    int rest = budget - static_cast<int>(writer_.totalBits() - start);
    while (rest > 0) {
        int n = std::min(rest, 32);
        writer_.putBits(0, n);
        rest -= n;
    }
}

}  // namespace

bool checkAudioSettings(Engine& engine) {
    BitWriter writer;
    std::unique_ptr<PcmInput> input(new (std::nothrow) PcmInput(engine));
    std::unique_ptr<AudioFrameEncoder> encoder;
    if (input) encoder.reset(new (std::nothrow) AudioFrameEncoder(engine, writer, *input));
    if (!input || !encoder) {
        engine.reportError("Could not allocate memory for audio buffers.");
        return false;
    }
    return encoder->setUp();
}

bool runAudioEncoder(Engine& engine) {
    BitWriter writer;
    if (!writer.open(engine, engine.job.audioStreamName)) return false;
    std::unique_ptr<PcmInput> input(new (std::nothrow) PcmInput(engine));
    std::unique_ptr<AudioFrameEncoder> encoder;
    if (input) encoder.reset(new (std::nothrow) AudioFrameEncoder(engine, writer, *input));
    if (!input || !encoder) {
        engine.reportError("Could not allocate memory for audio buffers.");
        return false;
    }
    if (!input->start()) {
        engine.reportError("No sound could be read for the audio stream.");
        return false;
    }
    if (!encoder->setUp()) return false;
    bool coded = encoder->run();
    // The last buffer reaches the file only here; a full disk then must not
    // pass for a finished stream. A failure reported already is not repeated.
    if (!writer.close() && coded) {
        engine.reportError(formatText("Could not write to file %s", engine.job.audioStreamName.c_str()));
        return false;
    }
    return coded;
}

}  // namespace quillon
