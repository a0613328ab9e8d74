// The settings file: a profile file whose keys name the record's fields.
// The engine reads it over a preset; `quillon settings` prints a record in
// the same form, so a printed file loads back to the same record.
#pragma once

#include <string>

#include "engine/settings.h"

namespace quillon {

class Engine;
class ProfileFile;

// Reads every key of the file into the record (a missing key, section or
// file keeps the field's value), derives the dependent values and
// validates. Returns false after "Invalid video settings in file %s." or
// "Invalid audio settings in file %s.". The bare name goes through the
// platform's profile rules.
bool loadSettingsFile(Engine& engine, const std::string& fileName, EncoderSettings& s);

// Reading alone, without deriving or validating.
void readSettingsValues(const ProfileFile& file, EncoderSettings& s);

// The record as a settings file: every key, in its section and order.
std::string formatSettingsFile(const EncoderSettings& s);

// A bitrate as the file holds it: the value truncated to an integer.
long long bitrateAsInteger(double value);

}  // namespace quillon
