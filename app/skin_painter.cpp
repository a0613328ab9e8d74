// Paints the window's skin pictures from the layout file at build time, so
// the art always fits the rectangles the window reads.
//
//   quillon-skin-gen <position_pro.txt> <output folder>
//
// Every button picture holds its states side by side: normal, hover,
// pressed, disabled, and for the two tabs a fifth, active state.

#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include <cstdio>
#include <functional>
#include <string>

#include "app/skin_layout.h"

namespace {

using quillon::app::SkinLayout;
using quillon::app::SkinRect;

const QColor kPage(0xEE, 0xF1, 0xF6);
const QColor kCard(0xFF, 0xFF, 0xFF);
const QColor kCardLine(0xD5, 0xDB, 0xE5);
const QColor kHeaderTop(0x1B, 0x25, 0x40);
const QColor kHeaderBottom(0x27, 0x36, 0x5E);
const QColor kAccent(0x2F, 0x6F, 0xEB);
const QColor kInk(0x1F, 0x29, 0x37);
const QColor kMuted(0x6B, 0x72, 0x80);
constexpr int kHeaderHeight = 64;

QRect toQRect(const SkinRect& r) { return QRect(r.left, r.top, r.width(), r.height()); }

SkinRect need(const SkinLayout& layout, const char* name) {
    auto r = layout.find(name);
    if (!r) {
        std::fprintf(stderr, "quillon-skin-gen: no rectangle for %s\n", name);
        std::exit(1);
    }
    return *r;
}

QFont font(int pixels, bool bold = false) {
    QFont f("DejaVu Sans");
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

void card(QPainter& p, QRect r, const QString& title) {
    p.setPen(QPen(kCardLine, 1));
    p.setBrush(kCard);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    if (!title.isEmpty()) {
        p.setPen(kMuted);
        p.setFont(font(11, true));
        p.drawText(QRect(r.left() + 14, r.top() + 8, r.width() - 28, 16),
                   Qt::AlignLeft | Qt::AlignVCenter, title.toUpper());
    }
}

void label(QPainter& p, QRect r, const QString& text, int align = Qt::AlignLeft) {
    p.setPen(kInk);
    p.setFont(font(12));
    p.drawText(r, align | Qt::AlignVCenter, text);
}

QImage background(const SkinLayout& layout) {
    SkinRect main = need(layout, "MainSize");
    QImage img(main.width(), main.height(), QImage::Format_RGB32);
    img.fill(kPage);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient g(0, 0, 0, kHeaderHeight);
    g.setColorAt(0, kHeaderTop);
    g.setColorAt(1, kHeaderBottom);
    p.fillRect(QRect(0, 0, main.width(), kHeaderHeight), g);
    p.setPen(Qt::white);
    p.setFont(font(20, true));
    SkinRect home = need(layout, "home");
    p.drawText(QRect(home.right + 14, 0, 400, kHeaderHeight), Qt::AlignLeft | Qt::AlignVCenter,
               "Quillon Converter");
    int titleWidth = QFontMetrics(font(20, true)).horizontalAdvance("Quillon Converter");
    p.setPen(QColor(0xA9, 0xB8, 0xD9));
    p.setFont(font(12));
    p.drawText(QRect(home.right + 14 + titleWidth + 14, 4, 300, kHeaderHeight),
               Qt::AlignLeft | Qt::AlignVCenter, "AVI and pictures to MPEG");

    SkinRect tab = need(layout, "JoinerBatchTab");
    SkinRect info = need(layout, "InfoPanel");
    card(p, QRect(tab.left - 8, tab.top - 8, tab.width() + 16, info.bottom - tab.top + 16), {});

    SkinRect out = need(layout, "OutputFileNameField");
    label(p, QRect(tab.left, out.top, out.left - tab.left - 6, out.height()), "Output file");

    SkinRect inPrev = need(layout, "InputPreviewBox");
    SkinRect outPrev = need(layout, "OutputPreviewBox");
    SkinRect inPlay = need(layout, "inputplay");
    card(p, QRect(inPrev.left - 8, inPrev.top - 8, outPrev.right - inPrev.left + 16,
                  inPlay.bottom - inPrev.top + 16), {});
    p.setPen(kMuted);
    p.setFont(font(11));
    p.drawText(QRect(inPlay.right + 8, inPlay.top, inPrev.right - inPlay.right - 8,
                     inPlay.height()),
               Qt::AlignRight | Qt::AlignVCenter, "Input");
    SkinRect outPlay = need(layout, "outputplay");
    p.drawText(QRect(outPlay.right + 8, outPlay.top, outPrev.right - outPlay.right - 8,
                     outPlay.height()),
               Qt::AlignRight | Qt::AlignVCenter, "Output");

    SkinRect mpeg1 = need(layout, "MPEG1Radio");
    SkinRect dvd = need(layout, "DVDRadio");
    SkinRect ntsc = need(layout, "NTSCRadio");
    SkinRect fill = need(layout, "FillInRadio");
    SkinRect inv = need(layout, "InvertCheck");
    SkinRect shut = need(layout, "ShutdownCheck");
    int cardLeft = mpeg1.left - 8, cardRight = outPrev.right + 8;
    card(p, QRect(cardLeft, mpeg1.top - 30, cardRight - cardLeft, mpeg1.height() + 38), "Target");
    card(p, QRect(cardLeft, ntsc.top - 30, cardRight - cardLeft, fill.bottom - ntsc.top + 38),
         "Picture");
    card(p, QRect(cardLeft, inv.top - 30, cardRight - cardLeft, shut.bottom - inv.top + 38),
         "Options");
    (void)dvd;

    SkinRect w = need(layout, "MpegWidthField");
    SkinRect h = need(layout, "MpegHeightField");
    label(p, QRect(w.left - 60, w.top, 56, w.height()), "Size", Qt::AlignRight);
    label(p, QRect(w.right, w.top, h.left - w.right, w.height()), "\u00d7", Qt::AlignHCenter);
    SkinRect maxlen = need(layout, "MAXLENField");
    label(p, QRect(maxlen.right + 6, maxlen.top, 40, maxlen.height()), "MB");
    return img;
}

enum State { kNormal, kHover, kPressed, kDisabled, kActive };

struct Style {
    QColor fill, line, ink;
};

Style lightStyle(State s) {
    switch (s) {
    case kHover: return {QColor(0xE8, 0xF0, 0xFE), QColor(0x9D, 0xB9, 0xF5), kInk};
    case kPressed: return {QColor(0xD2, 0xE1, 0xFC), kAccent, kInk};
    case kDisabled: return {QColor(0xF3, 0xF4, 0xF6), QColor(0xE0, 0xE3, 0xE8), QColor(0xA8, 0xAE, 0xB8)};
    case kActive: return {kAccent, kAccent, Qt::white};
    default: return {Qt::white, kCardLine, kInk};
    }
}

Style accentStyle(State s) {
    switch (s) {
    case kHover: return {QColor(0x4A, 0x83, 0xF0), QColor(0x4A, 0x83, 0xF0), Qt::white};
    case kPressed: return {QColor(0x22, 0x59, 0xC9), QColor(0x22, 0x59, 0xC9), Qt::white};
    case kDisabled: return {QColor(0xB9, 0xC9, 0xEE), QColor(0xB9, 0xC9, 0xEE), QColor(0xF1, 0xF4, 0xFB)};
    default: return {kAccent, kAccent, Qt::white};
    }
}

Style headerStyle(State s) {
    switch (s) {
    case kHover: return {QColor(0x3A, 0x4C, 0x7A), QColor(0x5B, 0x6E, 0xA0), Qt::white};
    case kPressed: return {QColor(0x14, 0x1C, 0x33), QColor(0x5B, 0x6E, 0xA0), Qt::white};
    case kDisabled: return {QColor(0x27, 0x36, 0x5E), QColor(0x33, 0x44, 0x6E), QColor(0x7C, 0x88, 0xA6)};
    default: return {QColor(0x2C, 0x3C, 0x66), QColor(0x42, 0x54, 0x84), Qt::white};
    }
}

using Icon = std::function<void(QPainter&, QRectF, QColor)>;

void playIcon(QPainter& p, QRectF r, QColor c) {
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right(), r.center().y());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.fillPath(path, c);
}
void stopIcon(QPainter& p, QRectF r, QColor c) { p.fillRect(r.adjusted(1, 1, -1, -1), c); }
void upIcon(QPainter& p, QRectF r, QColor c) {
    QPainterPath path;
    path.moveTo(r.center().x(), r.top());
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.fillPath(path, c);
}
void downIcon(QPainter& p, QRectF r, QColor c) {
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.center().x(), r.bottom());
    path.closeSubpath();
    p.fillPath(path, c);
}
void plusIcon(QPainter& p, QRectF r, QColor c) {
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
    p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
}
void minusIcon(QPainter& p, QRectF r, QColor c) {
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
}
void homeIcon(QPainter& p, QRectF r, QColor c) {
    QPainterPath roof;
    roof.moveTo(r.left(), r.top() + r.height() * 0.48);
    roof.lineTo(r.center().x(), r.top());
    roof.lineTo(r.right(), r.top() + r.height() * 0.48);
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(roof);
    QRectF body(r.left() + r.width() * 0.18, r.top() + r.height() * 0.42, r.width() * 0.64,
                r.height() * 0.58);
    p.drawRect(body);
    p.fillRect(QRectF(r.center().x() - r.width() * 0.09, body.bottom() - body.height() * 0.5,
                      r.width() * 0.18, body.height() * 0.5),
               c);
}

// One state of a button: the background under it, then a rounded face.
void paintFace(QPainter& p, QRect cell, const Style& st, const QString& text, const Icon& icon,
               int textPixels, bool bold, int radius) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QRectF face = QRectF(cell).adjusted(1.5, 1.5, -1.5, -1.5);
    p.setPen(QPen(st.line, 1));
    p.setBrush(st.fill);
    p.drawRoundedRect(face, radius, radius);
    QFont f = font(textPixels, bold);
    QFontMetrics fm(f);
    int iconSize = icon ? std::min(12, cell.height() / 2) : 0;
    int gap = (icon && !text.isEmpty()) ? 7 : 0;
    int textWidth = text.isEmpty() ? 0 : fm.horizontalAdvance(text);
    int total = iconSize + gap + textWidth;
    double x = cell.left() + (cell.width() - total) / 2.0;
    if (icon) {
        QRectF ir(x, cell.top() + (cell.height() - iconSize) / 2.0, iconSize, iconSize);
        p.save();
        icon(p, ir, st.ink);
        p.restore();
    }
    if (!text.isEmpty()) {
        p.setPen(st.ink);
        p.setFont(f);
        p.drawText(QRectF(x + iconSize + gap, cell.top(), textWidth + 2, cell.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, text);
    }
}

struct ButtonArt {
    const char* layoutName;
    const char* file;
    QString text;
    Icon icon;
    Style (*style)(State);
    int states = 4;
    int textPixels = 12;
    bool bold = false;
    int radius = 7;
};

bool save(const QImage& img, const std::string& folder, const char* name) {
    std::string path = folder + "/" + name;
    if (!img.save(QString::fromStdString(path), "JPG", 95)) {
        std::fprintf(stderr, "quillon-skin-gen: can not write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillon-skin-gen <position_pro.txt> <output folder>\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    SkinLayout layout;
    if (!layout.load(argv[1])) {
        std::fprintf(stderr, "quillon-skin-gen: can not open %s\n", argv[1]);
        return 1;
    }
    std::string out = argv[2];
    QImage bg = background(layout);
    bool ok = save(bg, out, "interface.jpg");

    const QString play = "Play", stop = "Stop";
    std::vector<ButtonArt> buttons = {
        {"convert", "convertbutton.jpg", "Convert", nullptr, accentStyle, 4, 16, true, 10},
        {"checklog", "checklogbutton.jpg", "View log", nullptr, lightStyle, 4, 13, false, 10},
        {"help", "helpbutton.jpg", "Help", nullptr, headerStyle},
        {"about", "aboutbutton.jpg", "About", nullptr, headerStyle},
        {"exit", "exitbutton.jpg", "Exit", nullptr, headerStyle},
        {"home", "homebutton.jpg", "", homeIcon, headerStyle, 4, 12, false, 9},
        {"inputplay", "inputplaybutton.jpg", play, playIcon, lightStyle},
        {"inputplay", "inputstopbutton.jpg", stop, stopIcon, lightStyle},
        {"outputplay", "outputplaybutton.jpg", play, playIcon, lightStyle},
        {"outputplay", "outputstopbutton.jpg", stop, stopIcon, lightStyle},
        {"openfile", "openfilebutton.jpg", "Add", plusIcon, lightStyle},
        {"removefile", "removefilebutton.jpg", "Remove", minusIcon, lightStyle},
        {"upfile", "upfilebutton.jpg", "", upIcon, lightStyle},
        {"downfile", "downfilebutton.jpg", "", downIcon, lightStyle},
        {"rename", "renamebutton.jpg", "Output\u2026", nullptr, lightStyle},
        {"joiner", "joinerbutton.jpg", "Join into one file", nullptr, lightStyle, 5},
        {"batch", "batchbutton.jpg", "One file per input", nullptr, lightStyle, 5},
    };
    for (const ButtonArt& b : buttons) {
        QRect r = toQRect(need(layout, b.layoutName));
        QImage pic(r.width() * b.states, r.height(), QImage::Format_RGB32);
        QPainter p(&pic);
        for (int s = 0; s < b.states; ++s) {
            QRect cell(s * r.width(), 0, r.width(), r.height());
            p.drawImage(cell.topLeft(), bg, r);
            paintFace(p, cell, b.style(static_cast<State>(s)), b.text, b.icon, b.textPixels,
                      b.bold || s == kActive, b.radius);
        }
        p.end();
        ok = save(pic, out, b.file) && ok;
    }

    // The strip under the two tabs, once with each tab in front.
    QRect tab = toQRect(need(layout, "JoinerBatchTab"));
    QRect joiner = toQRect(need(layout, "joiner"));
    QRect batch = toQRect(need(layout, "batch"));
    for (int active = 0; active < 2; ++active) {
        QImage pic(tab.width(), tab.height(), QImage::Format_RGB32);
        QPainter p(&pic);
        p.drawImage(QPoint(0, 0), bg, tab);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        for (int t = 0; t < 2; ++t) {
            QRect cell = (t == 0 ? joiner : batch).translated(-tab.left(), -tab.top());
            paintFace(p, cell, lightStyle(t == active ? kActive : kNormal),
                      t == 0 ? "Join into one file" : "One file per input", nullptr, 12,
                      t == active, 7);
        }
        p.end();
        ok = save(pic, out, active == 0 ? "JoinerTab.jpg" : "BatchTab.jpg") && ok;
    }

    for (int which = 0; which < 2; ++which) {
        QRect r = toQRect(need(layout, which == 0 ? "InputPreviewBox" : "OutputPreviewBox"));
        QImage pic(r.width(), r.height(), QImage::Format_RGB32);
        QPainter p(&pic);
        p.setRenderHint(QPainter::Antialiasing);
        p.drawImage(QPoint(0, 0), bg, r);
        QLinearGradient g(0, 0, 0, r.height());
        g.setColorAt(0, QColor(0x24, 0x2B, 0x3A));
        g.setColorAt(1, QColor(0x15, 0x19, 0x22));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0, 0, r.width(), r.height()), 8, 8);
        QColor faint(0x5E, 0x68, 0x7C);
        QRectF icon(r.width() / 2.0 - 9, r.height() / 2.0 - 22, 18, 18);
        playIcon(p, icon, faint);
        p.setPen(faint);
        p.setFont(font(11));
        p.drawText(QRect(0, r.height() / 2 + 2, r.width(), 20), Qt::AlignHCenter | Qt::AlignVCenter,
                   which == 0 ? "Input preview" : "Output preview");
        p.end();
        ok = save(pic, out, which == 0 ? "inputpreview.jpg" : "outputpreview.jpg") && ok;
    }
    return ok ? 0 : 1;
}
