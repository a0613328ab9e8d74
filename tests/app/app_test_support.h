// What the desktop tests share: a message presenter that records and
// answers at once, an in-memory profile, and small AVI inputs.
#pragma once

#include <QtCore/QString>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/qt_host.h"
#include "app/services.h"
#include "input/avi_writer.h"

namespace quillon::testing {

struct ShownMessage {
    std::string caption, text;
    MessageIcon icon;
};

class RecordingPresenter : public app::MessagePresenter {
public:
    std::vector<ShownMessage> shown;
    std::vector<ShownMessage> asked;
    bool answer = true;
    std::function<void()> onShow;

    void show(QWidget*, const std::string& caption, const std::string& text, MessageIcon icon) override {
        shown.push_back({caption, text, icon});
        if (onShow) onShow();
    }
    bool ask(QWidget*, const std::string& caption, const std::string& text) override {
        asked.push_back({caption, text, MessageIcon::Question});
        return answer;
    }
    bool sawText(const std::string& text) const {
        for (const auto& m : shown)
            if (m.text == text) return true;
        return false;
    }
    std::string all() const {
        std::string s;
        for (const auto& m : shown) s += "[" + m.caption + "] " + m.text + "\n";
        return s;
    }
};

class MemoryPreferences : public app::Preferences {
public:
    std::map<std::string, int> values;
    int getInt(const std::string& section, const std::string& key, int fallback) override {
        auto it = values.find(section + "/" + key);
        return it == values.end() ? fallback : it->second;
    }
    void setInt(const std::string& section, const std::string& key, int value) override {
        values[section + "/" + key] = value;
    }
};

// Moving bars with a 440 Hz tone (or no sound).
inline bool writeTestAvi(const std::string& path, int frames, int width = 160, int height = 120,
                         int fps = 25, bool sound = true) {
    AviFormat f;
    f.width = width;
    f.height = height;
    f.rateNumerator = fps;
    f.rateDenominator = 1;
    f.audioChannels = sound ? 2 : 0;
    f.audioRate = 44100;
    f.audioBits = 16;
    AviWriter w;
    if (!w.open(path, f)) return false;
    Bitmap pic;
    pic.allocate(width, height);
    long long samples = 0;
    std::vector<int16_t> pcm;
    for (int n = 0; n < frames; ++n) {
        for (int y = 0; y < height; ++y) {
            uint8_t* row = pic.topRow(y);
            for (int x = 0; x < width; ++x) {
                int bar = ((x + n * 4) / 20) % 6;
                row[4 * x + 0] = uint8_t(bar * 40);
                row[4 * x + 1] = uint8_t(255 - bar * 40);
                row[4 * x + 2] = uint8_t((y * 2) & 255);
                row[4 * x + 3] = 0;
            }
        }
        if (!w.writeFrame(pic)) return false;
        if (sound) {
            long long until = (n + 1) * 44100LL / fps;
            pcm.clear();
            for (; samples < until; ++samples) {
                auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * samples / 44100.0));
                pcm.push_back(v);
                pcm.push_back(v);
            }
            if (!w.writeAudio(pcm.data(), pcm.size() * 2)) return false;
        }
    }
    return w.close();
}

}  // namespace quillon::testing
