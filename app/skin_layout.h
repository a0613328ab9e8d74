// The window's layout file: one "name=left,top,right,bottom;" rectangle per
// control, looked up by name in the whole text.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::app {

struct SkinRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

inline constexpr const char* kLayoutFileName = "position_pro.txt";

// Every name the window looks up, in the order it places its controls.
const std::vector<std::string>& layoutNames();

class SkinLayout {
public:
    // Reads the whole file; false when it cannot be opened.
    bool load(const std::string& path);
    void setText(std::string text) { text_ = std::move(text); }
    const std::string& text() const { return text_; }

    // The rectangle stored after the name: the name is skipped together
    // with the one character after it and "%d,%d,%d,%d" is read up to ";".
    // Only whole names match, so "VCDRadio" is never read out of
    // "SVCDRadio". Empty when the name is absent or has no rectangle.
    std::optional<SkinRect> find(const std::string& name) const;

private:
    std::string text_;
};

}  // namespace quillon::app
