#include "disc/dvd_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillon::disc {

namespace {

// Marks closer together than this would land on the same group of pictures.
constexpr double kEndMargin = 1.0;
// Mark times are products of a fraction of a minute; a mark that should
// fall exactly on a boundary must not miss it by a rounding error.
constexpr double kSlack = 1e-6;
// Players count at most this many chapters in a title; the marks past it
// are left out.
constexpr long kMostChapters = 99;

}  // namespace

std::vector<std::vector<double>> chapterMarks(const std::vector<double>& partSeconds, double everySeconds) {
    std::vector<std::vector<double>> marks(partSeconds.size());
    if (partSeconds.empty()) return marks;
    double total = 0;
    for (double s : partSeconds) total += s > 0 ? s : 0;
    marks[0].push_back(0);
    if (!(everySeconds > 0)) return marks;
    for (long k = 1; k < kMostChapters; ++k) {
        const double at = everySeconds * static_cast<double>(k);
        if (at > total - kEndMargin + kSlack) break;
        double start = 0;
        for (size_t p = 0; p < partSeconds.size(); ++p) {
            const double length = partSeconds[p] > 0 ? partSeconds[p] : 0;
            if (at < start + length - kSlack || p + 1 == partSeconds.size()) {
                marks[p].push_back(std::max(0.0, at - start));
                break;
            }
            start += length;
        }
    }
    return marks;
}

std::string chapterTime(double seconds) {
    if (seconds <= 0) return "0";
    const long long ms = std::llround(seconds * 1000.0);
    const long long h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, frac = ms % 1000;
    char text[48];
    if (frac)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", h, m, s, frac);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    return text;
}

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string dvdauthorControl(const std::vector<DvdTitle>& titles, bool pal, double chapterSeconds,
                             const std::string& dest) {
    const std::string format = pal ? "pal" : "ntsc";
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<dvdauthor dest=\"" + xmlEscape(dest) + "\" format=\"" + format + "\">\n";
    x += "  <vmgm />\n";
    size_t i = 0;
    while (i < titles.size()) {
        // A titleset holds titles of one picture size; a player cannot be
        // sent from one titleset's title to another's without menus, so
        // titles play on only within their titleset.
        size_t end = i + 1;
        while (end < titles.size() && titles[end].width == titles[i].width && titles[end].height == titles[i].height)
            ++end;
        x += "  <titleset>\n    <titles>\n";
        x += "      <video format=\"" + format + "\" />\n";
        for (size_t t = i; t < end; ++t) {
            const DvdTitle& title = titles[t];
            const std::vector<std::vector<double>> marks = chapterMarks(title.partSeconds, chapterSeconds);
            x += "      <pgc>\n";
            for (size_t p = 0; p < title.parts.size(); ++p) {
                x += "        <vob file=\"" + xmlEscape(title.parts[p]) + "\"";
                if (p < marks.size() && !marks[p].empty()) {
                    std::string list;
                    for (double m : marks[p]) list += (list.empty() ? "" : ",") + chapterTime(m);
                    x += " chapters=\"" + list + "\"";
                }
                x += " />\n";
            }
            if (t + 1 < end) x += "        <post>jump title " + std::to_string(t - i + 2) + ";</post>\n";
            x += "      </pgc>\n";
        }
        x += "    </titles>\n  </titleset>\n";
        i = end;
    }
    x += "</dvdauthor>\n";
    return x;
}

}  // namespace quillon::disc
