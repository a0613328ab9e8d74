// "Make disc image" beside the output name: the check box, the image's
// name (a default follows the output name and the target), the checks
// before a conversion starts, and the outputs the disc is made of.
#pragma once

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLineEdit>

#include <string>
#include <vector>

#include "app/qt_host.h"
#include "disc/disc_image.h"
#include "engine/request.h"

namespace quillon::app {

class DiscOption {
public:
    explicit DiscOption(QWidget* parent);

    QCheckBox* check() const { return check_; }
    QLineEdit* nameField() const { return name_; }
    bool on() const { return check_->isChecked(); }

    // Shows the default image name for the target, made of `outputName`
    // (the joined output, or the first output of a batch).
    void refresh(int target, const std::string& outputName);
    // Applies the window's enabling on top of the option's own.
    void setEnabled(bool on);

    // The image's name: the typed one, else the default.
    std::string imagePath() const;
    static std::string defaultImagePath(int target, const std::string& outputName);

private:
    QCheckBox* check_;
    QLineEdit* name_;
    int target_ = 1;
    std::string default_;
    bool windowEnabled_ = true;
};

// One conversion's disc: set up before the conversion (or inactive), fed
// with every completed output, and made after the last.
class DiscRun {
public:
    // Checks the image's name against the disc the target makes, the
    // folder, what is there (asking before replacing an image) and the
    // conversion's own files. False, with the reason shown, when the
    // conversion must not start.
    bool prepare(const DiscOption& option, int target, int pal, const std::vector<std::string>& ownFiles,
                 QtHost& host);
    bool active() const { return active_; }

    // A completed output: its program stream files, in playing order.
    void outputCompleted(const ConversionRequest& request, std::vector<std::string> files);
    // The files of the image once made (a cue/bin pair: both).
    std::vector<std::string> imageFiles() const;

    const disc::DiscRequest& request() const { return request_; }

private:
    static std::string formatTargetRefusal(int target);

    bool active_ = false;
    disc::DiscRequest request_;
};

}  // namespace quillon::app
