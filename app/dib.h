// Device-independent pictures as the window draws them: 32-bit blue, green,
// red, unused pixels with rows bottom-up (what the engine and the input
// deliver), a full picture loaded from a skin file, and a preview pane that
// shows a picture scaled into its rectangle.
#pragma once

#include <QtGui/QImage>
#include <QtWidgets/QWidget>

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::app {

class TBaseDib {
public:
    TBaseDib() = default;
    TBaseDib(int width, int height) { allocate(width, height); }
    void allocate(int width, int height);
    // Copies bottom-up BGRA rows of rowBytes each.
    void assign(const uint8_t* bgra, int width, int height, int rowBytes);
    bool empty() const { return width_ <= 0 || height_ <= 0; }
    int width() const { return width_; }
    int height() const { return height_; }
    int rowBytes() const { return width_ * 4; }
    uint8_t* row(int bottomUpIndex) { return pixels_.data() + size_t(bottomUpIndex) * rowBytes(); }
    const uint8_t* row(int bottomUpIndex) const {
        return pixels_.data() + size_t(bottomUpIndex) * rowBytes();
    }
    const std::vector<uint8_t>& pixels() const { return pixels_; }
    // The picture upright, for drawing.
    QImage toImage() const;

private:
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> pixels_;
};

// A whole picture file (JPEG for the skin), kept as loaded.
class TFullDib : public TBaseDib {
public:
    bool load(const std::string& path);
    const QImage& image() const { return image_; }
    // The horizontal slice [index * cellWidth, +cellWidth) of a picture that
    // holds several states side by side.
    QImage cell(int index, int cellWidth) const;

private:
    QImage image_;
};

// A pane that shows one picture scaled to fit, centred on black, or its
// idle picture when there is nothing to show.
class TPreviewDib : public QWidget {
public:
    explicit TPreviewDib(QWidget* parent = nullptr);
    void setIdlePicture(const QImage& idle) { idle_ = idle; update(); }
    void showFrame(const uint8_t* bgra, int width, int height, int rowBytes);
    void showFrame(const TBaseDib& dib) { showFrame(dib.pixels().data(), dib.width(), dib.height(), dib.rowBytes()); }
    void clearFrame();
    // A small text over the picture (the frame number while playing).
    void setCaption(const QString& text) { caption_ = text; update(); }
    bool hasFrame() const { return !frame_.isNull(); }
    const QImage& frame() const { return frame_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QImage idle_;
    QImage frame_;
    QString caption_;
};

}  // namespace quillon::app
