#include "app/dib.h"

#include <QtGui/QImageReader>
#include <QtGui/QPainter>

#include <cstring>

namespace quillon::app {

void TBaseDib::allocate(int width, int height) {
    width_ = std::max(0, width);
    height_ = std::max(0, height);
    pixels_.assign(size_t(width_) * height_ * 4, 0);
}

void TBaseDib::assign(const uint8_t* bgra, int width, int height, int rowBytes) {
    allocate(width, height);
    if (!bgra || empty()) return;
    for (int r = 0; r < height_; ++r)
        std::memcpy(row(r), bgra + size_t(r) * rowBytes, size_t(this->rowBytes()));
}

QImage TBaseDib::toImage() const {
    if (empty()) return {};
    QImage img(width_, height_, QImage::Format_RGB32);
    // Format_RGB32 is 0xffRRGGBB per pixel: on little-endian machines its
    // bytes are blue, green, red, unused, the same as ours.
    for (int y = 0; y < height_; ++y) {
        const uint8_t* src = row(height_ - 1 - y);
        auto* dst = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < width_; ++x) {
            dst[x] = 0xff000000u | (uint32_t(src[4 * x + 2]) << 16) |
                     (uint32_t(src[4 * x + 1]) << 8) | uint32_t(src[4 * x]);
        }
    }
    return img;
}

bool TFullDib::load(const std::string& path) {
    QImageReader reader(QString::fromStdString(path));
    QImage img = reader.read();
    if (img.isNull()) return false;
    image_ = img.convertToFormat(QImage::Format_RGB32);
    allocate(image_.width(), image_.height());
    for (int y = 0; y < height(); ++y) {
        const auto* src = reinterpret_cast<const uint32_t*>(image_.constScanLine(y));
        uint8_t* dst = row(height() - 1 - y);
        for (int x = 0; x < width(); ++x) {
            dst[4 * x] = uint8_t(src[x]);
            dst[4 * x + 1] = uint8_t(src[x] >> 8);
            dst[4 * x + 2] = uint8_t(src[x] >> 16);
            dst[4 * x + 3] = 0;
        }
    }
    return true;
}

QImage TFullDib::cell(int index, int cellWidth) const {
    if (image_.isNull() || cellWidth <= 0) return {};
    int cells = std::max(1, image_.width() / cellWidth);
    index = std::clamp(index, 0, cells - 1);
    return image_.copy(index * cellWidth, 0, cellWidth, image_.height());
}

TPreviewDib::TPreviewDib(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPreviewDib::showFrame(const uint8_t* bgra, int width, int height, int rowBytes) {
    TBaseDib dib;
    dib.assign(bgra, width, height, rowBytes);
    frame_ = dib.toImage();
    update();
}

void TPreviewDib::clearFrame() {
    frame_ = QImage();
    update();
}

void TPreviewDib::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (frame_.isNull()) {
        if (idle_.isNull()) p.fillRect(rect(), QColor(0x1b, 0x1f, 0x29));
        else p.drawImage(rect(), idle_);
        return;
    }
    p.fillRect(rect(), Qt::black);
    QSize fit = frame_.size().scaled(size(), Qt::KeepAspectRatio);
    QRect target(QPoint((width() - fit.width()) / 2, (height() - fit.height()) / 2), fit);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(target, frame_);
    if (!caption_.isEmpty()) {
        QFont f = font();
        f.setPixelSize(11);
        p.setFont(f);
        QRect box = QFontMetrics(f).boundingRect(caption_).adjusted(-5, -2, 5, 2);
        box.moveBottomRight(rect().bottomRight() - QPoint(6, 6));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 150));
        p.drawRoundedRect(box, 4, 4);
        p.setPen(Qt::white);
        p.drawText(box, Qt::AlignCenter, caption_);
    }
}

}  // namespace quillon::app
