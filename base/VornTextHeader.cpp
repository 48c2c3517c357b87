#include "base/VornText.h"

bool vornFindHeaderField(const std::string& text, const std::string& name, size_t& valuePosition,
                         bool atStart) {
    const std::string upperText = vornToUpper(text);
    const std::string upperName = vornToUpper(name);
    if (atStart && !vornStartsWith(upperText, upperName)) {
        return false;
    }
    if (name.size() >= text.size()) {
        return false;
    }
    for (const char* suffix : {":", "=", " :", " ="}) {
        const size_t found = upperText.find(upperName + suffix);
        if (found != std::string::npos) {
            valuePosition = found + upperName.size() + std::char_traits<char>::length(suffix);
            return true;
        }
    }
    return false;
}

std::string vornHeaderValue(const std::string& text, size_t position, bool lineMode, bool toEnd) {
    if (position >= text.size()) {
        return std::string();
    }
    if (toEnd) {
        return text.substr(position);
    }
    std::string value;
    bool quoted = false;
    for (size_t i = position; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && (c == '\r' || c == '\n' || (!lineMode && (c == ';' || c == ',')))) {
            break;
        }
        value += c;
    }
    return vornTrim(value);
}
