// Single settings changed by key name, as the command line's
// `--set KEY=VALUE` does, checked the way a settings file is.
#pragma once

#include <string>
#include <vector>

#include "engine/settings.h"

namespace quillon {

class Engine;

// Sets one key from its text. Integers must be whole decimal numbers in
// range, bitrates whole non-negative bits per second, texts at most 259
// printable characters. On failure returns false with a message naming the
// key and leaves the record alone.
bool setSettingByName(EncoderSettings& s, const std::string& key, const std::string& value,
                      std::string& error);

// Applies "KEY=VALUE" assignments in order, derives the dependent values as
// a load does and validates the result against the given picture size.
// Changing M or a pel movement re-derives the motion table (when
// autoVectorLengths is set and no motion key is given). On failure the
// record is unchanged and error names the offending key.
bool applySettingOverrides(EncoderSettings& s, const std::vector<std::string>& assignments,
                           int horizontalSize, int verticalSize, std::string& error);
// The same on an engine's record, which is then copied to the working
// copies.
bool applySettingOverrides(Engine& engine, const std::vector<std::string>& assignments,
                           std::string& error);

}  // namespace quillon
