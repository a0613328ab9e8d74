// The skinned main window: the input list, target, standard and size, the
// options, the two preview panes and the command buttons, each at the
// rectangle the layout file gives it.
#pragma once

#include <QtWidgets/QButtonGroup>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QRadioButton>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/dib.h"
#include "app/disc_option.h"
#include "app/fit_option.h"
#include "app/glyph_button.h"
#include "app/log_text.h"
#include "app/project_file.h"
#include "app/qt_host.h"
#include "app/services.h"
#include "app/skin_layout.h"
#include "app/window_rules.h"

namespace quillon::app {

inline constexpr const char* kAppTitle = "Quillon Converter";
// The Add dialog's filter: what media input opens (the media libraries
// decode far more; these are the usual video containers) and image lists.
inline constexpr const char* kInputFilter =
    "All Supported Types|*.avi;*.mp4;*.m4v;*.mkv;*.mov;*.mpg;*.mpeg;*.m2p;*.m2ts;*.mts;*.ts;*.vob;*.webm;"
    "*.wmv;*.asf;*.flv;*.dv;*.3gp;*.ogv;*.lst;*.jpg;*.jpeg;*.png;*.bmp;*.gif;*.tga;*.tif;*.tiff|"
    "AVI Files (*.AVI)|*.avi|Image Lists (*.LST)|*.lst|All Files (*.*)|*.*|";

// A filter of the form "Text|*.a;*.b|..." as Qt's name filters.
QString qtFilter(const char* filter);
inline constexpr const char* kAppVersion = "v3.62";

// Window state; one per window.
struct WindowState {
    int target = kVcd;
    int pal = 0;
    int outputWidth = 352;
    int outputHeight = 240;
    bool joiner = true;
    bool splitEnabled = false;
    int maxFileSizeMB = 600;
    bool shutdownWhenDone = false;
    bool fillIn = false;
    bool invert = false;
    std::string outputName;
    bool perEntrySettings = true;
    int editFilters = 0;
    uint8_t displayFlag = 0;
};

struct WindowServices {
    QtHost* host = nullptr;
    LogText* log = nullptr;
    InputCatalog* inputs = nullptr;
    ConversionEngine* engine = nullptr;
    Preferences* preferences = nullptr;
    PowerOffFunction powerOff;
    OpenFileFunction openFile;
    MakeDiscFunction makeDisc;  // empty: no "Make disc image"
    std::string skinDir;  // folder holding position_pro.txt and the pictures
    std::string logPath;  // empty: logFilePath()
};

class TMainWindow : public QWidget, private ProjectTarget {
public:
    TMainWindow(const WindowServices& services, QWidget* parent = nullptr);
    ~TMainWindow() override;

    // Start-up after the window exists: layout, pictures, engine. False when
    // the window has to close.
    bool initialise();
    bool closeRequested() const { return closeRequested_; }

    const WindowState& state() const { return state_; }
    QSize clientSize() const { return clientSize_; }

    // Commands, also reached by the buttons.
    void openFiles(const QStringList& paths);
    void removeSelected();
    void moveSelectedUp();
    void moveSelectedDown();
    void setOutputName(const std::string& name);
    void setJoiner(bool on);
    void setTarget(int target);
    void setStandard(int pal);
    void widthEdited();
    void heightEdited();
    void maxLenEdited();
    void setSplit(bool on);
    void setFillIn(bool on);
    void setInvert(bool on);
    void setShutdown(bool on) { state_.shutdownWhenDone = on; shutdownCheck_->setChecked(on); }
    void selectEntry(int index);
    void convert();
    void checkLog();
    void playInput();
    void playOutput();
    bool saveProjectTo(const std::string& path);
    bool openProjectFrom(const std::string& path);
    // Writes the profile keys back (on close).
    void saveProfile(const QPoint& framePos);
    void showAbout();
    void showHelp();
    // The decoder list shown after an open when "editFilters" is set.
    void showFilters(int index);
    // Tests look at the filter dialog instead of running it.
    void setFilterHook(std::function<void(class TFilterDialog&)> hook) { filterHook_ = std::move(hook); }

    // The widgets, for tests and screenshots.
    QLineEdit* widthField() const { return widthField_; }
    QLineEdit* heightField() const { return heightField_; }
    QLineEdit* maxLenField() const { return maxLenField_; }
    QLineEdit* outputField() const { return outputField_; }
    DiscOption& discOption() const { return *disc_; }
    FitOption& fitOption() const { return *fit_; }
    QListWidget* inputList() const { return inputList_; }
    QPlainTextEdit* infoPanel() const { return info_; }
    QRadioButton* targetRadio(int target) const { return targetRadios_[target]; }
    QRadioButton* standardRadio(int pal) const { return pal ? palRadio_ : ntscRadio_; }
    TGlyphButton* button(const std::string& name) const;
    QWidget* control(const std::string& layoutName) const;
    TPreviewDib* inputPreview() const { return inputPreview_; }
    TPreviewDib* outputPreview() const { return outputPreview_; }

protected:
    void paintEvent(QPaintEvent*) override;
    // The input list: the Delete key removes the selected input, files
    // dropped on it are added.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Says how a conversion ended and which files it left.
    void showConversionEnd(const ConversionOutcome& outcome, const std::vector<std::string>& written,
                           const std::vector<std::string>& lastFiles, bool lastStopped);
    // ProjectTarget
    void projectMessage(const std::string& caption, const std::string& text) override;
    void clearEntries() override;
    bool openEntry(const ProjectEntry& saved) override;
    void restoreEntry(int index, const ProjectEntry& saved) override;
    void finishLoad(const ProjectHeader& header, int opened, bool restoreOutput) override;

    void buildControls();
    bool applyLayout();
    void loadPictures();
    bool initEngine(int code, const std::string& failure);
    void fail(const std::string& caption, const std::string& text);
    void refreshList();
    void refreshEntryView();
    void refreshFields();
    void refreshOutputPreview();
    void applySizeToEntries();
    void showSelectedInput();
    void applyStandardOf(int index);
    void setControlsEnabled(bool on);
    void chooseFiles();
    void chooseOutputName();
    void chooseProjectToSave();
    void chooseProjectToOpen();
    void runPlayer(bool output);
    ConversionPlan plan() const;
    // The joined output's name, or the first output's of a batch.
    std::string firstOutputName() const;
    std::string dialogTitle(const char* what) const;

    WindowServices s_;
    WindowState state_;
    SkinLayout layout_;
    QSize clientSize_{880, 600};
    bool closeRequested_ = false;
    bool converting_ = false;
    bool playing_ = false;
    bool stopPlay_ = false;

    std::map<std::string, std::unique_ptr<TFullDib>> pictures_;
    std::map<std::string, QWidget*> controls_;
    std::map<std::string, TGlyphButton*> buttons_;
    QRadioButton* targetRadios_[5] = {};
    QRadioButton* ntscRadio_ = nullptr;
    QRadioButton* palRadio_ = nullptr;
    QRadioButton* fillRadio_ = nullptr;
    QRadioButton* proportionalRadio_ = nullptr;
    QCheckBox* shutdownCheck_ = nullptr;
    QCheckBox* invertCheck_ = nullptr;
    QCheckBox* splitCheck_ = nullptr;
    QLineEdit* widthField_ = nullptr;
    QLineEdit* heightField_ = nullptr;
    QLineEdit* maxLenField_ = nullptr;
    QLineEdit* outputField_ = nullptr;
    std::unique_ptr<DiscOption> disc_;
    std::unique_ptr<FitOption> fit_;
    QListWidget* inputList_ = nullptr;
    QPlainTextEdit* info_ = nullptr;
    TPreviewDib* inputPreview_ = nullptr;
    TPreviewDib* outputPreview_ = nullptr;
    QWidget* tabStrip_ = nullptr;
    std::function<void(class TFilterDialog&)> filterHook_;
    int restoreSelected_ = 0;
    int restoreFrame_ = 0;
};

// The frame around the main window: its position from the profile, the
// menu with the project commands, the caption.
class TMyFrameWindow : public QMainWindow {
public:
    TMyFrameWindow(const WindowServices& services, QWidget* parent = nullptr);
    TMainWindow* mainWindow() const { return main_; }
    bool initialise();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void addQualityMenu();

    WindowServices s_;
    TMainWindow* main_;
};

}  // namespace quillon::app
