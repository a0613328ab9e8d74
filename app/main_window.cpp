#include "app/main_window.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QThread>
#include <QtCore/QMimeData>
#include <QtCore/QUrl>
#include <QtGui/QActionGroup>
#include <QtGui/QCloseEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QMessageBox>

#include <algorithm>
#include <cmath>

#include "app/filter_dialog.h"
#include "app/text_window.h"
#include "app/wait_dialog.h"
#include "engine/engine.h"
#include "engine/format.h"
#include "engine/quality_level.h"

namespace quillon::app {

namespace {

constexpr const char* kStartupCaption = "startup convert engine error";
constexpr const char* kOutputFilter =
    "MPEG Program Streams (*.MPG,*.M2P)|*.mpg;*.m2p|MPEG-2 Program Streams (*.M2P)|*.m2p|"
    "MPEG Program Streams (*.MPG)|*.mpg|All Files (*.*)|*.*|";

}  // namespace

QString qtFilter(const char* filter) {
    QStringList parts = QString(filter).split('|', Qt::SkipEmptyParts);
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        // The description's own "(*.X)" would stand beside the patterns Qt
        // reads; the patterns go in once, in both letter cases, since the
        // file system here tells them apart.
        QString text = parts[i].trimmed();
        const int paren = text.lastIndexOf('(');
        if (paren > 0 && text.endsWith(')')) text = text.left(paren).trimmed();
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            patterns << p;
            if (p != "*.*" && p.toUpper() != p) patterns << p.toUpper();
        }
        out << text + " (" + patterns.join(' ') + ")";
    }
    return out.join(";;");
}

namespace {

const char* kGlyphFiles[][2] = {
    {"convert", "convertbutton.jpg"},     {"checklog", "checklogbutton.jpg"},
    {"help", "helpbutton.jpg"},           {"about", "aboutbutton.jpg"},
    {"exit", "exitbutton.jpg"},           {"inputplay", "inputplaybutton.jpg"},
    {"outputplay", "outputplaybutton.jpg"}, {"openfile", "openfilebutton.jpg"},
    {"removefile", "removefilebutton.jpg"}, {"upfile", "upfilebutton.jpg"},
    {"downfile", "downfilebutton.jpg"},   {"rename", "renamebutton.jpg"},
    {"joiner", "joinerbutton.jpg"},       {"batch", "batchbutton.jpg"},
    {"home", "homebutton.jpg"},
};

const char* kButtonTexts[][2] = {
    {"convert", "Convert"}, {"checklog", "View log"}, {"help", "Help"},     {"about", "About"},
    {"exit", "Exit"},       {"inputplay", "Play"},    {"outputplay", "Play"}, {"openfile", "Add"},
    {"removefile", "Remove"}, {"upfile", "Up"},       {"downfile", "Down"}, {"rename", "Output"},
    {"joiner", "Join"},     {"batch", "Batch"},       {"home", "Home"},
};

class TabStrip : public QWidget {
public:
    explicit TabStrip(QWidget* parent) : QWidget(parent) {}
    const TFullDib* picture = nullptr;

protected:
    void paintEvent(QPaintEvent*) override {
        if (!picture || picture->image().isNull()) return;
        QPainter p(this);
        p.drawImage(rect(), picture->image());
    }
};

}  // namespace

TMainWindow::TMainWindow(const WindowServices& services, QWidget* parent)
    : QWidget(parent), s_(services) {
    setObjectName("mainWindow");
    if (s_.logPath.empty()) s_.logPath = logFilePath();
    buildControls();
}

TMainWindow::~TMainWindow() = default;

void TMainWindow::buildControls() {
    setStyleSheet(
        "QRadioButton, QCheckBox { color: #1f2937; background: transparent; spacing: 6px; }"
        "QRadioButton::indicator { width: 12px; height: 12px; border-radius: 7px;"
        "  border: 1px solid #9aa4b5; background: white; }"
        "QRadioButton::indicator:checked { border: 4px solid #2f6feb; width: 6px; height: 6px; }"
        "QCheckBox::indicator { width: 12px; height: 12px; border-radius: 3px;"
        "  border: 1px solid #9aa4b5; background: white; }"
        "QCheckBox::indicator:checked { background: #2f6feb; border-color: #2f6feb; }"
        "QRadioButton:disabled, QCheckBox:disabled { color: #a8aeb8; }"
        "QLineEdit { background: white; border: 1px solid #c5cdda; border-radius: 5px;"
        "  padding: 2px 6px; color: #1f2937; selection-background-color: #2f6feb; }"
        "QLineEdit:focus { border-color: #2f6feb; }"
        "QListWidget { background: white; border: 1px solid #d5dbe5; border-radius: 6px;"
        "  color: #1f2937; outline: 0; }"
        "QListWidget::item { padding: 4px 6px; }"
        "QListWidget::item:selected { background: #e1ebfd; color: #1f2937; }"
        "QPlainTextEdit { background: #f8fafc; border: 1px solid #e2e7ef; border-radius: 6px;"
        "  color: #374151; font-family: 'DejaVu Sans Mono'; font-size: 11px; }");

    auto addButton = [this](const std::string& name) {
        auto* b = new TGlyphButton(this);
        for (auto& t : kButtonTexts)
            if (name == t[0]) b->setText(t[1]);
        b->setObjectName(QString::fromStdString(name));
        buttons_[name] = b;
        controls_[name] = b;
        return b;
    };
    for (auto& g : kGlyphFiles) addButton(g[0]);

    tabStrip_ = new TabStrip(this);
    tabStrip_->lower();
    controls_["JoinerBatchTab"] = tabStrip_;

    auto* targets = new QButtonGroup(this);
    const char* targetNames[5] = {"MPEG1Radio", "VCDRadio", "MPEG2Radio", "SVCDRadio", "DVDRadio"};
    const char* targetTexts[5] = {"MPEG-1", "VCD", "MPEG-2", "SVCD", "DVD"};
    for (int t = 0; t < 5; ++t) {
        targetRadios_[t] = new QRadioButton(targetTexts[t], this);
        targets->addButton(targetRadios_[t], t);
        controls_[targetNames[t]] = targetRadios_[t];
        connect(targetRadios_[t], &QRadioButton::clicked, this, [this, t] { setTarget(t); });
    }
    auto* standards = new QButtonGroup(this);
    ntscRadio_ = new QRadioButton("NTSC", this);
    palRadio_ = new QRadioButton("PAL", this);
    standards->addButton(ntscRadio_);
    standards->addButton(palRadio_);
    controls_["NTSCRadio"] = ntscRadio_;
    controls_["PALRadio"] = palRadio_;
    connect(ntscRadio_, &QRadioButton::clicked, this, [this] { setStandard(0); });
    connect(palRadio_, &QRadioButton::clicked, this, [this] { setStandard(1); });

    auto* scaling = new QButtonGroup(this);
    fillRadio_ = new QRadioButton("Fill in", this);
    proportionalRadio_ = new QRadioButton("Proportional", this);
    scaling->addButton(fillRadio_);
    scaling->addButton(proportionalRadio_);
    controls_["FillInRadio"] = fillRadio_;
    controls_["PROPORTIONALRadio"] = proportionalRadio_;
    connect(fillRadio_, &QRadioButton::clicked, this, [this] { setFillIn(true); });
    connect(proportionalRadio_, &QRadioButton::clicked, this, [this] { setFillIn(false); });

    shutdownCheck_ = new QCheckBox("Shut down PC when done", this);
    invertCheck_ = new QCheckBox("Flip vertically", this);
    splitCheck_ = new QCheckBox("Split at", this);
    controls_["ShutdownCheck"] = shutdownCheck_;
    controls_["InvertCheck"] = invertCheck_;
    controls_["SplitCheck"] = splitCheck_;
    connect(shutdownCheck_, &QCheckBox::toggled, this, [this](bool on) { state_.shutdownWhenDone = on; });
    connect(invertCheck_, &QCheckBox::clicked, this, [this](bool on) { setInvert(on); });
    connect(splitCheck_, &QCheckBox::clicked, this, [this](bool on) { setSplit(on); });

    widthField_ = new QLineEdit(this);
    heightField_ = new QLineEdit(this);
    maxLenField_ = new QLineEdit(this);
    outputField_ = new QLineEdit(this);
    outputField_->setPlaceholderText("Choose where the MPEG file goes");
    controls_["MpegWidthField"] = widthField_;
    controls_["MpegHeightField"] = heightField_;
    controls_["MAXLENField"] = maxLenField_;
    controls_["OutputFileNameField"] = outputField_;
    connect(widthField_, &QLineEdit::editingFinished, this, [this] { widthEdited(); });
    connect(heightField_, &QLineEdit::editingFinished, this, [this] { heightEdited(); });
    connect(maxLenField_, &QLineEdit::editingFinished, this, [this] { maxLenEdited(); });
    connect(outputField_, &QLineEdit::editingFinished, this,
            [this] { setOutputName(outputField_->text().toStdString()); });
    disc_ = std::make_unique<DiscOption>(this);
    controls_["DiscCheck"] = disc_->check();
    controls_["DiscNameField"] = disc_->nameField();
    fit_ = std::make_unique<FitOption>(this);
    controls_["FitCheck"] = fit_->check();
    controls_["FitSizeField"] = fit_->sizeField();

    inputList_ = new QListWidget(this);
    controls_["InputFileNameField"] = inputList_;
    inputList_->installEventFilter(this);
    inputList_->setAcceptDrops(true);
    inputList_->viewport()->setAcceptDrops(true);
    inputList_->viewport()->installEventFilter(this);
    connect(inputList_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && s_.inputs && row != s_.inputs->selected()) selectEntry(row);
    });

    info_ = new QPlainTextEdit(this);
    info_->setReadOnly(true);
    controls_["InfoPanel"] = info_;

    inputPreview_ = new TPreviewDib(this);
    outputPreview_ = new TPreviewDib(this);
    controls_["InputPreviewBox"] = inputPreview_;
    controls_["OutputPreviewBox"] = outputPreview_;

    connect(buttons_["openfile"], &QAbstractButton::clicked, this, [this] { chooseFiles(); });
    connect(buttons_["removefile"], &QAbstractButton::clicked, this, [this] { removeSelected(); });
    connect(buttons_["upfile"], &QAbstractButton::clicked, this, [this] { moveSelectedUp(); });
    connect(buttons_["downfile"], &QAbstractButton::clicked, this, [this] { moveSelectedDown(); });
    connect(buttons_["rename"], &QAbstractButton::clicked, this, [this] { chooseOutputName(); });
    connect(buttons_["joiner"], &QAbstractButton::clicked, this, [this] { setJoiner(true); });
    connect(buttons_["batch"], &QAbstractButton::clicked, this, [this] { setJoiner(false); });
    connect(buttons_["convert"], &QAbstractButton::clicked, this, [this] { convert(); });
    connect(buttons_["checklog"], &QAbstractButton::clicked, this, [this] { checkLog(); });
    connect(buttons_["inputplay"], &QAbstractButton::clicked, this, [this] { playInput(); });
    connect(buttons_["outputplay"], &QAbstractButton::clicked, this, [this] { playOutput(); });
    connect(buttons_["help"], &QAbstractButton::clicked, this, [this] { showHelp(); });
    connect(buttons_["about"], &QAbstractButton::clicked, this, [this] { showAbout(); });
    connect(buttons_["home"], &QAbstractButton::clicked, this, [this] { showAbout(); });
    connect(buttons_["exit"], &QAbstractButton::clicked, this, [this] { window()->close(); });
}

TGlyphButton* TMainWindow::button(const std::string& name) const {
    auto it = buttons_.find(name);
    return it == buttons_.end() ? nullptr : it->second;
}

QWidget* TMainWindow::control(const std::string& name) const {
    auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second;
}

void TMainWindow::fail(const std::string& caption, const std::string& text) {
    s_.host->show(caption, text, MessageIcon::Error);
    closeRequested_ = true;
    if (window() != this) QMetaObject::invokeMethod(window(), "close", Qt::QueuedConnection);
}

bool TMainWindow::applyLayout() {
    std::string path = s_.skinDir + "/" + kLayoutFileName;
    if (!layout_.load(path)) {
        // Without the file the window keeps the default layout.
        s_.host->show("Initial UI error!", formatText("Can not open file %s.", kLayoutFileName));
        layout_.setText({});
        QFile builtIn(":/quillon/position_pro.txt");
        if (builtIn.open(QIODevice::ReadOnly)) layout_.setText(builtIn.readAll().toStdString());
    }
    std::vector<std::string> names = layoutNames();
    // Our own additions, optional in a layout file.
    const std::vector<std::string> optional = {"InfoPanel", "DiscCheck", "DiscNameField", "FitCheck",
                                               "FitSizeField"};
    names.insert(names.end(), optional.begin(), optional.end());
    for (const std::string& name : names) {
        std::optional<SkinRect> r = layout_.find(name);
        if (!r) {
            if (std::find(optional.begin(), optional.end(), name) != optional.end()) {
                control(name)->hide();
                continue;
            }
            fail("Initial UI error!",
                 formatText("The entry %s in file %s has no rectangle.", name.c_str(),
                            kLayoutFileName));
            return false;
        }
        if (name == "MainSize") {
            clientSize_ = QSize(r->width(), r->height());
            setFixedSize(clientSize_);
            continue;
        }
        if (QWidget* w = control(name)) w->setGeometry(r->left, r->top, r->width(), r->height());
    }
    return true;
}

void TMainWindow::loadPictures() {
    auto load = [this](const std::string& file) -> TFullDib* {
        auto dib = std::make_unique<TFullDib>();
        if (!dib->load(s_.skinDir + "/" + file)) {
            s_.host->show("Initial UI error!", formatText("Can not open file %s.", file.c_str()));
            return nullptr;
        }
        TFullDib* raw = dib.get();
        pictures_[file] = std::move(dib);
        return raw;
    };
    bool missing = false;
    for (const char* file : {"interface.jpg", "BatchTab.jpg", "JoinerTab.jpg", "inputstopbutton.jpg",
                             "outputstopbutton.jpg"}) {
        if (!missing && !load(file)) missing = true;  // one message is enough
    }
    for (const char* file : {"inputpreview.jpg", "outputpreview.jpg"}) {
        auto dib = std::make_unique<TFullDib>();
        if (dib->load(s_.skinDir + "/" + file)) {
            pictures_[file] = std::move(dib);
        } else if (!missing) {
            s_.host->show("startup preview error", "Can't initialize preview.", MessageIcon::Error);
            missing = true;
        }
    }
    for (auto& g : kGlyphFiles) {
        TFullDib* pic = missing ? nullptr : load(g[1]);
        if (!pic) missing = true;
        buttons_[g[0]]->setGlyph(pic);
    }
    auto picture = [this](const char* f) -> const TFullDib* {
        auto it = pictures_.find(f);
        return it == pictures_.end() ? nullptr : it->second.get();
    };
    if (auto* p = picture("inputpreview.jpg")) inputPreview_->setIdlePicture(p->image());
    if (auto* p = picture("outputpreview.jpg")) outputPreview_->setIdlePicture(p->image());
    static_cast<TabStrip*>(tabStrip_)->picture = picture(state_.joiner ? "JoinerTab.jpg" : "BatchTab.jpg");
}

bool TMainWindow::initEngine(int code, const std::string& failure) {
    if (!s_.engine) return true;
    if (s_.engine->init(code)) return true;
    fail(kStartupCaption, failure);
    return false;
}

bool TMainWindow::initialise() {
    if (!applyLayout()) return false;
    loadPictures();
    state_.editFilters = s_.preferences ? s_.preferences->getInt(kAppTitle, "editFilters", 0) : 0;
    if (!initEngine(engineCode(state_.pal, state_.target),
                    "Can not initialize convert engine, error 5a."))
        return false;
    refreshFields();
    refreshList();
    return true;
}

void TMainWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    auto it = pictures_.find("interface.jpg");
    if (it != pictures_.end()) p.drawImage(QPoint(0, 0), it->second->image());
    else p.fillRect(rect(), QColor(0xee, 0xf1, 0xf6));
}

std::string TMainWindow::dialogTitle(const char* what) const {
    return formatText("%s - %s", kAppTitle, what);
}

// --- inputs ---------------------------------------------------------------

void TMainWindow::chooseFiles() {
    QStringList files = QFileDialog::getOpenFileNames(
        this, QString::fromStdString(dialogTitle("open media file or list of images")), {},
        qtFilter(kInputFilter));
    openFiles(files);
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == inputList_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete && !converting_ && !playing_) {
            removeSelected();
            return true;
        }
    }
    if (inputList_ && watched == inputList_->viewport()) {
        switch (event->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove: {
                auto* drag = static_cast<QDropEvent*>(event);
                if (drag->mimeData()->hasUrls() && !converting_) {
                    drag->acceptProposedAction();
                    return true;
                }
                break;
            }
            case QEvent::Drop: {
                auto* drop = static_cast<QDropEvent*>(event);
                QStringList paths;
                for (const QUrl& url : drop->mimeData()->urls())
                    if (url.isLocalFile()) paths << url.toLocalFile();
                if (!paths.isEmpty() && !converting_) {
                    drop->acceptProposedAction();
                    openFiles(paths);
                    return true;
                }
                break;
            }
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainWindow::openFiles(const QStringList& paths) {
    if (!s_.inputs) return;
    for (const QString& path : paths) {
        bool opened;
        {
            OpeningFileNotice notice(path.toStdString(), this);
            opened = s_.inputs->open(path.toStdString());
        }
        if (!opened) continue;
        int index = s_.inputs->count() - 1;
        if (s_.inputs->selected() != index) s_.inputs->select(index);
        // A fresh entry takes the window's scaling and flip, and for per-entry
        // settings the current output size and a name beside its input.
        s_.inputs->setFillIn(index, state_.fillIn);
        s_.inputs->setInvert(index, state_.invert);
        if (state_.perEntrySettings) {
            s_.inputs->setOutputSize(index, state_.outputWidth, state_.outputHeight);
            ProjectEntry r = s_.inputs->record(index);
            if (r.outputName.empty()) {
                QFileInfo fi(path);
                s_.inputs->setOutputName(
                    index, (fi.dir().filePath(fi.completeBaseName()) + ".mpg").toStdString());
            }
        }
        applyStandardOf(index);
        if (state_.editFilters) showFilters(index);
    }
    refreshList();
    showSelectedInput();
}

void TMainWindow::showFilters(int index) {
    std::vector<std::string> filters = s_.inputs->decoders(index);
    TFilterDialog dialog(*s_.host, filters, this);
    if (filterHook_) filterHook_(dialog);
    else dialog.exec();
}

void TMainWindow::applyStandardOf(int index) {
    EntryFacts f = s_.inputs->facts(index);
    if (!f.isVideoFile) return;
    int pal = f.frameRate == 25.0 ? 1 : 0;
    if (pal != state_.pal) setStandard(pal);
}

void TMainWindow::removeSelected() {
    if (!s_.inputs || s_.inputs->selected() < 0) return;
    s_.inputs->remove(s_.inputs->selected());
    refreshList();
    showSelectedInput();
}

void TMainWindow::moveSelectedUp() {
    if (!s_.inputs || s_.inputs->selected() < 0) return;
    if (s_.inputs->moveUp(s_.inputs->selected())) refreshList();
}

void TMainWindow::moveSelectedDown() {
    if (!s_.inputs || s_.inputs->selected() < 0) return;
    if (s_.inputs->moveDown(s_.inputs->selected())) refreshList();
}

void TMainWindow::selectEntry(int index) {
    if (!s_.inputs || index < 0 || index >= s_.inputs->count()) return;
    s_.inputs->select(index);
    refreshList();
    showSelectedInput();
}

void TMainWindow::refreshList() {
    QSignalBlocker block(inputList_);
    inputList_->clear();
    if (!s_.inputs) return;
    for (int i = 0; i < s_.inputs->count(); ++i) {
        EntryFacts f = s_.inputs->facts(i);
        QFileInfo fi(QString::fromStdString(f.path));
        auto* item = new QListWidgetItem(fi.fileName(), inputList_);
        item->setToolTip(QString::fromStdString(f.path));
    }
    inputList_->setCurrentRow(s_.inputs->selected());
}

void TMainWindow::showSelectedInput() {
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel < 0) {
        info_->clear();
        inputPreview_->clearFrame();
        outputPreview_->clearFrame();
        refreshEntryView();
        return;
    }
    info_->setPlainText(QString::fromStdString(s_.inputs->describe(sel)));
    refreshEntryView();
    TBaseDib pic;
    if (s_.inputs->sourcePicture(sel, s_.inputs->currentFrame(sel), pic)) inputPreview_->showFrame(pic);
    refreshOutputPreview();
}

// The entry's own options and size shown in the fields.
void TMainWindow::refreshEntryView() {
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel >= 0) {
        ProjectEntry r = s_.inputs->record(sel);
        state_.invert = r.invert;
        state_.fillIn = r.fillIn;
        if (state_.perEntrySettings) {
            if (r.outputWidth > 0 && r.outputHeight > 0) {
                state_.outputWidth = r.outputWidth;
                state_.outputHeight = r.outputHeight;
            }
        }
    }
    refreshFields();
}

void TMainWindow::refreshFields() {
    targetRadios_[state_.target]->setChecked(true);
    (state_.pal ? palRadio_ : ntscRadio_)->setChecked(true);
    (state_.fillIn ? fillRadio_ : proportionalRadio_)->setChecked(true);
    invertCheck_->setChecked(state_.invert);
    splitCheck_->setChecked(state_.splitEnabled);
    maxLenField_->setEnabled(state_.splitEnabled);
    shutdownCheck_->setChecked(state_.shutdownWhenDone);
    widthField_->setText(QString::number(state_.outputWidth));
    heightField_->setText(QString::number(state_.outputHeight));
    maxLenField_->setText(QString::number(state_.maxFileSizeMB));
    // Joined: the one output's name; batch: the selected entry's own.
    std::string name = state_.outputName;
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (!state_.joiner && sel >= 0) name = s_.inputs->record(sel).outputName;
    if (outputField_->text().toStdString() != name) outputField_->setText(QString::fromStdString(name));
    if (state_.joiner && s_.inputs && s_.inputs->count() > 0) {
        QFileInfo first(QString::fromStdString(s_.inputs->facts(0).path));
        outputField_->setPlaceholderText(first.dir().filePath(first.completeBaseName()) + ".mpg");
    } else {
        outputField_->setPlaceholderText("Choose where the MPEG file goes");
    }
    disc_->refresh(state_.target, firstOutputName());
    if (!s_.makeDisc) {
        disc_->check()->hide();
        disc_->nameField()->hide();
    }
    buttons_["joiner"]->setActive(state_.joiner);
    buttons_["batch"]->setActive(!state_.joiner);
    auto it = pictures_.find(state_.joiner ? "JoinerTab.jpg" : "BatchTab.jpg");
    static_cast<TabStrip*>(tabStrip_)->picture = it == pictures_.end() ? nullptr : it->second.get();
    tabStrip_->update();
}

void TMainWindow::refreshOutputPreview() {
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel < 0) return;
    TBaseDib pic;
    if (s_.inputs->outputPicture(sel, 0, plan(), pic)) outputPreview_->showFrame(pic);
}

// --- targets, standard, size ---------------------------------------------

void TMainWindow::setTarget(int target) {
    if (target < 0 || target > 4) return;
    state_.target = target;
    if (!initEngine(engineCode(state_.pal, target), engineErrorForTarget(target))) return;
    Size input{};
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel >= 0) {
        EntryFacts f = s_.inputs->facts(sel);
        input = {f.width, f.height};
    }
    Size size = targetSize(target, state_.pal, sel >= 0 ? &input : nullptr);
    state_.outputWidth = size.width;
    state_.outputHeight = size.height;
    applySizeToEntries();
    refreshFields();
    refreshOutputPreview();
}

void TMainWindow::setStandard(int pal) {
    state_.pal = pal ? 1 : 0;
    if (!initEngine(engineCode(state_.pal, state_.target), engineErrorForStandard(state_.pal))) return;
    // Only the fixed sizes follow the standard.
    if (state_.target == kVcd || state_.target == kSvcd || state_.target == kDvd) {
        Size size = targetSize(state_.target, state_.pal, nullptr);
        state_.outputWidth = size.width;
        state_.outputHeight = size.height;
        applySizeToEntries();
    }
    refreshFields();
    refreshOutputPreview();
}

// A target change gives every entry the target's size: the fixed one of
// VCD, SVCD and DVD, or for MPEG-1 and MPEG-2 the entry's own picture size,
// so a batch never sends an entry at a size its target cannot take.
void TMainWindow::applySizeToEntries() {
    if (!state_.perEntrySettings || !s_.inputs) return;
    for (int i = 0; i < s_.inputs->count(); ++i) {
        EntryFacts f = s_.inputs->facts(i);
        Size input{f.width, f.height};
        Size size = targetSize(state_.target, state_.pal, &input);
        s_.inputs->setOutputSize(i, size.width, size.height);
    }
}

void TMainWindow::widthEdited() {
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    bool perEntry = state_.perEntrySettings && sel >= 0;
    int previous = state_.outputWidth;
    if (perEntry) {
        ProjectEntry r = s_.inputs->record(sel);
        if (r.outputWidth > 0) previous = r.outputWidth;
    }
    int v = widthFromField(widthField_->text().toStdString(), previous, state_.target, perEntry);
    if (perEntry) s_.inputs->setOutputSize(sel, v, s_.inputs->record(sel).outputHeight > 0
                                                       ? s_.inputs->record(sel).outputHeight
                                                       : state_.outputHeight);
    state_.outputWidth = v;
    widthField_->setText(QString::number(v));
    if (s_.inputs && s_.inputs->count() > 0) refreshOutputPreview();
}

void TMainWindow::heightEdited() {
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    bool perEntry = state_.perEntrySettings && sel >= 0;
    int previous = state_.outputHeight;
    if (perEntry) {
        ProjectEntry r = s_.inputs->record(sel);
        if (r.outputHeight > 0) previous = r.outputHeight;
    }
    int v = heightFromField(heightField_->text().toStdString(), previous, state_.target, perEntry);
    if (perEntry) s_.inputs->setOutputSize(sel, s_.inputs->record(sel).outputWidth > 0
                                                    ? s_.inputs->record(sel).outputWidth
                                                    : state_.outputWidth,
                                           v);
    state_.outputHeight = v;
    heightField_->setText(QString::number(v));
    if (s_.inputs && s_.inputs->count() > 0) refreshOutputPreview();
}

void TMainWindow::maxLenEdited() {
    int v = state_.maxFileSizeMB;
    if (!splitFromField(maxLenField_->text().toStdString(), v)) {
        s_.host->show("invalid entry", kSplitRangeMessage);
        maxLenField_->setText(QString::number(state_.maxFileSizeMB));
        return;
    }
    state_.maxFileSizeMB = v;
}

void TMainWindow::setSplit(bool on) {
    state_.splitEnabled = on;
    maxLenField_->setEnabled(on);
    splitCheck_->setChecked(on);
}

void TMainWindow::setFillIn(bool on) {
    state_.fillIn = on;
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel >= 0) s_.inputs->setFillIn(sel, on);
    (on ? fillRadio_ : proportionalRadio_)->setChecked(true);
    refreshOutputPreview();
}

void TMainWindow::setInvert(bool on) {
    state_.invert = on;
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel >= 0) s_.inputs->setInvert(sel, on);
    invertCheck_->setChecked(on);
    showSelectedInput();
}

void TMainWindow::setJoiner(bool on) {
    state_.joiner = on;
    refreshFields();
}

void TMainWindow::chooseOutputName() {
    QString name = QFileDialog::getSaveFileName(
        this, QString::fromStdString(dialogTitle("output MPEG program stream")),
        outputField_->text(), qtFilter(kOutputFilter));
    if (!name.isEmpty()) setOutputName(name.toStdString());
}

void TMainWindow::setOutputName(const std::string& name) {
    std::string n = name.substr(0, 259);
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (!state_.joiner && sel >= 0) {
        s_.inputs->setOutputName(sel, n);
    } else {
        state_.outputName = n;
        if (state_.perEntrySettings && sel >= 0 && s_.inputs->count() == 1)
            s_.inputs->setOutputName(sel, n);
    }
    refreshFields();
}

// --- conversion -------------------------------------------------------------

std::string TMainWindow::firstOutputName() const {
    if (!s_.inputs || s_.inputs->count() == 0) return state_.outputName;
    std::string name = state_.joiner ? state_.outputName : s_.inputs->record(0).outputName;
    if (!name.empty()) return name;
    QFileInfo first(QString::fromStdString(s_.inputs->facts(0).path));
    return (first.dir().filePath(first.completeBaseName()) + ".mpg").toStdString();
}

ConversionPlan TMainWindow::plan() const {
    ConversionPlan p;
    p.target = state_.target;
    p.pal = state_.pal;
    p.width = state_.outputWidth;
    p.height = state_.outputHeight;
    p.joiner = state_.joiner;
    p.splitEnabled = state_.splitEnabled;
    p.maxFileSizeMB = state_.maxFileSizeMB;
    p.outputName = state_.outputName;
    return p;
}

void TMainWindow::setControlsEnabled(bool on) {
    for (auto& [name, w] : controls_) w->setEnabled(on);
    if (on) maxLenField_->setEnabled(state_.splitEnabled);
    disc_->setEnabled(on);
    fit_->setEnabled(on);
}

void TMainWindow::convert() {
    if (converting_ || !s_.inputs || !s_.engine) return;
    if (s_.inputs->count() == 0) {
        s_.host->show(kAppTitle, "Please open an input file first.", MessageIcon::Warning);
        return;
    }
    // Fields typed into but not yet left still count.
    widthEdited();
    heightEdited();
    int64_t fitBytes = 0;
    std::string fitProblem;
    if (!fit_->bytes(&fitBytes, &fitProblem)) {
        s_.host->show(kAppTitle, fitProblem, MessageIcon::Warning);
        return;
    }
    if (!initEngine(engineCode(state_.pal, state_.target),
                    "Can not initialize convert engine, error 5i."))
        return;
    // Every output of the run fits the size on its own; the engine turns
    // it into two passes or refuses a size the target cannot reach.
    s_.engine->setFitSize(fitBytes);
    // A size the target cannot take is refused now, before any input is
    // read, with what the target allows.
    std::vector<std::pair<int, int>> sizes{{state_.outputWidth, state_.outputHeight}};
    if (state_.perEntrySettings)
        for (int i = 0; i < s_.inputs->count(); ++i) {
            const ProjectEntry r = s_.inputs->record(i);
            if (r.outputWidth > 0 && r.outputHeight > 0) sizes.emplace_back(r.outputWidth, r.outputHeight);
        }
    for (const auto& [w, h] : sizes) {
        const std::string problem = s_.engine->outputSizeProblem(w, h);
        if (!problem.empty()) {
            s_.host->show(kAppTitle, formatText("The output size %d x %d does not suit this target.\n", w, h) + problem,
                          MessageIcon::Warning);
            return;
        }
    }
    DiscRun disc;
    if (s_.makeDisc) {
        std::vector<std::string> own = {state_.outputName};
        for (int i = 0; i < s_.inputs->count(); ++i) {
            const QFileInfo input(QString::fromStdString(s_.inputs->facts(i).path));
            own.push_back(input.filePath().toStdString());
            own.push_back(s_.inputs->record(i).outputName);
            own.push_back((input.dir().filePath(input.completeBaseName()) + ".mpg").toStdString());
        }
        own.push_back(firstOutputName());
        own.erase(std::remove(own.begin(), own.end(), std::string()), own.end());
        if (!disc.prepare(*disc_, state_.target, state_.pal, own, *s_.host)) return;
    }
    converting_ = true;
    setControlsEnabled(false);
    ConversionPlan p = plan();
    // Every file the conversion writes is checked before any work; a file
    // that exists is replaced only when the user says so.
    p.filesOf = [this](const ConversionRequest& r) { return s_.engine->plannedFiles(r); };
    s_.engine->setReplaceExisting(false);
    p.confirmReplace = [this](const std::vector<std::string>& existing) {
        std::string text = existing.size() == 1 ? "This file exists and would be replaced:\n"
                                                : "These files exist and would be replaced:\n";
        for (const std::string& path : existing) text += "\n" + path;
        const bool yes = s_.host->askYesNo(kAppTitle, text + "\n\nReplace?");
        s_.engine->setReplaceExisting(yes);
        return yes;
    };
    std::vector<std::string> written, lastFiles;
    bool lastStopped = false;
    ConversionOutcome outcome = s_.inputs->convert(p, [&](const ConversionRequest& r) {
        const int result = s_.engine->convert(r);
        lastFiles = s_.engine->lastFiles();
        lastStopped = s_.engine->lastStopped();
        if (result == 31) {
            written.insert(written.end(), lastFiles.begin(), lastFiles.end());
            disc.outputCompleted(r, disc::programStreamFiles(lastFiles, s_.engine->plannedFiles(r).streamNames));
        }
        return result;
    });
    bool allDone = outcome.outputs > 0 && outcome.completed == outcome.outputs;
    bool discFailed = false;
    // The disc is made of every output or not at all.
    if (allDone && disc.active()) {
        if (s_.makeDisc(disc.request())) {
            const std::vector<std::string> image = disc.imageFiles();
            written.insert(written.end(), image.begin(), image.end());
        } else {
            allDone = false;
            discFailed = true;
        }
    }
    setControlsEnabled(true);
    converting_ = false;
    if (s_.inputs->count() > 0) s_.inputs->select(0);
    refreshList();
    showSelectedInput();
    if (!outcome.refusal.empty()) {
        s_.host->show(kAppTitle, outcome.refusal, MessageIcon::Error);
        return;
    }
    if (outcome.declined) return;
    const bool poweringOff = state_.shutdownWhenDone && allDone && s_.powerOff;
    if (discFailed) {
        // The disc's own message came first; the outputs it was to hold stay.
        std::string text = "Conversion finished, but the disc image was not made. The program streams are kept:\n";
        for (const std::string& f : written) text += "\n" + f;
        s_.host->show(kAppTitle, text, MessageIcon::Warning);
    } else if (!poweringOff) {
        showConversionEnd(outcome, written, lastFiles, lastStopped);
    }
    if (poweringOff) {
        if (!s_.powerOff())
            s_.host->show(kAppTitle, "The computer could not be powered off.", MessageIcon::Warning);
    }
}

void TMainWindow::showConversionEnd(const ConversionOutcome& outcome, const std::vector<std::string>& written,
                                    const std::vector<std::string>& lastFiles, bool lastStopped) {
    auto list = [](const std::vector<std::string>& files) {
        std::string text;
        for (const std::string& f : files) text += "\n" + f;
        return text;
    };
    std::string text;
    MessageIcon icon = MessageIcon::None;
    const bool allDone = outcome.outputs > 0 && outcome.completed == outcome.outputs;
    if (allDone) {
        text = "Conversion finished.\n\nWritten:" + list(written);
    } else if (lastStopped) {
        icon = MessageIcon::Warning;
        text = lastFiles.empty() ? "Conversion stopped; nothing of the stopped output was kept."
                                 : "Conversion stopped. The part converted before the stop is in:" + list(lastFiles);
    } else {
        icon = MessageIcon::Error;
        text = lastFiles.empty() ? "Conversion failed; nothing of the failed output was kept."
                                 : "Conversion failed. The streams asked to be kept are in:" + list(lastFiles);
    }
    if (!allDone && !written.empty()) text += "\n\nCompleted before it:" + list(written);
    if (!outcome.renamed.empty()) text += "\n\nInputs of the same name got outputs of their own:" + list(outcome.renamed);
    s_.host->show(kAppTitle, text, icon);
}

// --- log, help, about -------------------------------------------------------

void TMainWindow::checkLog() {
    // Without a program to open the written log, the window shows it itself.
    auto open = [this](const std::string& path) {
        if (s_.openFile && s_.openFile(path)) return true;
        showTextWindow(this, QString::fromStdString(dialogTitle("log")), QString::fromStdString(s_.log->text()),
                       false);
        return true;
    };
    std::string error = writeAndOpenLog(*s_.log, s_.logPath, open);
    if (!error.empty()) {
        s_.host->show("checklog error", error, MessageIcon::Error);
        // The log is still worth reading when it cannot be saved.
        showTextWindow(this, QString::fromStdString(dialogTitle("log")), QString::fromStdString(s_.log->text()),
                       false);
    }
}

void TMainWindow::showHelp() {
    QString dir = QCoreApplication::applicationDirPath();
    QString page = ":/quillon/QUILLON.html";
    for (QString candidate : {dir + "/QUILLON.html", dir + "/../share/doc/quillon/QUILLON.html"}) {
        if (QFileInfo::exists(candidate)) {
            if (s_.openFile && s_.openFile(candidate.toStdString())) return;
            page = candidate;
            break;
        }
    }
    QFile file(page);
    if (file.open(QIODevice::ReadOnly)) {
        showTextWindow(this, QString::fromStdString(dialogTitle("help")), QString::fromUtf8(file.readAll()), true);
        return;
    }
    s_.host->show(kAppTitle,
                  "Open media files (AVI, or .lst lists of pictures) with Add, choose the target "
                  "and the video standard, set the output file and press Convert.\n\n"
                  "Join into one file puts every input into one MPEG file; One file per input "
                  "converts each input into its own file.");
}

void TMainWindow::showAbout() {
    s_.host->show(formatText("About %s", kAppTitle),
                  formatText("%s %s\nAVI files and picture lists to MPEG-1 and MPEG-2 program "
                             "streams for VCD, SVCD and DVD.",
                             kAppTitle, kAppVersion));
}

// --- previews ---------------------------------------------------------------

void TMainWindow::playInput() { runPlayer(false); }
void TMainWindow::playOutput() { runPlayer(true); }

void TMainWindow::runPlayer(bool output) {
    if (playing_) {
        stopPlay_ = true;
        return;
    }
    int sel = s_.inputs ? s_.inputs->selected() : -1;
    if (sel < 0) return;
    EntryFacts f = s_.inputs->facts(sel);
    double rate = f.frameRate > 0 ? f.frameRate : 1.0;
    TGlyphButton* b = buttons_[output ? "outputplay" : "inputplay"];
    auto stopPic = pictures_.find(output ? "outputstopbutton.jpg" : "inputstopbutton.jpg");
    const TFullDib* playPic = b->glyph();
    b->setText("Stop");
    if (stopPic != pictures_.end()) b->setGlyph(stopPic->second.get());
    playing_ = true;
    stopPlay_ = false;
    int last = std::max(0, f.selectedFrames - 1);
    int frame = std::min(s_.inputs->currentFrame(sel), last);
    bool natural = true;
    for (; frame <= last; ++frame) {
        QElapsedTimer clock;
        clock.start();
        TBaseDib pic;
        bool ok = output ? s_.inputs->outputPicture(sel, frame, plan(), pic)
                         : s_.inputs->sourcePicture(sel, frame, pic);
        if (!ok) break;
        TPreviewDib* pane = output ? outputPreview_ : inputPreview_;
        pane->showFrame(pic);
        pane->setCaption(QString("%1 / %2").arg(frame + 1).arg(last + 1));
        s_.inputs->setCurrentFrame(sel, frame);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (stopPlay_) break;
            QThread::msleep(2);
        } while (clock.elapsed() < 1000.0 / rate);
        if (stopPlay_ || !s_.inputs || s_.inputs->selected() != sel) {
            natural = false;
            break;
        }
    }
    if (natural || f.decodeRoute != 0) s_.inputs->setCurrentFrame(sel, 0);
    else s_.inputs->setCurrentFrame(sel, std::min(frame, last));
    playing_ = false;
    stopPlay_ = false;
    (output ? outputPreview_ : inputPreview_)->setCaption({});
    b->setText("Play");
    b->setGlyph(playPic);
}

// --- projects -------------------------------------------------------------

void TMainWindow::chooseProjectToSave() {
    QString name = QFileDialog::getSaveFileName(
        this, QString::fromStdString(dialogTitle("save project file")), {}, qtFilter(kProjectFilter));
    if (!name.isEmpty()) saveProjectTo(name.toStdString());
}

void TMainWindow::chooseProjectToOpen() {
    QString name = QFileDialog::getOpenFileName(
        this, QString::fromStdString(dialogTitle("open project file")), {}, qtFilter(kProjectFilter));
    if (!name.isEmpty()) openProjectFrom(name.toStdString());
}

bool TMainWindow::saveProjectTo(const std::string& chosen) {
    const std::string path = projectFileName(chosen);
    ProjectHeader h;
    h.target = state_.target;
    h.pal = state_.pal;
    h.perEntrySettings = state_.perEntrySettings ? 1 : 0;
    h.selected = s_.inputs ? std::max(0, s_.inputs->selected()) : 0;
    h.currentFrame = s_.inputs && s_.inputs->selected() >= 0
                         ? s_.inputs->currentFrame(s_.inputs->selected())
                         : 0;
    h.outputName = state_.outputName;
    h.outputWidth = state_.outputWidth;
    h.outputHeight = state_.outputHeight;
    h.displayFlag = state_.displayFlag;
    std::vector<ProjectEntry> entries;
    for (int i = 0; s_.inputs && i < s_.inputs->count(); ++i) entries.push_back(s_.inputs->record(i));
    return saveProject(path, h, entries, *this);
}

bool TMainWindow::openProjectFrom(const std::string& path) {
    bool perEntry = state_.perEntrySettings;
    bool ok = openProject(path, *this);
    state_.perEntrySettings = perEntry;
    refreshList();
    showSelectedInput();
    return ok;
}

void TMainWindow::projectMessage(const std::string& caption, const std::string& text) {
    s_.host->show(caption, text, MessageIcon::Error);
}

void TMainWindow::clearEntries() {
    if (s_.inputs) s_.inputs->clear();
}

bool TMainWindow::openEntry(const ProjectEntry& saved) {
    if (!s_.inputs) return false;
    OpeningFileNotice notice(saved.path, this);
    return s_.inputs->open(saved.path);
}

void TMainWindow::restoreEntry(int index, const ProjectEntry& saved) {
    s_.inputs->restore(index, saved);
    // The entry's own name and size belong to its settings too.
    s_.inputs->setOutputName(index, saved.outputName);
    if (saved.outputWidth > 0 && saved.outputHeight > 0)
        s_.inputs->setOutputSize(index, saved.outputWidth, saved.outputHeight);
}

void TMainWindow::finishLoad(const ProjectHeader& header, int opened, bool restoreOutput) {
    // Target and standard first: they set the size fields, which the saved
    // output size then overrides.
    if (header.pal >= 0 && header.pal != state_.pal) setStandard(header.pal);
    if (header.target >= 0 && header.target != state_.target) setTarget(header.target);
    if (restoreOutput) {
        state_.outputName = header.outputName;
        if (header.outputWidth >= kMinWidth && header.outputWidth <= kMaxWidth)
            state_.outputWidth = header.outputWidth;
        if (header.outputHeight >= kMinHeight && header.outputHeight <= kMaxHeight)
            state_.outputHeight = header.outputHeight;
    }
    state_.displayFlag = header.displayFlag;
    if (opened > 0 && s_.inputs) {
        int sel = std::clamp(header.selected, 0, opened - 1);
        s_.inputs->select(sel);
        if (sel == header.selected) s_.inputs->setCurrentFrame(sel, header.currentFrame);
    }
}

void TMainWindow::saveProfile(const QPoint& framePos) {
    if (!s_.preferences) return;
    s_.preferences->setInt(kAppTitle, "left", framePos.x());
    s_.preferences->setInt(kAppTitle, "top", framePos.y());
    s_.preferences->setInt(kAppTitle, "editFilters", state_.editFilters);
    if (s_.engine) s_.preferences->setInt("Quorvel Encoder", "Batch", s_.engine->batchMode());
}

// --- frame window -----------------------------------------------------------

// The encoder's quality level, kept in the user profile: the engine reads
// it at the start of every conversion.
void TMyFrameWindow::addQualityMenu() {
    static constexpr const char* kLevels[3] = {"&Classic (fastest)", "&High", "&Best (slowest)"};
    QMenu* menu = menuBar()->addMenu("&Quality");
    auto* group = new QActionGroup(menu);
    group->setExclusive(true);
    int current = s_.preferences ? s_.preferences->getInt(kEngineName, "Quality", kDefaultQuality) : kDefaultQuality;
    if (current < kQualityClassic || current > kQualityBest) current = kDefaultQuality;
    for (int level = kQualityClassic; level <= kQualityBest; ++level) {
        QAction* action = menu->addAction(kLevels[level]);
        action->setCheckable(true);
        action->setChecked(level == current);
        action->setObjectName(QString("quality-%1").arg(qualityLevelName(level)));
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, level] {
            if (s_.preferences) s_.preferences->setInt(kEngineName, "Quality", level);
        });
    }
}

TMyFrameWindow::TMyFrameWindow(const WindowServices& services, QWidget* parent)
    : QMainWindow(parent), s_(services) {
    setWindowTitle(QString("%1 %2").arg(kAppTitle, kAppVersion));
    main_ = new TMainWindow(s_, this);
    setCentralWidget(main_);
    if (s_.host) s_.host->setMainWindow(this);
    QMenu* file = menuBar()->addMenu("&Project");
    file->addAction("&Open project...", this, [this] {
        QString name = QFileDialog::getOpenFileName(
            this, QString("%1 - open project file").arg(kAppTitle), {}, qtFilter(kProjectFilter));
        if (!name.isEmpty()) main_->openProjectFrom(name.toStdString());
    });
    file->addAction("&Save project...", this, [this] {
        QString name = QFileDialog::getSaveFileName(
            this, QString("%1 - save project file").arg(kAppTitle), {}, qtFilter(kProjectFilter));
        if (!name.isEmpty()) main_->saveProjectTo(name.toStdString());
    });
    file->addSeparator();
    file->addAction("E&xit", this, [this] { close(); });
    addQualityMenu();
    menuBar()->setStyleSheet("QMenuBar { background: #1b2540; color: white; }"
                             "QMenuBar::item:selected { background: #2c3c66; }");

    int left = s_.preferences ? s_.preferences->getInt(kAppTitle, "left", 100) : 100;
    int top = s_.preferences ? s_.preferences->getInt(kAppTitle, "top", 50) : 50;
    if (left < 0 || left > 800) left = 0;
    if (top < 0 || top > 600) top = 0;
    move(left, top);
}

bool TMyFrameWindow::initialise() {
    bool ok = main_->initialise();
    setFixedSize(main_->clientSize().width(),
                 main_->clientSize().height() + menuBar()->sizeHint().height());
    return ok;
}

void TMyFrameWindow::closeEvent(QCloseEvent* e) {
    main_->saveProfile(pos());
    if (s_.inputs) s_.inputs->clear();
    QMainWindow::closeEvent(e);
}

}  // namespace quillon::app
