// The conversion dialog's behaviour, whatever draws it: set-up, the 250 ms
// start, the batch-mode start, the Start/Stop/Cancel states and the stop
// protocol. The Qt dialog, the terminal and the tests drive it through the
// DialogController calls.
#pragma once

#include "engine/host.h"

namespace quillon {

class Engine;

class ConversionDialog : public DialogController {
public:
    ConversionDialog(Engine& engine, DialogView& view) : engine_(engine), view_(view) {}

    void onShown() override;
    void onStartTimer() override;
    void onStart() override;
    void onStop() override;
    void onCancel() override;

    bool running() const { return running_; }
    bool finished() const { return finished_; }

    static constexpr int kStartDelayMs = 250;

private:
    Engine& engine_;
    DialogView& view_;
    bool running_ = false;    // inside runConversion
    bool finished_ = false;   // a run went through to its end
    bool attempted_ = false;  // a start was tried (posted Start or timer)
};

}  // namespace quillon
