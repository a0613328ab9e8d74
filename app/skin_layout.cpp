#include "app/skin_layout.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace quillon::app {

const std::vector<std::string>& layoutNames() {
    static const std::vector<std::string> names = {
        "MainSize",       "VCDRadio",        "DVDRadio",         "SVCDRadio",
        "MPEG1Radio",     "MPEG2Radio",      "InputFileNameField", "OutputFileNameField",
        "MpegWidthField", "MpegHeightField", "NTSCRadio",        "PALRadio",
        "FillInRadio",    "PROPORTIONALRadio", "ShutdownCheck",  "InvertCheck",
        "SplitCheck",     "MAXLENField",     "convert",          "checklog",
        "help",           "about",           "exit",             "inputplay",
        "outputplay",     "openfile",        "removefile",       "upfile",
        "downfile",       "rename",          "joiner",           "batch",
        "home",           "InputPreviewBox", "OutputPreviewBox", "JoinerBatchTab",
    };
    return names;
}

bool SkinLayout::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text_ = all.str();
    return true;
}

static bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::optional<SkinRect> SkinLayout::find(const std::string& name) const {
    if (name.empty()) return std::nullopt;
    size_t at = 0;
    while ((at = text_.find(name, at)) != std::string::npos) {
        size_t end = at + name.size();
        bool whole = (at == 0 || !isNameChar(text_[at - 1])) &&
                     (end >= text_.size() || !isNameChar(text_[end]));
        if (!whole) {
            at = end;
            continue;
        }
        size_t from = end + 1;  // the name and the one separator after it
        if (from >= text_.size()) return std::nullopt;
        size_t stop = text_.find(';', from);
        std::string field = text_.substr(from, stop == std::string::npos ? std::string::npos
                                                                         : stop - from);
        SkinRect r;
        if (std::sscanf(field.c_str(), "%d,%d,%d,%d", &r.left, &r.top, &r.right, &r.bottom) != 4)
            return std::nullopt;
        return r;
    }
    return std::nullopt;
}

}  // namespace quillon::app
