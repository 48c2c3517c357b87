#include "base/VornText.h"

#include <random>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isBlankWide(wchar_t c) {
    return c == L' ' || c == L'\t';
}

template <typename S> S replaceAllIn(const S& text, const S& from, const S& to) {
    if (from.empty() || text.empty()) {
        return text;
    }
    S out;
    size_t start = 0;
    for (size_t found = text.find(from); found != S::npos; found = text.find(from, start)) {
        out.append(text, start, found - start);
        out += to;
        start = found + from.size();
    }
    out.append(text, start, S::npos);
    return out;
}

} // namespace

std::string vornToUpper(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string vornToLower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::wstring vornToLowerWide(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return out;
}

std::string vornTrimLeft(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && isBlank(text[start])) {
        ++start;
    }
    return text.substr(start);
}

std::string vornTrimRight(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(0, end);
}

std::string vornTrim(const std::string& text) {
    return vornTrimLeft(vornTrimRight(text));
}

std::wstring vornTrimWide(const std::wstring& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && isBlankWide(text[start])) {
        ++start;
    }
    while (end > start && isBlankWide(text[end - 1])) {
        --end;
    }
    return text.substr(start, end - start);
}

bool vornStartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() >= prefix.size();
}

bool vornContains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string vornReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
    return replaceAllIn(text, from, to);
}

std::wstring vornReplaceAllWide(const std::wstring& text, const std::wstring& from, const std::wstring& to) {
    return replaceAllIn(text, from, to);
}

std::string vornSplitFirst(std::string& text, const std::string& separator) {
    if (text.empty() || separator.empty()) {
        return text;
    }
    const size_t found = text.find(separator);
    if (found == std::string::npos) {
        return text;
    }
    const std::string head = vornTrim(text.substr(0, found));
    text = vornTrim(text.substr(found + separator.size()));
    return head;
}

std::string vornRemoveAt(const std::string& text) {
    return vornReplaceAll(text, "@", "");
}

std::string vornQuote(const std::string& text) {
    return "\"" + text + "\"";
}

std::string vornNameValue(const std::string& name, const std::string& value, bool quoted) {
    return name + "=" + (quoted ? vornQuote(value) : value);
}

std::string vornRandomBytes() {
    // These bytes become protocol nonces, so they come from a real random source rather than rand().
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> byte(1, 254);
    std::string out(8, '\0');
    for (char& c : out) {
        c = static_cast<char>(byte(generator));
    }
    return out;
}
