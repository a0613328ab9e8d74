// The sound of a job coded on a thread of its own while the pictures are
// coded on the engine's. The audio phase runs with an engine of its own
// (a copy of the job's values) whose host and dialog only record what they
// are told; the engine's thread hands that on where the audio phase would
// have run after the pictures, so the job's files, messages and outcome
// stay those of the phases run one after the other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/host.h"

namespace quillon {

class SoundAlongside {
public:
    // Starts phases.encodeAudio for the engine's job, or returns null when
    // the job's sound cannot be read on another thread.
    static std::unique_ptr<SoundAlongside> start(Engine& engine, ConversionPhases& phases);
    ~SoundAlongside();
    SoundAlongside(const SoundAlongside&) = delete;
    SoundAlongside& operator=(const SoundAlongside&) = delete;

    // Waits for the phase, pumping the engine's messages meanwhile (a stop
    // reaches the phase, its progress the dialog), then passes on what it
    // reported and returns its result.
    bool finish();
    // Stops the phase and drops what it did: its messages, a failure of
    // the sound it read, and the stream it wrote (left empty, as a run that
    // never reached the sound leaves it). For a run whose sound is coded
    // again afterwards (cut to the pictures a stop left) or not at all.
    void discard();

    // What the phase's engine reported, in order.
    struct Report {
        enum Kind { Box, Log, Detail, Dropped } kind;
        std::string caption, text;
        MessageIcon icon = MessageIcon::None;
        bool ownedByDialog = false;
    };

private:
    class RecordingHost;
    class RecordingDialog;

    SoundAlongside(Engine& engine, ConversionPhases& phases);
    void run();
    void join();
    void endSound(bool report);

    Engine& engine_;
    ConversionPhases& phases_;
    std::unique_ptr<RecordingHost> host_;
    std::unique_ptr<RecordingDialog> dialog_;
    std::unique_ptr<Engine> worker_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;  // guarded by mutex_
    bool result_ = false;
    std::exception_ptr error_;  // what escaped the phase, rethrown by finish
    bool soundBegun_ = false;
    std::thread thread_;
};

}  // namespace quillon
