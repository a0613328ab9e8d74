#include "engine/settings_file.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "engine/derived_values.h"
#include "engine/engine.h"
#include "engine/format.h"
#include "engine/settings_keys.h"
#include "engine/validation.h"
#include "platform/profile.h"

namespace quillon {

long long bitrateAsInteger(double value) {
    if (!(value == value)) return 0;  // NaN
    if (value >= 9.2e18) return 9200000000000000000LL;
    if (value <= -9.2e18) return -9200000000000000000LL;
    return static_cast<long long>(value);
}

void readSettingsValues(const ProfileFile& file, EncoderSettings& s) {
    for (const SettingsKey& key : settingsKeys()) {
        switch (key.type) {
            case SettingsKey::Type::Integer: {
                int32_t* field = key.integerIn(s);
                *field = file.getInt(key.section, key.name, *field);
                break;
            }
            case SettingsKey::Type::Bitrate: {
                double& field = s.*key.bitrate;
                // Read as whole bits per second, wide enough for every
                // MPEG-2 rate the validation allows.
                field = static_cast<double>(file.getInt64(key.section, key.name,
                                                          bitrateAsInteger(field)));
                break;
            }
            case SettingsKey::Type::Text: {
                char* field = s.*key.text;
                std::string value = file.getString(key.section, key.name, field);
                std::strncpy(field, value.c_str(), kTextFieldSize - 1);
                field[kTextFieldSize - 1] = '\0';
                break;
            }
        }
    }
}

bool loadSettingsFile(Engine& engine, const std::string& fileName, EncoderSettings& s) {
    const std::string path = resolveProfileName(fileName);
    std::string unreadable;
    ProfileFile file = ProfileFile::load(path, &unreadable);
    if (!unreadable.empty()) {
        // Something that is there but is no settings file (a folder, a
        // device, a pipe, a huge file) is refused like a rejected one.
        engine.showMessage(formatText("Invalid video settings in file %s.", fileName.c_str()) + "\n" + unreadable,
                           MessageIcon::None);
        return false;
    }
    readSettingsValues(file, s);
    deriveLoadedValues(s);
    std::string key;
    const std::string limits = settingsLimitProblem(s, &key);
    const SettingsKey* limitKey = limits.empty() ? nullptr : findSettingsKey(key);
    if (!limits.empty() && !(limitKey && limitKey->isAudio())) {
        engine.showMessage(formatText("Invalid video settings in file %s.", fileName.c_str()) + "\n" + limits,
                           MessageIcon::None);
        return false;
    }
    if (std::string problem = videoSettingsProblem(s, engine.ev.horizontalSize, engine.ev.verticalSize);
        !problem.empty()) {
        engine.showMessage(formatText("Invalid video settings in file %s.", fileName.c_str()) + "\n" + problem,
                           MessageIcon::None);
        return false;
    }
    std::string audio = limits.empty() ? audioSettingsProblem(s) : limits;
    if (!audio.empty()) {
        engine.showMessage(formatText("Invalid audio settings in file %s.", fileName.c_str()) + "\n" + audio,
                           MessageIcon::None);
        return false;
    }
    return true;
}

std::string formatSettingsFile(const EncoderSettings& s) {
    std::string out;
    const char* section = nullptr;
    for (const SettingsKey& key : settingsKeys()) {
        if (!section || std::strcmp(section, key.section) != 0) {
            if (section) out += '\n';
            section = key.section;
            out += '[';
            out += section;
            out += "]\n";
        }
        out += key.name;
        out += '=';
        switch (key.type) {
            case SettingsKey::Type::Integer:
                out += std::to_string(key.integerOf(s));
                break;
            case SettingsKey::Type::Bitrate:
                out += std::to_string(bitrateAsInteger(s.*key.bitrate));
                break;
            case SettingsKey::Type::Text: {
                std::string value = s.*key.text;
                // Blanks at either end, or a quoted value, survive a reload
                // only inside quotes.
                bool quote = !value.empty() &&
                             (std::isspace(static_cast<unsigned char>(value.front())) ||
                              std::isspace(static_cast<unsigned char>(value.back())) ||
                              (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
                out += quote ? "\"" + value + "\"" : value;
                break;
            }
        }
        out += '\n';
    }
    return out;
}

}  // namespace quillon
