// "Fit to" beside the target: the check box and the size (bytes, k, M, G,
// or a disc's name from the list), read at convert time into the bytes
// every output's program stream must fit in. The engine plans the two
// passes and refuses a size its target cannot reach.
#pragma once

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>

#include <cstdint>
#include <string>

namespace quillon::app {

class FitOption {
public:
    explicit FitOption(QWidget* parent);

    QCheckBox* check() const { return check_; }
    QComboBox* sizeField() const { return size_; }
    bool on() const { return check_->isChecked(); }

    void setEnabled(bool on);

    // The bytes to fit in: 0 when the box is off; false with the message
    // for the user when the size cannot be read.
    bool bytes(int64_t* bytes, std::string* problem) const;

private:
    QCheckBox* check_;
    QComboBox* size_;
    bool windowEnabled_ = true;
};

}  // namespace quillon::app
