#include "app/fit_option.h"

#include <QtWidgets/QLineEdit>

#include "engine/fit_size.h"

namespace quillon::app {

namespace {

// The list shows what a name stands for; the parser takes the word before
// the blank.
struct NamedDisc {
    const char* name;
    int64_t bytes;
};
constexpr NamedDisc kDiscs[] = {
    {"dvd5", kDvd5Bytes}, {"dvd9", kDvd9Bytes}, {"cd80", kCd80Bytes}, {"cd74", kCd74Bytes}};

}  // namespace

FitOption::FitOption(QWidget* parent) : check_(new QCheckBox("Fit to", parent)), size_(new QComboBox(parent)) {
    check_->setToolTip("Code in two passes so that each output (all its split parts together) just fits this size");
    size_->setEditable(true);
    size_->setInsertPolicy(QComboBox::NoInsert);
    for (const NamedDisc& d : kDiscs)
        size_->addItem(QString::fromStdString(std::string(d.name) + "  " + sizeText(d.bytes)));
    size_->lineEdit()->setPlaceholderText("Size: 700M, 4.3G or a disc");
    size_->setToolTip("Bytes, or with k, M, G (powers of 1024), or a disc: dvd5, dvd9, cd80, cd74");
    QObject::connect(check_, &QCheckBox::toggled, size_, [this](bool) { setEnabled(windowEnabled_); });
    setEnabled(true);
}

void FitOption::setEnabled(bool on) {
    windowEnabled_ = on;
    check_->setEnabled(on);
    size_->setEnabled(on && check_->isChecked());
}

bool FitOption::bytes(int64_t* bytes, std::string* problem) const {
    *bytes = 0;
    if (!on()) return true;
    std::string text = size_->currentText().trimmed().toStdString();
    // A listed disc carries its size after two blanks for the eye only.
    const size_t gap = text.find("  ");
    if (gap != std::string::npos) text.resize(gap);
    if (text.empty()) {
        *problem = "Please give the size to fit to.";
        return false;
    }
    std::string why;
    if (!parseFitSize(text, bytes, &why)) {
        *problem = "Fit to: " + why;
        return false;
    }
    return true;
}

}  // namespace quillon::app
