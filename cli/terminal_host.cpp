#include "cli/terminal_host.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "engine/engine.h"

namespace quillon {

namespace {

// Ctrl-C presses since the running dialog installed its handler. A signal
// handler can only reach a flag of static duration.
volatile std::sig_atomic_t gInterrupts = 0;
// The thread that runs the dialog and so waits for the answers.
pthread_t gDialogThread;
volatile std::sig_atomic_t gDialogThreadKnown = 0;

extern "C" void onInterrupt(int) {
    // The signal goes to any thread of the process, an encoder's or a
    // decoder's as well; only on the dialog's thread does it cut a waiting
    // question short, so it is passed on there.
    if (gDialogThreadKnown && !pthread_equal(pthread_self(), gDialogThread)) {
        const int saved = errno;
        pthread_kill(gDialogThread, SIGINT);
        errno = saved;
        return;
    }
    if (gInterrupts < 1000) gInterrupts = gInterrupts + 1;
}

std::string firstLine(const std::string& text) {
    size_t nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

}  // namespace

TerminalHost::TerminalHost(const Options& options) : options_(options) {
    interactive_ = options.interactive >= 0 ? options.interactive != 0
                                            : (options.in && ::isatty(::fileno(options.in)));
    progressBar_ = options.progressBar >= 0 ? options.progressBar != 0
                                            : ::isatty(::fileno(options.out)) != 0;
}

void TerminalHost::breakProgressLine() {
    if (!barShown_) return;
    std::fputs("\r\033[K", options_.out);
    barShown_ = false;
}

void TerminalHost::messageBox(const std::string& caption, const std::string& text, MessageIcon,
                              bool) {
    breakProgressLine();
    std::fprintf(options_.out, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(options_.out);
}

bool TerminalHost::askYesNo(const std::string& caption, const std::string& text) {
    if (!interactive_) return true;
    breakProgressLine();
    for (;;) {
        std::fprintf(options_.out, "%s: %s (y/n) ", caption.c_str(), text.c_str());
        std::fflush(options_.out);
        char line[64];
        errno = 0;
        const int before = gInterrupts;
        const bool read = std::fgets(line, sizeof line, options_.in) != nullptr;
        interruptsDuringQuestions_ += gInterrupts - before;
        if (!read) {
            // Ctrl-C at the question, or no more input: stop.
            std::clearerr(options_.in);
            std::fputc('\n', options_.out);
            return true;
        }
        if (line[0] == 'y' || line[0] == 'Y') return true;
        if (line[0] == 'n' || line[0] == 'N') return false;
    }
}

void TerminalHost::logLine(const std::string& text) {
    if (options_.quiet) return;
    breakProgressLine();
    std::fprintf(options_.out, "%s\n", text.c_str());
    std::fflush(options_.out);
}

void TerminalHost::logDetail(const std::string& text) {
    if (options_.verbose) logLine(text);
}

void TerminalHost::droppedWarning(const std::string& text) {
    // The terminal keeps a log, so warnings raised during a run still show.
    messageBox(std::string(kEngineName) + " - warning", text, MessageIcon::Warning, true);
}

std::unique_ptr<DialogView> TerminalHost::createDialog() {
    return std::make_unique<TerminalDialog>(*this);
}

void TerminalHost::showProgress(int percent, const std::string& status) {
    if (options_.quiet) return;
    percent = std::clamp(percent, 0, 100);
    const std::string line = firstLine(status);
    if (progressBar_) {
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(options_.out, "\r[%s] %3d%% %.60s\033[K", bar.c_str(), percent, line.c_str());
        barShown_ = true;
    } else {
        if (percent == lastPercent_) return;
        std::fprintf(options_.out, "progress %3d%% %s\n", percent, line.c_str());
    }
    lastPercent_ = percent;
    std::fflush(options_.out);
}

void TerminalDialog::setProgressValue(int percent) { host_.showProgress(percent, status_); }

void TerminalDialog::startTimer(int) { timerArmed_ = true; }

void TerminalDialog::noteInterrupt() { onInterrupt(SIGINT); }

void TerminalDialog::handleInterrupts() {
    if (!controller_) return;
    const int seen = gInterrupts - host_.interruptsDuringQuestions();
    // The first press since the last pump asks; a second one before the
    // answer (or one that cuts the question short) stops at once.
    bool asked = false;
    while (interruptsHandled_ < seen) {
        ++interruptsHandled_;
        if (!host_.interactive() || asked) {
            controller_->onCancel();  // stops a run at once, else closes
        } else if (stopEnabled_) {
            controller_->onStop();  // the pump that called us asks next
            asked = true;
        } else {
            asked = true;
            if (host_.askYesNo(kEngineName, "Are you sure to stop it?")) controller_->onCancel();
        }
    }
}

void TerminalDialog::processEvents() {
    handleInterrupts();
    while (!queue_.empty() && !closed_) {
        Event e = queue_.front();
        queue_.pop_front();
        if (e == Event::Close)
            closed_ = true;
        else if (controller_)
            controller_->onStart();
    }
}

void TerminalDialog::runModal(DialogController& controller) {
    controller_ = &controller;
    closed_ = false;
    gInterrupts = 0;
    interruptsHandled_ = 0;
    host_.forgetInterrupts();
    struct sigaction action = {}, previous = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: Ctrl-C ends a pending question
    gDialogThread = pthread_self();
    gDialogThreadKnown = 1;
    sigaction(SIGINT, &action, &previous);

    controller.onShown();
    while (!closed_) {
        processEvents();
        if (closed_) break;
        if (timerArmed_) {
            timerArmed_ = false;
            controller.onStartTimer();
            continue;
        }
        // Nothing else can happen: no one is there to press Start.
        controller.onCancel();
        if (queue_.empty()) closed_ = true;
    }
    sigaction(SIGINT, &previous, nullptr);
    gDialogThreadKnown = 0;
    host_.breakProgressLine();
    controller_ = nullptr;
}

}  // namespace quillon
