// Profile files: the INI-style files of sections and key=value lines that
// hold the user's preferences and the engine's settings file. The readers
// follow the classic profile rules the engine was written against: section
// and key names compare case-insensitively, values are trimmed, integers are
// their leading signed decimal digits, and a missing file, section or key
// yields the caller's default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// Longest text a profile read returns; longer values are cut.
constexpr size_t kProfileTextMax = 259;

// The per-user configuration directory: $QUILLON_CONFIG_DIR, else
// $XDG_CONFIG_HOME/quillon, else ~/.config/quillon.
std::string userConfigDir();
// The user profile file (profile.ini in the configuration directory).
std::string userProfilePath();
// A bare file name ("default.ini") lives in the configuration directory; a
// name with a directory part is used as given.
std::string resolveProfileName(const std::string& name);

// Leading signed decimal digits of already trimmed text; 0 when there are
// none. Values beyond the range of the result saturate.
int32_t parseProfileInt(const std::string& text);
int64_t parseProfileInt64(const std::string& text);

// One parsed profile file. Lookups take the first matching section and the
// first matching key in it, as the classic readers do.
class ProfileFile {
public:
    // A missing file gives an empty profile (loaded() false). So does
    // anything that is there but cannot be a profile file (a folder, a
    // device, a pipe, a file over a megabyte, one that cannot be read); the
    // reason then goes to *refused, which stays empty otherwise.
    static ProfileFile load(const std::string& path, std::string* refused = nullptr);
    static ProfileFile parse(const std::string& text);

    bool loaded() const { return loaded_; }
    std::optional<std::string> find(const std::string& section, const std::string& key) const;
    std::string getString(const std::string& section, const std::string& key,
                          const std::string& fallback) const;
    int32_t getInt(const std::string& section, const std::string& key, int32_t fallback) const;
    int64_t getInt64(const std::string& section, const std::string& key, int64_t fallback) const;

    // Sets (adds) one key, keeping every other line as it was.
    void set(const std::string& section, const std::string& key, const std::string& value);
    std::string text() const;
    // Writes the whole file through a temporary name and a rename, creating
    // the directory when needed.
    bool save(const std::string& path) const;

private:
    struct Line {
        std::string raw;
        std::string section;  // for section lines: the name; else the owner
        std::string key;      // for key lines
        std::string value;
        enum Kind { Other, Section, Key } kind = Other;
    };
    std::vector<Line> lines_;
    bool loaded_ = false;
};

// The classic calls. `file` goes through resolveProfileName.
int32_t getPrivateProfileInt(const std::string& section, const std::string& key, int32_t fallback,
                             const std::string& file);
std::string getPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& file);
bool writePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

// The same on the user profile.
int32_t getProfileInt(const std::string& section, const std::string& key, int32_t fallback);
std::string getProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback);
bool writeProfileString(const std::string& section, const std::string& key,
                        const std::string& value);

}  // namespace quillon
