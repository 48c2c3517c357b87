#include "base/VornError.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace {

struct ErrorRow {
    int32_t code;
    const char* message;
};

// Codes 10, 54 and 103 have no row; 3 and 34 share one message.
const ErrorRow kErrorRows[] = {
    {0, "No error."},
    {1, "System error."},
    {2, "Invalid argumnet."},
    {3, "The object already exist."},
    {4, "The object is not initialized."},
    {5, "The object is already initialized."},
    {6, "Invalid reply."},
    {7, "Not found."},
    {8, "Access denied."},
    {9, "Closed."},
    {11, "Uvornpected End of Line."},
    {12, "Buffer overrun/overflow."},
    {13, "End of File."},
    {14, "Parse error."},
    {15, "Invalid header."},
    {16, "Date span exceeded."},
    {17, "Invalid email."},
    {18, "Invalid date."},
    {19, "No message body."},
    {20, "Invalid case value."},
    {21, "Timeout."},
    {22, "Shutting down."},
    {23, "Not implemented."},
    {24, "Unexpected reply-code."},
    {25, "Missing a required file."},
    {26, "Lexical error."},
    {27, "DNS lookup failed."},
    {28, "System call failed."},
    {29, "Command failed."},
    {30, "Out of memory."},
    {31, "The name already exist."},
    {32, "The name dont exist."},
    {33, "No such object."},
    {34, "The object already exist."},
    {35, "Timed out."},
    {36, "Bad system status."},
    {37, "Feature not supported."},
    {38, "Object too long."},
    {39, "Could not open file."},
    {40, "Invalid path."},
    {41, "Invalid URL."},
    {42, "Not an URL."},
    {43, "Not open."},
    {44, "Already open."},
    {45, "Not open for read."},
    {46, "Not open for write."},
    {47, "Out of range."},
    {48, "Security violation."},
    {49, "Shutdown."},
    {50, "Disabled."},
    {51, "the IP is denied."},
    {52, "Failed to lock object."},
    {53, "Invalid protocol."},
    {55, "VornERR_VERSION"},
    {56, "VornERR_USAGE"},
    {57, "The password is too weak."},
    {58, "Unknown error."},
    {59, "Unknown exception."},
    {60, "Windows COM Error."},
    {61, "Incompatible values."},
    {62, "Incompatible types."},
    {63, "Object is not locked."},
    {64, "Missing object creator."},
    {65, "NULL function pointer."},
    {66, "Out og synchronization."},
    {67, "Bad cast (incompatible types)."},
    {68, "The object have no value (NULL?)."},
    {69, "The value was too large."},
    {100, "Failed to create thread."},
    {101, "Failed to initialize thread."},
    {102, "Failed to initialize Thread Local Storage."},
    {104, "Mutex lock failed."},
    {105, "Mutex unlock failed."},
    {106, "Failed to initaialize event."},
    {107, "Failed to wait for an event."},
    {108, "Failed to signal an ecent."},
    {109, "No Thread Local Storage."},
    {110, "The current thread must be aborted."},
    {300, "The chacacter sequence was not UTF8."},
    {301, "Character conversion failed."},
    {400, "Invalid host-address."},
    {401, "Invalid port or service-name."},
    {402, "Unsupported protocol-family."},
    {403, "No available ports in the specified range."},
    {404, "The network-connection was shut down \"hard\"."},
    {500, "An SSL function failed."},
    {600, "No current database-row."},
    {601, "The database-query failed."},
    {602, "No current insert-id in the database-table."},
    {603, "Data truncated/buffer too small."},
    {630, "SQLite error"},
    {631, "MySQL error"},
    {700, "The path is a directory"},
    {701, "End of file"},
    {702, "Failed to write to file"},
    {703, "Failed to read from file"},
    {704, "Not a device"},
    {705, "Callback failed"},
    {706, "Not opened with callback"},
    {707, "No such path"},
    {708, "File not open for read"},
    {709, "Not a directory"},
    {710, "Not a file"},
    {711, "Recursive listings is forbidden"},
    {712, "Not the same path"},
    {713, "Seek failed"},
    {801, "Failed to parse Webm file"},
    {802, "Failed to write MKV output file"},
    {900, "Regex failed with an exception."},
    {0, nullptr},
};

// Written only by the library object on the main thread, before workers start and after they end.
std::unique_ptr<std::map<int32_t, std::string>> g_errorStrings;

std::string systemErrorText(int32_t systemCode) {
    char buffer[8192];
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(systemCode, buffer, sizeof buffer);
    return std::string(text ? text : "").substr(0, 8191);
}

} // namespace

VornError::VornError(int32_t code, int32_t systemCode) : m_code(code), m_systemCode(systemCode) {
    describeSystemError(systemCode, m_systemText);
}

void VornError::describeSystemError(int32_t systemCode, std::string& out) const {
    out += systemErrorText(systemCode);
}

std::string VornError::describe() const {
    std::ostringstream text;
    text << "Error " << m_code << " [" << vornErrorMessage(m_code) << "].";
    if (!m_systemText.empty())
        text << " System error " << m_systemCode << " [" << m_systemText << "].";
    return text.str();
}

VornSystemError::VornSystemError(int32_t code) : VornError(code, errno) {}

std::string vornErrorMessage(int32_t code) {
    if (!g_errorStrings || g_errorStrings->empty())
        return "*** The Error Strings are not loaded ***";
    auto row = g_errorStrings->find(code);
    if (row == g_errorStrings->end())
        return "*** Missing error description ***";
    return row->second;
}

void vornLoadErrorStrings() {
    if (!g_errorStrings)
        g_errorStrings = std::make_unique<std::map<int32_t, std::string>>();
    g_errorStrings->clear();
    for (const ErrorRow* row = kErrorRows; row->message; ++row)
        g_errorStrings->emplace(row->code, row->message); // an existing key keeps its first message
}

void vornUnloadErrorStrings() { g_errorStrings.reset(); }
