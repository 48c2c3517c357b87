#pragma once

#include <cstdint>
#include <string>

// An error code from the process-wide table, with an optional operating-system error number.
class VornError {
public:
    VornError(int32_t code, int32_t systemCode);
    virtual ~VornError() = default;
    VornError(const VornError&) = default;
    VornError& operator=(const VornError&) = default;

    // Appends the runtime's text for systemCode to out.
    virtual void describeSystemError(int32_t systemCode, std::string& out) const;

    // "Error <code> [<message>]." followed by the system part when there is a system text.
    std::string describe() const;

    int32_t code() const { return m_code; }
    int32_t systemCode() const { return m_systemCode; }
    const std::string& systemText() const { return m_systemText; }

protected:
    int32_t m_code;
    int32_t m_systemCode;
    std::string m_systemText;
};

// Takes its system code from errno at the moment of construction.
class VornSystemError : public VornError {
public:
    explicit VornSystemError(int32_t code);
};

// Looks a code up in the process-wide table; the two sentinel texts cover an unloaded table and a
// code without a row.
std::string vornErrorMessage(int32_t code);

// Builds and destroys the process-wide table (the library object does this at start and end).
void vornLoadErrorStrings();
void vornUnloadErrorStrings();
