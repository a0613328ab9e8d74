#include "platform/profile.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/regular_file.h"

namespace quillon {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A value wrapped in one pair of double quotes loses them, so that a value
// may keep leading or trailing blanks.
std::string unquote(const std::string& v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

std::string envDir(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}

}  // namespace

std::string userConfigDir() {
    std::string dir = envDir("QUILLON_CONFIG_DIR");
    if (!dir.empty()) return dir;
    dir = envDir("XDG_CONFIG_HOME");
    if (!dir.empty()) return dir + "/quillon";
    std::string home = envDir("HOME");
    if (home.empty()) home = ".";
    return home + "/.config/quillon";
}

std::string userProfilePath() { return userConfigDir() + "/profile.ini"; }

std::string resolveProfileName(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    return userConfigDir() + "/" + name;
}

int64_t parseProfileInt64(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int digit = text[i] - '0';
        if (value > (kMax - digit) / 10) {
            value = kMax;
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

int32_t parseProfileInt(const std::string& text) {
    int64_t v = parseProfileInt64(text);
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

ProfileFile ProfileFile::parse(const std::string& text) {
    ProfileFile p;
    p.loaded_ = true;
    std::string section;
    bool inSection = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        Line line;
        line.raw = raw;
        std::string t = trim(raw);
        if (!t.empty() && t.front() == '[') {
            size_t close = t.find(']');
            line.kind = Line::Section;
            line.section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            section = line.section;
            inSection = true;
        } else if (inSection && !t.empty() && t.front() != ';') {
            size_t eq = t.find('=');
            if (eq != std::string::npos) {
                line.kind = Line::Key;
                line.section = section;
                line.key = trim(t.substr(0, eq));
                line.value = unquote(trim(t.substr(eq + 1)));
            }
        }
        p.lines_.push_back(std::move(line));
    }
    return p;
}

ProfileFile ProfileFile::load(const std::string& path, std::string* refused) {
    if (refused) refused->clear();
    std::string text, why;
    switch (readRegularFile(path, kMaxSmallFileBytes, text, &why)) {
        case FileCheck::Ok:
            return parse(text);
        case FileCheck::Missing:
            return ProfileFile{};
        case FileCheck::Refused:
            if (refused) *refused = path + " " + why + ".";
            return ProfileFile{};
    }
    return ProfileFile{};
}

std::optional<std::string> ProfileFile::find(const std::string& section,
                                             const std::string& key) const {
    // Only the first section of a name counts.
    bool seen = false, inside = false;
    for (const Line& l : lines_) {
        if (l.kind == Line::Section) {
            if (inside) return std::nullopt;
            if (!seen && sameName(l.section, section)) seen = inside = true;
        } else if (inside && l.kind == Line::Key && sameName(l.key, key)) {
            return l.value;
        }
    }
    return std::nullopt;
}

std::string ProfileFile::getString(const std::string& section, const std::string& key,
                                   const std::string& fallback) const {
    std::string v = find(section, key).value_or(fallback);
    if (v.size() > kProfileTextMax) v.resize(kProfileTextMax);
    return v;
}

int32_t ProfileFile::getInt(const std::string& section, const std::string& key,
                            int32_t fallback) const {
    auto v = find(section, key);
    return v ? parseProfileInt(*v) : fallback;
}

int64_t ProfileFile::getInt64(const std::string& section, const std::string& key,
                              int64_t fallback) const {
    auto v = find(section, key);
    return v ? parseProfileInt64(*v) : fallback;
}

void ProfileFile::set(const std::string& section, const std::string& key,
                      const std::string& value) {
    std::string stored = value;
    if (!value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                           std::isspace(static_cast<unsigned char>(value.back())) ||
                           (value.front() == '"' && value.back() == '"')))
        stored = "\"" + value + "\"";
    Line fresh;
    fresh.kind = Line::Key;
    fresh.key = key;
    fresh.value = value;
    fresh.raw = key + "=" + stored;
    loaded_ = true;

    size_t sectionLine = lines_.size(), lastInSection = lines_.size();
    bool inside = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        Line& l = lines_[i];
        if (l.kind == Line::Section) {
            if (inside) break;
            if (sameName(l.section, section)) {
                inside = true;
                sectionLine = lastInSection = i;
            }
        } else if (inside) {
            if (l.kind == Line::Key && sameName(l.key, key)) {
                fresh.section = l.section;
                fresh.raw = l.key + "=" + stored;
                fresh.key = l.key;
                l = fresh;
                return;
            }
            if (!trim(l.raw).empty()) lastInSection = i;
        }
    }
    if (sectionLine == lines_.size()) {
        if (!lines_.empty() && !trim(lines_.back().raw).empty()) lines_.push_back(Line{});
        Line head;
        head.kind = Line::Section;
        head.section = section;
        head.raw = "[" + section + "]";
        lines_.push_back(head);
        fresh.section = section;
        lines_.push_back(fresh);
        return;
    }
    fresh.section = lines_[sectionLine].section;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastInSection + 1), fresh);
}

std::string ProfileFile::text() const {
    std::string out;
    for (const Line& l : lines_) {
        out += l.raw;
        out += '\n';
    }
    return out;
}

bool ProfileFile::save(const std::string& path) const {
    std::error_code ec;
    std::filesystem::path target(path);
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
    std::string temp = path + ".new" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text();
        out.flush();
        if (!out) {
            out.close();
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

int32_t getPrivateProfileInt(const std::string& section, const std::string& key, int32_t fallback,
                             const std::string& file) {
    return ProfileFile::load(resolveProfileName(file)).getInt(section, key, fallback);
}

std::string getPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& file) {
    return ProfileFile::load(resolveProfileName(file)).getString(section, key, fallback);
}

bool writePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file) {
    std::string path = resolveProfileName(file);
    ProfileFile p = ProfileFile::load(path);
    p.set(section, key, value);
    return p.save(path);
}

int32_t getProfileInt(const std::string& section, const std::string& key, int32_t fallback) {
    return ProfileFile::load(userProfilePath()).getInt(section, key, fallback);
}

std::string getProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback) {
    return ProfileFile::load(userProfilePath()).getString(section, key, fallback);
}

bool writeProfileString(const std::string& section, const std::string& key,
                        const std::string& value) {
    ProfileFile p = ProfileFile::load(userProfilePath());
    p.set(section, key, value);
    return p.save(userProfilePath());
}

}  // namespace quillon
