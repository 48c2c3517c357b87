#pragma once

#include "base/VornException.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// Runs an operation that must throw and gives back the exception.
template <typename Operation> VornException thrown(Operation operation) {
    try {
        operation();
    } catch (VornException& e) {
        return e;
    }
    ADD_FAILURE() << "no VornException";
    return VornException(VornError(-1, 0), nullptr, 0, "");
}

// A test path (ASCII) as the wide text the file functions take.
inline std::wstring widePath(const std::filesystem::path& path) {
    std::string text = path.string();
    return std::wstring(text.begin(), text.end());
}
