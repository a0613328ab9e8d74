// The engine's host on a terminal: messages and log lines on standard
// error, a progress bar (plain progress lines when the output is not a
// terminal), and Ctrl-C as the Stop button.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "engine/host.h"

namespace quillon {

class TerminalHost : public Host {
public:
    struct Options {
        std::FILE* out = stderr;   // messages, log lines, progress
        std::FILE* in = stdin;     // answers to the stop question
        int interactive = -1;      // ask questions: -1 when `in` is a terminal
        int progressBar = -1;      // redraw one bar line: -1 when `out` is a terminal
        bool quiet = false;        // no log lines and no progress
        bool verbose = false;      // detail lines too (the multiplexer's, the media libraries')
        bool shutdownChoice = false;
        // Seconds on a steady clock (tests give their own).
        std::function<double()> clock;
    };

    TerminalHost() : TerminalHost(Options{}) {}
    explicit TerminalHost(const Options& options);

    void messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                    bool ownedByDialog) override;
    // On a terminal: "<caption>: <text> (y/n) " and a line of answer. Without
    // one (or when the answer is interrupted by Ctrl-C, or input ends) the
    // answer is yes: the only question is whether to stop.
    bool askYesNo(const std::string& caption, const std::string& text) override;
    void logLine(const std::string& text) override;
    // Shown only with the verbose option.
    void logDetail(const std::string& text) override;
    void droppedWarning(const std::string& text) override;
    std::unique_ptr<DialogView> createDialog() override;
    bool shutdownChoice() const override { return options_.shutdownChoice; }

    bool interactive() const { return interactive_; }
    // Ctrl-C presses that came while a question waited for its answer. Such
    // a press cuts the question short and so is its answer; the dialog must
    // not take it for a new press and ask again.
    int interruptsDuringQuestions() const { return interruptsDuringQuestions_; }
    void forgetInterrupts() { interruptsDuringQuestions_ = 0; }
    bool progressBar() const { return progressBar_; }

    // Progress of the current phase, shown as one bar over the whole job
    // (the phases are told apart by the driver's headings in the log): the
    // whole job's percentage, the step's name and its own percentage, the
    // picture and pictures per second while coding pictures, the time worked
    // and the time left, the time spent answering questions left out. A
    // redrawn line on a terminal, else a line whenever the step moves on.
    void showProgress(int percent, const std::string& status);
    // Ends a drawn bar line before other output.
    void breakProgressLine();

private:
    Options options_;
    bool interactive_;
    bool progressBar_;
    enum Phase { kNoPhase = -1, kVideoPhase = 0, kAudioPhase = 1, kMuxPhase = 2, kDiscPhase = 3 };
    double now() const;
    void notePhase(const std::string& heading);

    bool barShown_ = false;
    int lastPercent_ = -1;
    int phase_ = kNoPhase;
    int firstPhase_ = kNoPhase;
    double jobStart_ = 0;
    double phaseStart_ = 0;
    double questionSeconds_ = 0;   // time spent in questions since the job started
    double phaseQuestionStart_ = 0;  // questionSeconds_ when the phase began
    int overall_ = 0;
    std::string lastShown_;  // the last line shown, without its times
    int interruptsDuringQuestions_ = 0;
};

// The conversion dialog on a terminal. runModal shows it, runs the start at
// once (posted Start first, then the start timer) and returns when the
// controller closes it; with nothing left to do it cancels, as no one can
// press Start later. Ctrl-C while it runs: with a terminal on standard input,
// the Stop press and its question (or the question alone when Stop is
// disabled); without one, or on a second Ctrl-C before the answer, an
// immediate stop. SIGTERM and SIGHUP stop at once.
class TerminalDialog : public DialogView {
public:
    explicit TerminalDialog(TerminalHost& host) : host_(host) {}

    void setStartEnabled(bool on) override { startEnabled_ = on; }
    void setStopEnabled(bool on) override { stopEnabled_ = on; }
    void setCancelEnabled(bool on) override { cancelEnabled_ = on; }
    void setCancelLabel(const std::string& label) override { cancelLabel_ = label; }
    void setProgressValue(int percent) override;
    void setStatusText(const std::string& text) override { status_ = text; }
    void startTimer(int milliseconds) override;
    void postStart() override { queue_.push_back(Event::Start); }
    void postClose() override { queue_.push_back(Event::Close); }
    void processEvents() override;
    void runModal(DialogController& controller) override;

    bool stopEnabled() const { return stopEnabled_; }
    bool startEnabled() const { return startEnabled_; }
    bool cancelEnabled() const { return cancelEnabled_; }
    const std::string& cancelLabel() const { return cancelLabel_; }

    // Ctrl-C presses seen by the running dialog (for the signal handler and
    // tests).
    static void noteInterrupt();

private:
    enum class Event { Start, Close };
    void handleInterrupts();

    TerminalHost& host_;
    DialogController* controller_ = nullptr;
    std::deque<Event> queue_;
    bool timerArmed_ = false;
    bool closed_ = false;
    bool startEnabled_ = true, stopEnabled_ = false, cancelEnabled_ = true;
    std::string cancelLabel_ = "&Cancel";
    std::string status_;
    int interruptsHandled_ = 0;
    int terminationsHandled_ = 0;
};

}  // namespace quillon
