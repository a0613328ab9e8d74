// The settings-file vocabulary: every key with its section and the record
// field it names, in file order. Reading, printing and command-line
// overrides all walk this one table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/settings.h"

namespace quillon {

struct SettingsKey {
    enum class Type { Integer, Text, Bitrate };
    const char* section;
    std::string name;
    Type type;
    int32_t EncoderSettings::*integer = nullptr;
    char (EncoderSettings::*text)[kTextFieldSize] = nullptr;
    double EncoderSettings::*bitrate = nullptr;
    int motionEntry = -1;  // for the motion table keys: entry and field
    int motionField = -1;

    int32_t* integerIn(EncoderSettings& s) const {
        return motionEntry >= 0 ? &s.motion[motionEntry][motionField] : &(s.*integer);
    }
    int32_t integerOf(const EncoderSettings& s) const {
        return motionEntry >= 0 ? s.motion[motionEntry][motionField] : s.*integer;
    }
    bool isAudio() const;
};

// Every key, in the order a settings file is read and printed.
const std::vector<SettingsKey>& settingsKeys();
// Case-insensitive lookup by key name; null when there is no such key.
const SettingsKey* findSettingsKey(const std::string& name);

}  // namespace quillon
