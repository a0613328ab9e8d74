// The conversion engine: one settings record, its working copies, the
// engine values and the values of the job in progress, held in one object so
// that several engines (jobs, tests) can live side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/host.h"
#include "engine/request.h"
#include "engine/settings.h"

namespace quillon {

inline constexpr const char* kEngineName = "Quorvel Encoder";
inline constexpr const char* kProgramVersion = "Quillon Converter v3.62";

// Values of one job, reset by every startJob.
struct JobValues {
    int firstFrame = 0;
    int frameCount = 0;
    int firstSample = 0;
    int lastSample = 0;
    int sampleCount = 0;
    std::string programStreamName;
    std::string videoStreamName;
    std::string audioStreamName;
    std::string audio2StreamName;  // always empty
    int framesEncoded = 0;
    bool stopRequested = false;
    bool jobRunning = false;
    bool jobCompleted = false;
    bool settingsRefused = false;  // the run was refused for a settings value
    bool statisticsOn = false;
    std::FILE* statisticsFile = nullptr;
    // While a run writes, the stream names above are private names in the
    // output's folder: privatePrefix followed by the final file name. Text
    // shown to the user has privatePrefix replaced by publicFolder, so it
    // names the user's files.
    std::string privatePrefix;
    std::string publicFolder;
    // After a run: the files it put in place (the program stream or its
    // split parts, the streams kept), complete or, after a stop, holding the
    // part done. Nothing else of the run is left.
    std::vector<std::string> filesWritten;
    bool stopped = false;  // the run ended by a stop
};

class Engine;

// The three phases of a conversion. The driver reaches them only through
// this interface, so it can run with the real encoders or with test phases.
class ConversionPhases {
public:
    virtual ~ConversionPhases() = default;
    virtual bool encodeVideo(Engine& engine) = 0;
    virtual bool encodeAudio(Engine& engine) = 0;
    virtual bool multiplex(Engine& engine, bool multiplexVideo, bool multiplexAudio) = 0;
    // Checks, before the first picture is coded, every setting a later phase
    // will need; reports what is wrong and returns false.
    virtual bool checkSettings(Engine& engine) {
        (void)engine;
        return true;
    }
    // Whether encodeAudio may run on a thread of its own, with an engine of
    // its own, while encodeVideo runs.
    virtual bool audioAlongsideVideo(const Engine& engine) const {
        (void)engine;
        return false;
    }
};

class Engine {
public:
    explicit Engine(Host& host);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    EncoderSettings record;  // the settings record
    EncoderSettings work;    // the working copies the encoders read and change
    EngineValues ev;
    JobValues job;
    ConversionRequest request;  // the copy engineConvert keeps for the run

    Host& host() { return *host_; }

    // Message functions. Every engine part reports through these.
    void reportError(const std::string& text);
    void reportWarning(const std::string& text);
    void logLine(const std::string& text);
    void logDetail(const std::string& text);
    void setProgress(const std::string& text, int percent);
    // A message box with the engine name as caption, owned by the conversion
    // dialog while one is open (refusals, the settings-file messages).
    void showMessage(const std::string& text, MessageIcon icon);
    // Dispatches waiting events; a pending Stop press asks for confirmation
    // and a Yes sets job.stopRequested.
    void pumpMessages();
    bool stopRequested() const { return job.stopRequested; }
    // Seconds spent waiting for the answer to the stop question, over the
    // engine's life: progress takes it out of its working time.
    double questionSeconds() const { return questionSeconds_; }

    // The video encoder's picture preview in the conversion dialog.
    bool previewOn() const;
    void showPreview(const uint8_t* bgra, int width, int height, int rowBytes);

    // The open conversion dialog, or null.
    DialogView* activeDialog() const { return activeDialog_; }
    void setActiveDialog(DialogView* view) { activeDialog_ = view; }
    // Marks a pending Stop press (the dialog's Stop button).
    void pressStop() { stopPressed_ = true; }
    void clearStopPress() { stopPressed_ = false; }

    // Set while a Stop press waits for its question.
    bool stopPressed() const { return stopPressed_; }

    // The settings file initEngine reads over the preset ("default.ini",
    // resolved by the profile rules), and whether its values were rejected
    // by the last initEngine (the MPEG-1 preset was then applied).
    std::string settingsFile = "default.ini";
    // The quality level for the jobs of this engine in place of the
    // profile's "Quality" (0..2), or -1 to follow the profile.
    int qualityOverride = -1;
    // Fit to size: the bytes the program stream of the next jobs must fit
    // in (two passes at the bitrate that fills them), or 0.
    int64_t fitSize = 0;
    bool settingsFileRejected = false;
    // Whether a job may replace a file that already has the name of one of
    // its outputs. The front end sets it once the user has agreed; without
    // it the job leaves such a file whole and does not complete.
    bool replaceExisting = false;

    // text with the job's private names turned into the names the user knows.
    std::string publicText(const std::string& text) const;
    // What the last initEngine found wrong with the user profile (a value
    // outside its range, which gave way to its default, or a profile file
    // that could not be read); empty when nothing.
    std::string profileProblem;

    // For an engine that runs a phase on a thread of its own: every pump
    // takes a stop from `flag`, which the thread owning the dialog sets.
    void linkStop(const std::atomic<bool>* flag) { stopLink_ = flag; }

    void setPhases(ConversionPhases* phases) { phases_ = phases; }
    ConversionPhases* phases() const { return phases_; }

private:
    double questionSeconds_ = 0;
    Host* host_;
    DialogView* activeDialog_ = nullptr;
    bool stopPressed_ = false;
    ConversionPhases* phases_ = nullptr;
    const std::atomic<bool>* stopLink_ = nullptr;
};

}  // namespace quillon
