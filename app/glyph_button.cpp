#include "app/glyph_button.h"

#include <QtGui/QPainter>

namespace quillon::app {

TGlyphButton::TGlyphButton(QWidget* parent) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void TGlyphButton::setGlyph(const TFullDib* picture) {
    picture_ = picture;
    update();
}

void TGlyphButton::setActive(bool on) {
    active_ = on;
    update();
}

TGlyphButton::State TGlyphButton::currentState() const {
    if (!isEnabled()) return kDisabled;
    if (isDown()) return kPressed;
    if (active_ && picture_ && picture_->image().width() >= 5 * width()) return kActive;
    if (hover_) return kHover;
    return kNormal;
}

void TGlyphButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QImage cell = picture_ ? picture_->cell(currentState(), width()) : QImage();
    if (!cell.isNull()) {
        p.drawImage(rect(), cell);
    } else {
        // Without its picture the button still has to be usable.
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(palette().color(QPalette::Mid));
        p.setBrush(isDown() ? palette().color(QPalette::Mid) : palette().color(QPalette::Button));
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::ButtonText));
        p.drawText(rect(), Qt::AlignCenter, text());
    }
    if (hasFocus()) {
        p.setPen(QPen(QColor(0x2f, 0x6f, 0xeb, 160), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(2, 2, -3, -3));
    }
}

void TGlyphButton::enterEvent(QEnterEvent* e) {
    hover_ = true;
    update();
    QAbstractButton::enterEvent(e);
}

void TGlyphButton::leaveEvent(QEvent* e) {
    hover_ = false;
    update();
    QAbstractButton::leaveEvent(e);
}

}  // namespace quillon::app
