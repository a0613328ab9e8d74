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
    // The values the key accepts: minimum..maximum, and when `allowed` is
    // not empty only those of its values. Text keys have no range.
    int64_t minimum = 0;
    int64_t maximum = 0;
    std::vector<int32_t> allowed;

    int32_t* integerIn(EncoderSettings& s) const {
        return motionEntry >= 0 ? &s.motion[motionEntry][motionField] : &(s.*integer);
    }
    int32_t integerOf(const EncoderSettings& s) const {
        return motionEntry >= 0 ? s.motion[motionEntry][motionField] : s.*integer;
    }
    bool isAudio() const;
    bool accepts(int64_t value) const;
    // "0..1", "1, 4 or 5".
    std::string rangeText() const;
    // The key's value in the record as the settings file writes it.
    int64_t valueOf(const EncoderSettings& s) const;
};

// Every key, in the order a settings file is read and printed.
const std::vector<SettingsKey>& settingsKeys();
// Case-insensitive lookup by key name; null when there is no such key.
const SettingsKey* findSettingsKey(const std::string& name);

// The first key, in file order, whose value lies outside its range; null
// when every value is in range. *problem then reads like
// "sectorSize=0 is outside its range 512..4096".
const SettingsKey* keyOutOfRange(const EncoderSettings& s, std::string* problem);
std::string outOfRangeText(const SettingsKey& key, int64_t value);

}  // namespace quillon
