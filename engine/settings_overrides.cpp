#include "engine/settings_overrides.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/derived_values.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "engine/settings_keys.h"
#include "engine/validation.h"

namespace quillon {

namespace {

bool parseWhole(const std::string& text, long long& out) {
    if (text.empty()) return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
    errno = 0;
    out = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

struct Parsed {
    const SettingsKey* key;
    std::string value;
};

// The first problem of a whole record: limits, then the video rules, then
// the audio rules. *audio tells which of the last two failed.
std::string recordProblem(const EncoderSettings& s, int w, int h, bool* audio = nullptr) {
    if (audio) *audio = false;
    std::string key;
    std::string problem = settingsLimitProblem(s, &key);
    if (!problem.empty()) {
        if (audio) *audio = findSettingsKey(key) && findSettingsKey(key)->isAudio();
        return problem;
    }
    problem = videoSettingsProblem(s, w, h);
    if (!problem.empty()) return problem;
    problem = audioSettingsProblem(s);
    if (!problem.empty() && audio) *audio = true;
    return problem;
}

bool affectsMotion(const SettingsKey* k) {
    return k->name == "ipFrameDistance" || k->name == "horzPelMovement" ||
           k->name == "vertPelMovement";
}

// Applies the assignments (skipping one index) to a copy of base.
EncoderSettings applied(const EncoderSettings& base, const std::vector<Parsed>& list, size_t skip) {
    EncoderSettings s = base;
    bool motionKey = false, motionInput = false;
    std::string ignored;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i == skip) continue;
        setSettingByName(s, list[i].key->name, list[i].value, ignored);
        if (list[i].key->motionEntry >= 0) motionKey = true;
        if (affectsMotion(list[i].key)) motionInput = true;
    }
    if (motionInput && !motionKey && s.autoVectorLengths) deriveMotionTable(s);
    deriveLoadedValues(s);
    return s;
}

}  // namespace

bool setSettingByName(EncoderSettings& s, const std::string& name, const std::string& value,
                      std::string& error) {
    const SettingsKey* key = findSettingsKey(name);
    if (!key) {
        error = "unknown settings key \"" + name + "\"";
        return false;
    }
    switch (key->type) {
        case SettingsKey::Type::Integer: {
            long long v;
            if (!parseWhole(value, v) || v < std::numeric_limits<int32_t>::min() ||
                v > std::numeric_limits<int32_t>::max()) {
                error = "key " + key->name + " needs a whole number, got \"" + value + "\"";
                return false;
            }
            if (!key->accepts(v)) {
                error = "key " + outOfRangeText(*key, v);
                return false;
            }
            *key->integerIn(s) = static_cast<int32_t>(v);
            return true;
        }
        case SettingsKey::Type::Bitrate: {
            long long v;
            if (!parseWhole(value, v) || v < 0) {
                error = "key " + key->name + " needs a whole number of bits per second, got \"" +
                        value + "\"";
                return false;
            }
            if (!key->accepts(v)) {
                error = "key " + outOfRangeText(*key, v);
                return false;
            }
            s.*key->bitrate = static_cast<double>(v);
            return true;
        }
        case SettingsKey::Type::Text: {
            if (value.size() >= static_cast<size_t>(kTextFieldSize)) {
                error = "key " + key->name + " takes at most 259 characters";
                return false;
            }
            for (unsigned char c : value)
                if (c < 0x20 || c == 0x7f) {
                    error = "key " + key->name + " takes no control characters";
                    return false;
                }
            std::memcpy(s.*key->text, value.c_str(), value.size() + 1);
            return true;
        }
    }
    return false;
}

bool applySettingOverrides(EncoderSettings& s, const std::vector<std::string>& assignments,
                           int w, int h, std::string& error) {
    std::vector<Parsed> list;
    EncoderSettings probe = s;
    for (const std::string& a : assignments) {
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "--set expects KEY=VALUE, got \"" + a + "\"";
            return false;
        }
        std::string name = a.substr(0, eq), value = a.substr(eq + 1);
        if (!setSettingByName(probe, name, value, error)) return false;
        list.push_back({findSettingsKey(name), value});
    }
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    EncoderSettings result = applied(s, list, kNone);
    bool audioFault = false;
    const std::string problem = recordProblem(result, w, h, &audioFault);
    if (problem.empty()) {
        s = result;
        return true;
    }
    // Name the key whose value is at fault: the first one whose removal
    // makes the rest acceptable, else every key of the failing kind.
    std::string culprits;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].key->isAudio() != audioFault) continue;
        if (recordProblem(applied(s, list, i), w, h).empty()) {
            culprits = list[i].key->name + "=" + list[i].value;
            break;
        }
    }
    if (culprits.empty()) {
        for (const Parsed& p : list) {
            if (p.key->isAudio() != audioFault) continue;
            if (!culprits.empty()) culprits += ", ";
            culprits += p.key->name + "=" + p.value;
        }
    }
    error = std::string("Invalid ") + (audioFault ? "audio" : "video") + " settings";
    if (!culprits.empty()) error += ": rejected value " + culprits;
    else error += " (the loaded settings themselves are rejected)";
    error += ". " + problem;
    return false;
}

bool applySettingOverrides(Engine& engine, const std::vector<std::string>& assignments,
                           std::string& error) {
    if (!applySettingOverrides(engine.record, assignments, engine.ev.horizontalSize,
                               engine.ev.verticalSize, error))
        return false;
    applySettings(engine);
    return true;
}

}  // namespace quillon
