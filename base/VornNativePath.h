#pragma once

#include <optional>
#include <string>

// The UTF-8 form of a wide path for the system calls, independent of the process locale. Empty when the
// path cannot name a file: it holds a NUL (the system would cut it there) or a value that is no code point.
std::optional<std::string> vornNativePath(const std::wstring& path);
