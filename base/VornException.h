#pragma once

#include "base/VornError.h"

#include <cstdint>
#include <exception>
#include <string>

// The one exception type of the foundation and the media muxer.
class VornException : public std::exception {
public:
    // A null context is stored as an empty string.
    VornException(const VornError& error, const char* context, int32_t line, const char* sourceFile);
    VornException(const VornException&) = default;
    VornException& operator=(const VornException&) = default;
    ~VornException() override = default;

    const char* what() const noexcept override { return m_what.c_str(); }
    virtual const std::string& context() const { return m_context; }
    virtual const char* sourceFile() const { return m_sourceFile.c_str(); }

    const VornError& error() const { return m_error; }
    int32_t code() const { return m_error.code(); }
    int32_t systemCode() const { return m_error.systemCode(); }
    int32_t line() const { return m_line; }

private:
    VornError m_error;
    std::string m_sourceFile;
    std::string m_context;
    int32_t m_line;
    std::string m_what;
};

// Throw sites name their own file and line.
#define VORN_THROW(code, systemCode, context)                                                             \
    throw VornException(VornError((code), (systemCode)), (context), __LINE__, __FILE__)
#define VORN_THROW_SYSTEM(code, context) throw VornException(VornSystemError(code), (context), __LINE__, __FILE__)
