// The profile reader and the settings-file pass over arbitrary text: parse,
// look keys up, read every settings key, derive and validate, and check that
// a set-and-reparse round trip keeps the value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "engine/presets.h"
#include "engine/settings_file.h"
#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ProfileFile file = ProfileFile::parse(text);
    (void)file.getString("Video", "horizontal_size", "x");
    (void)file.getInt("Audio", "bitrate", -1);
    (void)file.getInt64("Mux", "mux_rate", -1);
    (void)parseProfileInt(text);
    (void)parseProfileInt64(text);

    EncoderSettings s;
    applyPreset(s, size % 5, (size / 5) % 2, 1);
    readSettingsValues(file, s);
    (void)formatSettingsFile(s);

    // The full load through a file: derive and validate whatever came in.
    fuzz::SilentHost host;
    Engine engine(host);
    const std::string path = fuzz::scratchFile("settings.ini");
    fuzz::writeScratch(path, data, size);
    EncoderSettings loaded;
    applyPreset(loaded, 1, 0, 1);
    (void)loadSettingsFile(engine, path, loaded);

    // Setting a plain key and reading the text back finds the same value.
    file.set("Fuzz Section", "fuzz_key", "12345");
    ProfileFile again = ProfileFile::parse(file.text());
    if (again.getInt("Fuzz Section", "fuzz_key", 0) != 12345) std::abort();
    return 0;
}
