#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/terminal_host.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

// A scratch stream whose contents a test reads back.
class Capture {
public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() { std::fclose(file_); }
    std::FILE* get() { return file_; }
    std::string text() {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }
    void feed(const std::string& s) {
        std::fputs(s.c_str(), file_);
        std::rewind(file_);
    }

private:
    std::FILE* file_;
};

TerminalHost::Options options(Capture& out, Capture& in, int interactive, int bar = 0) {
    TerminalHost::Options o;
    o.out = out.get();
    o.in = in.get();
    o.interactive = interactive;
    o.progressBar = bar;
    return o;
}

TEST(TerminalHost, MessagesAndLogLines) {
    Capture out, in;
    TerminalHost host(options(out, in, 0));
    Engine engine(host);
    engine.reportError("Unable to open file x for writing.");
    engine.reportWarning("Careful.");
    engine.logLine("Encoding Video:");
    engine.showMessage("Invalid settings, running settings ...", MessageIcon::None);
    EXPECT_EQ(out.text(),
              "Quorvel Encoder - error: Unable to open file x for writing.\n"
              "Quorvel Encoder - warning: Careful.\n"
              "Encoding Video:\n"
              "Quorvel Encoder: Invalid settings, running settings ...\n");
}

TEST(TerminalHost, PlainProgressLinesAtMostOnePerPercent) {
    Capture out, in;
    TerminalHost host(options(out, in, 0, 0));
    for (int i = 0; i < 10; ++i) host.showProgress(i / 4, "Encoding frame\nsecond line");
    host.showProgress(150, "done");
    EXPECT_EQ(out.text(),
              "progress   0% Encoding frame\nprogress   1% Encoding frame\n"
              "progress   2% Encoding frame\nprogress 100% done\n");
}

TEST(TerminalHost, BarRedrawsOneLineAndMakesRoomForMessages) {
    Capture out, in;
    TerminalHost host(options(out, in, 0, 1));
    host.showProgress(50, "half");
    host.logLine("line");
    const std::string text = out.text();
    EXPECT_EQ(text.find("\r[###############...............]  50% half"), 0u) << text;
    EXPECT_NE(text.find("\r\033[Kline\n"), std::string::npos) << text;

    Capture quietOut;
    TerminalHost::Options q = options(quietOut, in, 0, 1);
    q.quiet = true;
    TerminalHost quiet(q);
    quiet.showProgress(50, "half");
    quiet.logLine("line");
    quiet.messageBox("c", "still shown", MessageIcon::Error, false);
    EXPECT_EQ(quietOut.text(), "c: still shown\n");
}

TEST(TerminalHost, DetailLinesOnlyWhenVerbose) {
    Capture out, in;
    TerminalHost host(options(out, in, 0));
    Engine engine(host);
    engine.logDetail("  Found 25 picture headers.");
    engine.logLine("Encoding Audio:");
    EXPECT_EQ(out.text(), "Encoding Audio:\n");

    Capture loud;
    TerminalHost::Options o = options(loud, in, 0);
    o.verbose = true;
    TerminalHost verbose(o);
    verbose.logDetail("  Found 25 picture headers.");
    EXPECT_EQ(loud.text(), "  Found 25 picture headers.\n");
}

// One bar over the whole job: its percentage, the step and the step's own
// percentage, the picture and pictures per second, the time worked and the
// time left, with the time spent on the stop question left out of all of
// them.
TEST(TerminalHost, OneBarOverEveryPhase) {
    Capture out, in;
    in.feed("n\n");
    double t = 100;
    bool asking = false;
    int looks = 0;
    TerminalHost::Options o = options(out, in, 1, 0);
    o.clock = [&] {
        if (asking && ++looks == 2) t += 60;  // the answer comes a minute later
        return t;
    };
    TerminalHost host(o);
    host.logLine("Encoding Video:");
    t = 110;
    host.showProgress(50, "Video Conversion progress: 50%;\nCurrent Frame: 50 / Total Frame: 100;");
    std::string text = out.text();
    EXPECT_NE(text.find("progress  45% Video 50%  picture 50 of 100  5.0 pictures/s  elapsed 00:00:10  left 00:00:12\n"),
              std::string::npos)
        << text;
    // The same step and percentage again: no new line.
    host.showProgress(50, "Video Conversion progress: 50%;\nCurrent Frame: 50 / Total Frame: 100;");
    EXPECT_EQ(out.text(), text);

    asking = true;
    EXPECT_FALSE(host.askYesNo("Quorvel Encoder", "Are you sure to stop it?"));
    asking = false;
    t += 10;  // ten more seconds of work after a minute of question
    host.showProgress(100, "Current Frame: 100 / Total Frame: 100;");
    text = out.text();
    EXPECT_NE(text.find("progress  90% Video 100%  picture 100 of 100  5.0 pictures/s  elapsed 00:00:20  left 00:00:02\n"),
              std::string::npos)
        << text;

    host.logLine("Encoding Audio:");
    host.showProgress(50, "Audio Conversion Progress: 50%");
    host.logLine("Multiplexing video and audio:");
    host.showProgress(100, "Combining video and audio progress: 100%");
    host.showProgress(2, "Multiplexing: 2% - 10 of 500  A/V units.");
    host.showProgress(0, "Combining video and audio progress: 0%");  // the bar never goes back
    host.showProgress(100, "SVCD Scan Offsets: 100% - 4 of 4  I-Frames.");
    text = out.text();
    EXPECT_NE(text.find("progress  93% Audio 50%  elapsed 00:00:20"), std::string::npos) << text;
    EXPECT_NE(text.find("progress  97% Scanning 100%  elapsed 00:00:20"), std::string::npos) << text;
    EXPECT_NE(text.find("progress  97% Multiplexing 2%  elapsed 00:00:20"), std::string::npos) << text;
    EXPECT_NE(text.find("progress  97% Scanning 0%"), std::string::npos) << text;
    EXPECT_NE(text.find("progress 100% Scan offsets 100%  elapsed 00:00:20  left 00:00:00\n"), std::string::npos)
        << text;

    // The next job starts a new bar, with its own clock.
    host.logLine("Encoding Video:");
    t += 4;
    host.showProgress(10, "Current Frame: 8 / Total Frame: 80;");
    EXPECT_NE(out.text().find("progress   9% Video 10%  picture 8 of 80  2.0 pictures/s  elapsed 00:00:04  left 00:00:40\n"),
              std::string::npos)
        << out.text();
}

TEST(TerminalHost, TheDiscImageHasABarOfItsOwn) {
    Capture out, in;
    double t = 100;
    TerminalHost::Options o = options(out, in, 0, 0);
    o.clock = [&] { return t; };
    TerminalHost host(o);
    host.logLine("Multiplexing video and audio:");
    host.showProgress(100, "Multiplexing: 100% - 500 of 500  A/V units.");
    host.logLine("Making disc image:");
    host.showProgress(0, "Making disc image: 0% - starting");
    t += 2;
    host.showProgress(40, "Making disc image: 40% - authoring the DVD (dvdauthor)");
    const std::string text = out.text();
    // Counted from its own start, not as the end of the finished job's bar.
    EXPECT_NE(text.find("progress   0% Making disc image: starting  elapsed 00:00:00  left --:--:--\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("progress  40% Making disc image: authoring the DVD (dvdauthor)  elapsed 00:00:02  "
                        "left 00:00:03\n"),
              std::string::npos)
        << text;
}

TEST(TerminalHost, Questions) {
    Capture out, in;
    in.feed("maybe\nn\ny\n");
    TerminalHost host(options(out, in, 1));
    EXPECT_FALSE(host.askYesNo("Quorvel Encoder", "Are you sure to stop it?"));
    EXPECT_TRUE(host.askYesNo("Quorvel Encoder", "Are you sure to stop it?"));
    EXPECT_TRUE(host.askYesNo("Quorvel Encoder", "Are you sure to stop it?"));  // input ended
    EXPECT_EQ(out.text().find("Quorvel Encoder: Are you sure to stop it? (y/n) "), 0u);

    Capture out2, none;
    TerminalHost batch(options(out2, none, 0));
    EXPECT_TRUE(batch.askYesNo("Quorvel Encoder", "Are you sure to stop it?"));
    EXPECT_EQ(out2.text(), "");
}

// Phases that count pictures and let a test interrupt mid-way.
class CountingPhases : public ConversionPhases {
public:
    std::function<void(int)> atPicture;
    int audioLast = -1;
    bool muxed = false;
    bool encodeVideo(Engine& e) override {
        for (int i = 0; i < e.job.frameCount; ++i) {
            e.job.framesEncoded = i + 1;
            e.setProgress("Encoding", (i + 1) * 100 / e.job.frameCount);
            if (atPicture) atPicture(i + 1);
            e.pumpMessages();
            if (e.stopRequested()) return false;
        }
        return true;
    }
    bool encodeAudio(Engine& e) override {
        audioLast = e.job.lastSample;
        e.pumpMessages();
        return !e.stopRequested();
    }
    bool multiplex(Engine&, bool, bool) override {
        muxed = true;
        return true;
    }
};

struct TerminalJob {
    Capture out, in;
    TempDir dir;
    std::string name = dir.file("t.mpg");
    CountingPhases phases;
    ConversionRequest request;
    TerminalJob() {
        request.videoPresent = 1;
        request.width = 352;
        request.height = 240;
        request.lastFrame = 99;
        request.audioPresent = 1;
        request.sampleRate = 44100;
        request.lastSample = 100000;
        request.outputName = name.c_str();
    }
    int run(TerminalHost& host) {
        Engine engine(host);
        applyPreset(engine.record, kKindVcd, 0, 1);
        engine.work = engine.record;
        engine.setPhases(&phases);
        return engineConvert(engine, request);
    }
};

TEST(TerminalDialog, RunsAtOnceAndReturnsWhenDone) {
    TerminalJob job;
    TerminalHost host(options(job.out, job.in, 0));
    EXPECT_EQ(job.run(host), 31);
    EXPECT_TRUE(job.phases.muxed);
    const std::string text = job.out.text();
    EXPECT_NE(text.find("Encoding Video:\n"), std::string::npos);
    EXPECT_NE(text.find("progress  90% Video"), std::string::npos) << text;
    EXPECT_EQ(text.find("ENCODING ABORTED."), std::string::npos);
}

TEST(TerminalDialog, CtrlCWithoutATerminalStopsAtOnce) {
    TerminalJob job;
    TerminalHost host(options(job.out, job.in, 0));
    job.phases.atPicture = [](int n) {
        if (n == 25) std::raise(SIGINT);  // the handler is the dialog's while it runs
    };
    EXPECT_EQ(job.run(host), 30);
    EXPECT_EQ(job.phases.audioLast, 25 * 100000 / 100);
    EXPECT_NE(job.out.text().find("ENCODING ABORTED."), std::string::npos);
    EXPECT_EQ(job.out.text().find("(y/n)"), std::string::npos);
}

TEST(TerminalDialog, CtrlCOnATerminalAsksAndASecondOneStops) {
    TerminalJob job;
    job.in.feed("n\ny\n");
    TerminalHost host(options(job.out, job.in, 1));
    job.phases.atPicture = [](int n) {
        if (n == 10 || n == 60) TerminalDialog::noteInterrupt();
    };
    EXPECT_EQ(job.run(host), 30);
    const std::string question = "Quorvel Encoder: Are you sure to stop it? (y/n) ";
    const std::string text = job.out.text();
    const size_t first = text.find(question);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(question, first + 1), std::string::npos);  // asked again at 60
    EXPECT_EQ(job.phases.audioLast, 60 * 100000 / 100);

    TerminalJob twice;
    TerminalHost twiceHost(options(twice.out, twice.in, 1));
    twice.phases.atPicture = [](int n) {
        if (n == 30) TerminalDialog::noteInterrupt(), TerminalDialog::noteInterrupt();
    };
    EXPECT_EQ(twice.run(twiceHost), 30);
    EXPECT_EQ(twice.phases.audioLast, 30000);
    EXPECT_EQ(twice.out.text().find("(y/n)"), std::string::npos);

    TerminalJob yes;
    yes.in.feed("y\n");
    TerminalHost yesHost(options(yes.out, yes.in, 1));
    yes.phases.atPicture = [](int n) {
        if (n == 40) TerminalDialog::noteInterrupt();
    };
    EXPECT_EQ(yes.run(yesHost), 30);
    EXPECT_EQ(yes.phases.audioLast, 40000);
}

// The press that cuts a question short answers it: the stop it gives holds
// for the video, and the dialog does not take the same press for a new one
// and ask again (and stop the sound) in the next phase.
TEST(TerminalDialog, ACtrlCThatCutsTheQuestionShortIsNotAskedAboutAgain) {
    TerminalJob job;
    int answers[2];
    ASSERT_EQ(::pipe(answers), 0);
    std::FILE* in = ::fdopen(answers[0], "r");
    TerminalHost::Options o = options(job.out, job.in, 1);
    o.in = in;
    TerminalHost host(o);
    const pthread_t main = ::pthread_self();
    std::thread presser;
    job.phases.atPicture = [&](int n) {
        if (n != 20) return;
        TerminalDialog::noteInterrupt();
        // A second press once the question waits for its answer.
        presser = std::thread([&] {
            // Read without moving the position the host writes at.
            auto asked = [fd = ::fileno(job.out.get())] {
                std::string buf(1 << 16, '\0');
                const ssize_t n = ::pread(fd, buf.data(), buf.size(), 0);
                return n > 0 && buf.find("(y/n)") != std::string::npos;
            };
            for (int i = 0; i < 2000 && !asked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::pthread_kill(main, SIGINT);
            // Were the question asked again, its read ends here.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::close(answers[1]);
        });
    };
    EXPECT_EQ(job.run(host), 30);
    presser.join();
    std::fclose(in);
    const std::string text = job.out.text();
    EXPECT_EQ(text.find("(y/n)"), text.rfind("(y/n)")) << text;
    EXPECT_EQ(job.phases.audioLast, 20000);
    EXPECT_TRUE(job.phases.muxed) << text;
}

// The kernel may hand Ctrl-C to any thread, an encoder's row thread as
// well: the press must still cut the waiting question short.
TEST(TerminalDialog, ACtrlCTakenByAnotherThreadStillCutsTheQuestionShort) {
    TerminalJob job;
    int answers[2];
    ASSERT_EQ(::pipe(answers), 0);
    std::FILE* in = ::fdopen(answers[0], "r");
    TerminalHost::Options o = options(job.out, job.in, 1);
    o.in = in;
    TerminalHost host(o);
    std::thread worker;
    job.phases.atPicture = [&](int n) {
        if (n != 20) return;
        TerminalDialog::noteInterrupt();
        worker = std::thread([&] {
            auto asked = [fd = ::fileno(job.out.get())] {
                std::string buf(1 << 16, '\0');
                const ssize_t got = ::pread(fd, buf.data(), buf.size(), 0);
                return got > 0 && buf.find("(y/n)") != std::string::npos;
            };
            for (int i = 0; i < 2000 && !asked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::pthread_kill(::pthread_self(), SIGINT);  // the press lands here
            // Had it not reached the question, this answer would go on.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            (void)!::write(answers[1], "n\n", 2);
        });
    };
    EXPECT_EQ(job.run(host), 30);
    worker.join();
    ::close(answers[1]);
    std::fclose(in);
    EXPECT_EQ(job.phases.audioLast, 20000) << job.out.text();
}

TEST(TerminalDialog, RefusedRunClosesInsteadOfWaiting) {
    TerminalJob job;
    job.request.videoPresent = 0;
    job.request.audioPresent = 0;
    TerminalHost host(options(job.out, job.in, 0));
    EXPECT_EQ(job.run(host), 30);
    EXPECT_NE(job.out.text().find(
                  "Quorvel Encoder: A video stream filename must be specified, running settings ..."),
              std::string::npos);
}

}  // namespace
}  // namespace quillon
