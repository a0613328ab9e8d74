// A button drawn from one picture that holds its states side by side:
// normal, hover, pressed, disabled and, for tabs, active.
#pragma once

#include <QtWidgets/QAbstractButton>

#include "app/dib.h"

namespace quillon::app {

class TGlyphButton : public QAbstractButton {
public:
    enum State { kNormal = 0, kHover = 1, kPressed = 2, kDisabled = 3, kActive = 4 };

    explicit TGlyphButton(QWidget* parent = nullptr);
    // The picture's cells are as wide as the button.
    void setGlyph(const TFullDib* picture);
    const TFullDib* glyph() const { return picture_; }
    // Tabs: the active one shows the active cell.
    void setActive(bool on);
    bool active() const { return active_; }
    State currentState() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    const TFullDib* picture_ = nullptr;
    bool hover_ = false;
    bool active_ = false;
};

}  // namespace quillon::app
