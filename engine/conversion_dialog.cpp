#include "engine/conversion_dialog.h"

#include "engine/engine.h"
#include "engine/job_driver.h"

namespace quillon {

void ConversionDialog::onShown() {
    engine_.setActiveDialog(&view_);
    view_.setStartEnabled(true);
    view_.setStopEnabled(false);
    view_.setCancelEnabled(true);
    view_.setCancelLabel("&Cancel");
    view_.setProgressValue(0);
    view_.setShutdownChecked(engine_.host().shutdownChoice());
    view_.setPreviewChecked(true);
    if ((engine_.work.encodeVideo || engine_.work.encodeAudio) && engine_.ev.batchMode)
        view_.postStart();
    view_.startTimer(kStartDelayMs);
}

void ConversionDialog::onStartTimer() {
    // In batch mode the posted Start may already have run the job; the
    // timer then has nothing left to do.
    if (attempted_) return;
    onStart();
}

void ConversionDialog::onStart() {
    // Only one run per dialog: a Start arriving during a pump of the run, or
    // after it, is ignored. A refused run may be started again.
    if (running_ || finished_) return;
    attempted_ = true;
    running_ = true;
    RunOutcome outcome = runConversion(engine_);
    running_ = false;
    if (outcome == RunOutcome::Finished) finished_ = true;
}

void ConversionDialog::onStop() {
    if (engine_.job.jobRunning) engine_.pressStop();
}

void ConversionDialog::onCancel() {
    if (engine_.job.jobRunning) {
        engine_.job.stopRequested = true;
        return;
    }
    engine_.setActiveDialog(nullptr);
    view_.postClose();
}

}  // namespace quillon
