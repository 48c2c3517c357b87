#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Owns a POSIX descriptor for the segment table and the merge, which need fsync, rename and positioned
// writes. Closing is checked where it commits data: it reports late write errors (NFS, quota).
class VornFd {
public:
    explicit VornFd(int fd) : m_fd(fd) {}
    ~VornFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    VornFd(const VornFd&) = delete;
    VornFd& operator=(const VornFd&) = delete;
    int get() const { return m_fd; }
    bool ok() const { return m_fd >= 0; }
    bool close() {
        int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// Writes all of data, at the descriptor's position (offset < 0) or at offset; false on any failure.
inline bool vornWriteFully(int fd, const void* data, size_t size, off_t offset = -1) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = offset < 0 ? ::write(fd, bytes, size) : ::pwrite(fd, bytes, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        if (offset >= 0)
            offset += n;
    }
    return true;
}
