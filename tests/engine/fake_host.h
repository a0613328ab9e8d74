// A host and conversion dialog for engine tests: records every message and
// state change, and lets a test act when the dialog is idle or pumped.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/host.h"

namespace quillon::testing {

struct MessageRecord {
    std::string caption;
    std::string text;
    MessageIcon icon;
    bool ownedByDialog;
};

class FakeHost;

class FakeView : public DialogView {
public:
    explicit FakeView(FakeHost& host) : host_(host) {}
    ~FakeView() override;
    void setStartEnabled(bool on) override { startEnabled = on; }
    void setStopEnabled(bool on) override { stopEnabled = on; stopHistory.push_back(on); }
    void setCancelEnabled(bool on) override { cancelEnabled = on; }
    void setCancelLabel(const std::string& label) override { cancelLabel = label; }
    void setProgressValue(int percent) override { progress.push_back(percent); }
    void setStatusText(const std::string& text) override { status = text; }
    void setShutdownChecked(bool on) override { shutdownChecked = on; }
    void setPreviewChecked(bool on) override { preview = on; }
    bool previewChecked() const override { return preview; }
    void startTimer(int ms) override { timerMs = ms; timerArmed = true; }
    void postStart() override { queue.push_back(0); ++startsPosted; }
    void postClose() override { queue.push_back(1); }
    void processEvents() override;
    void runModal(DialogController& controller) override;

    DialogController* controller = nullptr;
    bool startEnabled = true, stopEnabled = true, cancelEnabled = true;
    bool shutdownChecked = false, preview = false, timerArmed = false, closed = false;
    std::vector<bool> stopHistory;
    std::string cancelLabel, status;
    std::vector<int> progress;
    int timerMs = 0, startsPosted = 0, pumps = 0;
    std::deque<int> queue;

private:
    FakeHost& host_;
};

class FakeHost : public Host {
public:
    void messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                    bool owned) override {
        boxes.push_back({caption, text, icon, owned});
    }
    bool askYesNo(const std::string& caption, const std::string& text) override {
        questions.push_back(caption + "|" + text);
        return answer;
    }
    void logLine(const std::string& text) override { log.push_back(text); }
    void droppedWarning(const std::string& text) override { dropped.push_back(text); }
    std::unique_ptr<DialogView> createDialog() override {
        if (failDialog) return nullptr;
        auto v = std::make_unique<FakeView>(*this);
        view = v.get();
        ++dialogsCreated;
        return v;
    }
    bool shutdownChoice() const override { return shutdown; }

    bool hasLog(const std::string& line) const {
        for (const auto& l : log)
            if (l == line) return true;
        return false;
    }

    std::vector<MessageRecord> boxes;
    std::vector<std::string> questions, log, dropped;
    bool answer = true, failDialog = false, shutdown = false;
    int dialogsCreated = 0;
    FakeView* view = nullptr;  // the last dialog (valid while it runs)
    // The last dialog's state when it went away.
    std::string finalCancelLabel;
    bool finalCancelEnabled = false, finalStopEnabled = true, finalStartEnabled = true;
    // Called on every pump while a run is in progress.
    std::function<void(FakeView&)> onPump;
    // Called when the dialog is idle (no event, no timer); the default
    // presses Cancel.
    std::function<void(FakeView&)> onIdle;
};

inline FakeView::~FakeView() {
    host_.finalCancelLabel = cancelLabel;
    host_.finalCancelEnabled = cancelEnabled;
    host_.finalStopEnabled = stopEnabled;
    host_.finalStartEnabled = startEnabled;
    if (host_.view == this) host_.view = nullptr;
}

inline void FakeView::processEvents() {
    ++pumps;
    if (host_.onPump) host_.onPump(*this);
    while (!queue.empty() && !closed) {
        int e = queue.front();
        queue.pop_front();
        if (e == 1) closed = true;
        else controller->onStart();
    }
}

inline void FakeView::runModal(DialogController& c) {
    controller = &c;
    c.onShown();
    int idleRounds = 0;
    while (!closed) {
        while (!queue.empty() && !closed) {
            int e = queue.front();
            queue.pop_front();
            if (e == 1) closed = true;
            else c.onStart();
        }
        if (closed) break;
        if (timerArmed) {
            timerArmed = false;
            c.onStartTimer();
            continue;
        }
        if (host_.onIdle && idleRounds++ < 5) host_.onIdle(*this);
        else c.onCancel();
    }
}

// Phases that write small stand-in streams, and count and record calls.
class TestPhases : public ConversionPhases {
public:
    bool encodeVideo(Engine& e) override;
    bool encodeAudio(Engine& e) override;
    bool multiplex(Engine& e, bool v, bool a) override;
    bool audioAlongsideVideo(const Engine&) const override { return alongside; }

    int videoRuns = 0, audioRuns = 0, muxRuns = 0;
    bool videoResult = true, audioResult = true, muxResult = true;
    bool muxVideo = false, muxAudio = false;
    int audioFirst = -1, audioLast = -1, audioCount = -1;
    // Picture after which the video phase presses Stop (0: never).
    int stopAfterPicture = 0;
    std::function<void(Engine&)> duringVideo, duringAudio;
    // The audio phase on a thread of its own while the video phase runs.
    // duringAudio then runs on that thread, and the counters above may be
    // read only once the run is over.
    bool alongside = false;
};

}  // namespace quillon::testing
