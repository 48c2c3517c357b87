#include "base/VornFile.h"

#include <unistd.h>
#include <utility>

VornFile::VornFile(std::wstring path) : m_path(std::move(path)) {}

// The handle is closed here, not through the virtual close: a derived part is already gone.
VornFile::~VornFile() {
    VornFile::close();
}

void VornFile::close() {
    if (m_handle == kInvalidHandle)
        return;
    ::close(m_handle);
    m_handle = kInvalidHandle;
}
