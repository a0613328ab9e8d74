#include "cli/terminal_host.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>

#include "engine/engine.h"

namespace quillon {

namespace {

// Ctrl-C presses since the running dialog installed its handler. A signal
// handler can only reach a flag of static duration.
volatile std::sig_atomic_t gInterrupts = 0;
// SIGTERM and SIGHUP since then: what a service manager, `timeout` or a
// closed terminal sends. No one is there to answer, so each is a stop at once.
volatile std::sig_atomic_t gTerminations = 0;
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

extern "C" void onTerminate(int signal) {
    if (gDialogThreadKnown && !pthread_equal(pthread_self(), gDialogThread)) {
        const int saved = errno;
        pthread_kill(gDialogThread, signal);
        errno = saved;
        return;
    }
    if (gTerminations < 1000) gTerminations = gTerminations + 1;
}

std::string firstLine(const std::string& text) {
    size_t nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

// Where each phase sits on the one bar: coding the pictures is most of a
// job, the sound and the multiplexing the rest.
// The disc image, made after the conversions, has a bar of its own.
constexpr double kPhaseStart[] = {0.0, 0.90, 0.96, 0.0};
constexpr double kPhaseShare[] = {0.90, 0.06, 0.04, 1.0};
constexpr const char* kPhaseName[] = {"Video", "Audio", "Multiplexing", "Making disc image"};

std::string clockText(double seconds) {
    const long s = static_cast<long>(std::max(0.0, seconds) + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    return text;
}

// The picture number of the video encoder's status text, -1 without one.
long currentPicture(const std::string& status) {
    const std::string key = "Current Frame: ";
    const size_t at = status.find(key);
    if (at == std::string::npos) return -1;
    return std::strtol(status.c_str() + at + key.size(), nullptr, 10);
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

double TerminalHost::now() const {
    if (options_.clock) return options_.clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool TerminalHost::askYesNo(const std::string& caption, const std::string& text) {
    if (!interactive_) return true;
    breakProgressLine();
    // The time the question waits is no work done.
    const double asked = now();
    struct Account {
        TerminalHost& host;
        double asked;
        ~Account() { host.questionSeconds_ += std::max(0.0, host.now() - asked); }
    } account{*this, asked};
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

void TerminalHost::notePhase(const std::string& heading) {
    int phase = kNoPhase;
    if (heading == "Encoding Video:")
        phase = kVideoPhase;
    else if (heading == "Encoding Audio:")
        phase = kAudioPhase;
    else if (heading.rfind("Multiplexing ", 0) == 0 && !heading.empty() && heading.back() == ':')
        phase = kMuxPhase;
    else if (heading == "Making disc image:")
        phase = kDiscPhase;
    if (phase == kNoPhase) return;
    const double t = now();
    if (phase_ == kNoPhase || phase <= phase_ || phase == kDiscPhase) {
        // A new job: its first phase starts the bar.
        firstPhase_ = phase;
        jobStart_ = t;
        questionSeconds_ = 0;
        overall_ = 0;
        lastPercent_ = -1;
        lastShown_.clear();
    }
    phase_ = phase;
    phaseStart_ = t;
    phaseQuestionStart_ = questionSeconds_;
}

void TerminalHost::logLine(const std::string& text) {
    notePhase(text);
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

namespace {

// The steps of a phase the bar names, told by the start of the status text,
// with their share of the phase.
struct Step {
    const char* status;
    const char* name;
    double start, share;
};
constexpr Step kSteps[] = {
    {"Embedding max bitrate", "Video bitrates", 1.0, 0.0},
    {"Combining video and audio", "Scanning", 0.0, 0.25},
    {"Scanning audio stream", "Scanning", 0.25, 0.10},
    {"Multiplexing:", "Multiplexing", 0.35, 0.55},
    {"SVCD Scan Offsets", "Scan offsets", 0.90, 0.10},
};

}  // namespace

void TerminalHost::showProgress(int percent, const std::string& status) {
    percent = std::clamp(percent, 0, 100);
    if (options_.quiet) return;
    std::string line;
    int overall = percent;
    if (phase_ == kNoPhase) {
        line = firstLine(status);
        line = std::string(percent < 100 ? (percent < 10 ? "  " : " ") : "") + std::to_string(percent) + "% " + line;
    } else {
        const double t = now();
        std::string name = kPhaseName[phase_];
        double within = percent / 100.0;
        for (const Step& step : kSteps) {
            if (status.rfind(step.status, 0) == 0) {
                name = step.name;
                within = step.start + step.share * within;
                break;
            }
        }
        const double base = kPhaseStart[firstPhase_];
        const double fraction = (kPhaseStart[phase_] + kPhaseShare[phase_] * within - base) / (1.0 - base);
        // One bar: a step that counts again from 0 does not move it back.
        overall = std::max(overall_, std::clamp(static_cast<int>(std::floor(fraction * 100.0 + 1e-9)), 0, 100));
        overall_ = overall;
        const double worked = std::max(0.0, t - jobStart_ - questionSeconds_);
        char text[96];
        std::snprintf(text, sizeof text, "%3d%% %s %d%%", overall, name.c_str(), percent);
        line = text;
        if (phase_ == kDiscPhase) {
            // The stage's status says which tool is at work.
            const size_t dash = status.find(" - ");
            std::snprintf(text, sizeof text, "%3d%% %s", overall, name.c_str());
            line = text;
            if (dash != std::string::npos) line += ": " + firstLine(status.substr(dash + 3));
        }
        // A new line (or redraw) when the step moves on, not for each picture
        // or tick of the clock.
        if (line == lastShown_) return;
        lastShown_ = line;
        if (phase_ == kVideoPhase) {
            const long pictures = currentPicture(status);
            const std::string key = "Total Frame: ";
            const size_t at = status.find(key);
            const long total = at == std::string::npos ? -1 : std::strtol(status.c_str() + at + key.size(), nullptr, 10);
            if (pictures >= 0 && total > 0) {
                std::snprintf(text, sizeof text, "  picture %ld of %ld", pictures, total);
                line += text;
            }
            const double phaseWorked = t - phaseStart_ - (questionSeconds_ - phaseQuestionStart_);
            if (pictures > 0 && phaseWorked > 0.2) {
                std::snprintf(text, sizeof text, "  %.1f pictures/s", pictures / phaseWorked);
                line += text;
            }
        }
        // From the first second on, the share done so far says how long the
        // rest takes.
        double left = -1;
        if (fraction >= 0.002 && worked >= 1.0) left = worked * (1.0 - fraction) / fraction;
        if (fraction >= 1.0) left = 0;
        line += "  elapsed " + clockText(worked);
        line += left >= 0 ? "  left " + clockText(left) : "  left --:--:--";
    }
    if (progressBar_) {
        constexpr int kWidth = 30;
        const int filled = overall * kWidth / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(options_.out, "\r[%s] %.120s\033[K", bar.c_str(), line.c_str());
        barShown_ = true;
    } else {
        if (phase_ == kNoPhase && percent == lastPercent_) return;
        std::fprintf(options_.out, "progress %s\n", line.c_str());
    }
    lastPercent_ = percent;
    std::fflush(options_.out);
}

void TerminalDialog::setProgressValue(int percent) { host_.showProgress(percent, status_); }

void TerminalDialog::startTimer(int) { timerArmed_ = true; }

void TerminalDialog::noteInterrupt() { onInterrupt(SIGINT); }

void TerminalDialog::handleInterrupts() {
    if (!controller_) return;
    if (terminationsHandled_ < gTerminations) {
        terminationsHandled_ = gTerminations;
        controller_->onCancel();  // stops a run at once, else closes
        return;
    }
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
    gTerminations = 0;
    interruptsHandled_ = 0;
    terminationsHandled_ = 0;
    host_.forgetInterrupts();
    struct sigaction action = {}, previous = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: Ctrl-C ends a pending question
    gDialogThread = pthread_self();
    gDialogThreadKnown = 1;
    sigaction(SIGINT, &action, &previous);
    // A signal ignored by whoever started us (nohup) stays ignored.
    struct sigaction terminate = action, previousTerm = {}, previousHup = {};
    terminate.sa_handler = onTerminate;
    sigaction(SIGTERM, nullptr, &previousTerm);
    sigaction(SIGHUP, nullptr, &previousHup);
    if (previousTerm.sa_handler != SIG_IGN) sigaction(SIGTERM, &terminate, nullptr);
    if (previousHup.sa_handler != SIG_IGN) sigaction(SIGHUP, &terminate, nullptr);

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
    sigaction(SIGTERM, &previousTerm, nullptr);
    sigaction(SIGHUP, &previousHup, nullptr);
    gDialogThreadKnown = 0;
    host_.breakProgressLine();
    controller_ = nullptr;
}

}  // namespace quillon
