#include "base/VornNativePath.h"

#include "base/VornText.h"

std::optional<std::string> vornNativePath(const std::wstring& path) {
    return vornWideToUtf8Exact(path);
}
