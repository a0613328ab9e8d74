#include "engine/sound_alongside.h"
#include "engine/thread_name.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <new>

namespace quillon {

// Keeps what the phase's engine says for the engine's thread to hand on.
class SoundAlongside::RecordingHost : public Host {
public:
    void messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                    bool ownedByDialog) override {
        add({Report::Box, caption, text, icon, ownedByDialog});
    }
    // The phase's engine pumps no dialog, so it never asks.
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    void logLine(const std::string& text) override { add({Report::Log, {}, text}); }
    void logDetail(const std::string& text) override { add({Report::Detail, {}, text}); }
    void droppedWarning(const std::string& text) override { add({Report::Dropped, {}, text}); }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }

    std::vector<Report> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(reports_);
    }

private:
    void add(Report r) {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(std::move(r));
    }
    std::mutex mutex_;
    std::vector<Report> reports_;
};

// Stands for the conversion dialog in the phase's engine, so that its
// messages are owned by the dialog as they would be, and keeps the last
// progress for the engine's thread to show.
class SoundAlongside::RecordingDialog : public DialogView {
public:
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int percent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        percent_ = percent;
        changed_ = true;
    }
    void setStatusText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = text;
        changed_ = true;
    }
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    void processEvents() override {}
    void runModal(DialogController&) override {}

    // Shows the last progress in `view` if it changed since the last call.
    void passTo(DialogView& view) {
        std::string status;
        int percent;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!changed_) return;
            changed_ = false;
            status = status_;
            percent = percent_;
        }
        view.setStatusText(status);
        view.setProgressValue(percent);
    }

private:
    std::mutex mutex_;
    std::string status_;
    int percent_ = 0;
    bool changed_ = false;
};

SoundAlongside::SoundAlongside(Engine& engine, ConversionPhases& phases)
    : engine_(engine),
      phases_(phases),
      host_(std::make_unique<RecordingHost>()),
      dialog_(std::make_unique<RecordingDialog>()),
      worker_(std::make_unique<Engine>(*host_)) {
    Engine& w = *worker_;
    w.record = engine.record;
    w.work = engine.work;
    w.ev = engine.ev;
    w.job = engine.job;
    // The statistics file belongs to the pictures (and the engine closes
    // the one it holds).
    w.job.statisticsFile = nullptr;
    w.request = engine.request;
    w.settingsFile = engine.settingsFile;
    w.qualityOverride = engine.qualityOverride;
    w.fitSize = engine.fitSize;
    w.settingsFileRejected = engine.settingsFileRejected;
    w.replaceExisting = engine.replaceExisting;
    w.profileProblem = engine.profileProblem;
    w.setPhases(&phases);
    if (engine.activeDialog()) w.setActiveDialog(dialog_.get());
    w.linkStop(&stop_);
}

std::unique_ptr<SoundAlongside> SoundAlongside::start(Engine& engine, ConversionPhases& phases) {
    SampleSource* source = engine.request.sampleSource;
    if (source && !source->beginConcurrentSound()) return nullptr;
    std::unique_ptr<SoundAlongside> s(new SoundAlongside(engine, phases));
    s->soundBegun_ = source != nullptr;
    SoundAlongside* self = s.get();
    s->thread_ = std::thread([self] {
        nameThisThread("q-sound");
        self->run();
    });
    return s;
}

void SoundAlongside::run() {
    bool ok = false;
    std::exception_ptr error;
    try {
        ok = phases_.encodeAudio(*worker_);
    } catch (const std::bad_alloc&) {
        worker_->reportError("Not enough memory to go on; the conversion stops here.");
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = ok;
        error_ = error;
        finished_ = true;
    }
    done_.notify_all();
}

void SoundAlongside::join() {
    if (thread_.joinable()) thread_.join();
}

void SoundAlongside::endSound(bool report) {
    if (!soundBegun_) return;
    soundBegun_ = false;
    engine_.request.sampleSource->endConcurrentSound(report);
}

bool SoundAlongside::finish() {
    // The sound's progress is shown before every pump, the last one after
    // the sound ended too: a stop pressed while it shows is a stop in the
    // sound, as when the sound ran here.
    for (bool done = false; !done;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            done = done_.wait_for(lock, std::chrono::milliseconds(40), [this] { return finished_; });
        }
        if (DialogView* view = engine_.activeDialog()) dialog_->passTo(*view);
        engine_.pumpMessages();
        if (engine_.job.stopRequested) stop_ = true;
    }
    join();
    Host& host = engine_.host();
    for (const Report& r : host_->take()) {
        switch (r.kind) {
            case Report::Box: host.messageBox(r.caption, r.text, r.icon, r.ownedByDialog); break;
            case Report::Log: host.logLine(r.text); break;
            case Report::Detail: host.logDetail(r.text); break;
            case Report::Dropped: host.droppedWarning(r.text); break;
        }
    }
    // A sound that could not be read is reported as the audio phase would
    // have (and ends the job unfinished).
    endSound(true);
    if (error_) std::rethrow_exception(error_);
    return result_ && !engine_.job.stopRequested;
}

void SoundAlongside::discard() {
    stop_ = true;
    join();
    host_->take();
    endSound(false);
    const std::string& stream = engine_.job.audioStreamName;
    // Emptied, never made here: a stream that is not there holds nothing.
    if (!stream.empty()) {
        [[maybe_unused]] const int result = ::truncate(stream.c_str(), 0);
    }
}

SoundAlongside::~SoundAlongside() {
    stop_ = true;
    join();
    endSound(false);
}

}  // namespace quillon
