// The one interface through which the engine reaches its user: message
// boxes, the log, and the conversion dialog. The Qt program, the terminal
// and the tests each provide one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillon {

enum class MessageIcon { None, Error, Warning, Question };

// Engine side of the conversion dialog: the view calls these from its event
// handling. Handlers that run during a pump only set flags.
class DialogController {
public:
    virtual ~DialogController() = default;
    virtual void onShown() = 0;       // dialog created: set-up steps
    virtual void onStartTimer() = 0;  // the one-shot 250 ms timer fired
    virtual void onStart() = 0;       // Start button or the posted Start command
    virtual void onStop() = 0;        // Stop button: marks a pending press
    virtual void onCancel() = 0;      // Cancel / Ok button, or the window's close box
};

// The dialog's face. Implementations: a Qt dialog, the terminal, test fakes.
class DialogView {
public:
    virtual ~DialogView() = default;
    virtual void setStartEnabled(bool on) = 0;
    virtual void setStopEnabled(bool on) = 0;
    virtual void setCancelEnabled(bool on) = 0;
    virtual void setCancelLabel(const std::string& label) = 0;
    virtual void setProgressValue(int percent) = 0;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setShutdownChecked(bool on) { (void)on; }
    virtual bool previewChecked() const { return false; }
    virtual void setPreviewChecked(bool on) { (void)on; }
    virtual void showPreview(const uint8_t* bgra, int width, int height, int rowBytes) {
        (void)bgra; (void)width; (void)height; (void)rowBytes;
    }
    // Arms the one-shot start timer (milliseconds).
    virtual void startTimer(int milliseconds) = 0;
    virtual void postStart() = 0;
    virtual void postClose() = 0;
    // Dispatches every waiting event (may call back into the controller).
    virtual void processEvents() = 0;
    // Shows the dialog and runs its event loop until it closes.
    virtual void runModal(DialogController& controller) = 0;
};

class Host {
public:
    virtual ~Host() = default;
    // caption is the full caption ("Quorvel Encoder - error" and the like).
    virtual void messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                            bool ownedByDialog) = 0;
    virtual bool askYesNo(const std::string& caption, const std::string& text) = 0;
    // Progress and information lines. The conversion dialog keeps no log, but
    // the terminal prints them and the desktop appends them to its log text.
    virtual void logLine(const std::string& text) { (void)text; }
    // A line of inner workings (the multiplexer's scan and timing details,
    // the media libraries' own messages): kept in the log, but not worth a
    // terminal's default output.
    virtual void logDetail(const std::string& text) { logLine(text); }
    // A warning dropped because a conversion dialog was open.
    virtual void droppedWarning(const std::string& text) { (void)text; }
    // Null when the dialog cannot be created.
    virtual std::unique_ptr<DialogView> createDialog() = 0;
    // The application's "shut down PC when done" choice, mirrored by the dialog.
    virtual bool shutdownChoice() const { return false; }
};

}  // namespace quillon
