#include "base/VornFileName.h"

#include "base/VornFileWindows.h"
#include "base/VornText.h"

namespace {

template <typename S> S validName(const S& name, bool replaceDots) {
    using C = typename S::value_type;
    static const char kReplaced[] = "\\/:*%<>?|@";
    S out;
    out.reserve(name.size());
    for (C c : name) {
        const auto code = static_cast<uint32_t>(static_cast<std::make_unsigned_t<C>>(c));
        if (c == C('"')) {
            continue;
        }
        const bool listed =
            code < 128 && code != 0 && std::char_traits<char>::find(kReplaced, 10, char(code));
        out += (code < 32 || listed || (replaceDots && c == C('.'))) ? C('_') : c;
    }
    if (!out.empty() && out[0] == C('.')) {
        out[0] = C('_');
    }
    return out;
}

template <typename C> bool countsInExtension(C c) {
    return (c >= C('a') && c <= C('z')) || (c >= C('A') && c <= C('Z')) || (c >= C('0') && c <= C('9')) ||
           c == C(' ') || c == C('_') || c == C('-');
}

template <typename S> S trimBlanks(const S& text) {
    using C = typename S::value_type;
    size_t start = 0;
    size_t end = text.size();
    while (start < end && (text[start] == C(' ') || text[start] == C('\t'))) {
        ++start;
    }
    while (end > start && (text[end - 1] == C(' ') || text[end - 1] == C('\t'))) {
        --end;
    }
    return text.substr(start, end - start);
}

template <typename S> S extensionOf(const S& name) {
    const size_t dot = name.rfind(typename S::value_type('.'));
    if (dot == S::npos) {
        return S();
    }
    const S extension = name.substr(dot + 1);
    for (auto c : extension) {
        if (!countsInExtension(c)) {
            return S();
        }
    }
    return trimBlanks(extension);
}

template <typename S> S baseNameOf(const S& name) {
    const size_t dot = name.rfind(typename S::value_type('.'));
    return dot == S::npos ? name : trimBlanks(name.substr(0, dot));
}

} // namespace

std::wstring vornValidFileName(const std::wstring& name, bool replaceDots) {
    return validName(name, replaceDots);
}
std::string vornValidFileName(const std::string& name, bool replaceDots) {
    return validName(name, replaceDots);
}

std::wstring vornFileExtension(const std::wstring& name) {
    return extensionOf(name);
}
std::string vornFileExtension(const std::string& name) {
    return extensionOf(name);
}

std::wstring vornFileBaseName(const std::wstring& name) {
    return baseNameOf(name);
}
std::string vornFileBaseName(const std::string& name) {
    return baseNameOf(name);
}

std::wstring vornUniqueFileName(const std::wstring& name, const std::wstring& folder) {
    const std::wstring base = vornFileBaseName(name);
    const std::wstring extension = vornFileExtension(name);
    std::wstring prefix = folder;
    if (!prefix.empty() && prefix.back() != L'/') {
        prefix += L'/';
    }
    for (unsigned long long n = 1;; ++n) {
        std::wstring candidate = base + L"(" + std::to_wstring(n) + L")";
        if (!extension.empty()) {
            candidate += L"." + extension;
        }
        if (!vornFileExists(prefix + candidate)) {
            return candidate;
        }
    }
}
