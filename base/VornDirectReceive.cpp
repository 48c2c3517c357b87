#include "base/VornDirectReceive.h"

#include "base/VornException.h"
#include "base/VornFile.h"

#include <cerrno>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

VornDirectReceive::~VornDirectReceive() {
    closePipe();
}

#ifdef __linux__

namespace {

// A larger pipe takes more per call; the system may refuse the size, and the default then serves.
constexpr int kWantedPipeSize = 1 << 20;

bool unsupportedError(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

bool VornDirectReceive::openPipe() {
    if (m_read >= 0)
        return true;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_read = ends[0];
    m_write = ends[1];
    ::fcntl(m_write, F_SETPIPE_SZ, kWantedPipeSize);
    int size = ::fcntl(m_write, F_GETPIPE_SZ);
    m_capacity = size > 0 ? static_cast<size_t>(size) : 65536;
    return true;
}

void VornDirectReceive::closePipe() {
    if (m_read >= 0)
        ::close(m_read);
    if (m_write >= 0)
        ::close(m_write);
    m_read = m_write = -1;
}

VornDirectReceive::Result VornDirectReceive::move(int socket, VornFile& file, size_t limit, size_t& moved) {
    moved = 0;
    if (!file.isOpen())
        return DIRECT_UNSUPPORTED;
    Result result = moveAt(socket, file.handle(), static_cast<int64_t>(file.position()), limit, moved);
    if (moved > 0) {
        try {
            file.seek(static_cast<int64_t>(moved), 1);
        } catch (const VornException&) {
            return DIRECT_FILE_ERROR;
        }
    }
    return result;
}

VornDirectReceive::Result VornDirectReceive::moveAt(int socket, int fd, int64_t offset, size_t limit,
                                                    size_t& moved) {
    moved = 0;
    if (m_unsupported || limit == 0 || fd < 0 || offset < 0 || !openPipe())
        return DIRECT_UNSUPPORTED;
    if (limit > m_capacity)
        limit = m_capacity;
    ssize_t taken;
    do {
        taken = ::splice(socket, nullptr, m_write, nullptr, limit, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (taken < 0 && errno == EINTR);
    if (taken == 0)
        return DIRECT_CLOSED;
    if (taken < 0) {
        if (errno == EAGAIN)
            return DIRECT_PENDING;
        if (unsupportedError(errno)) {
            m_unsupported = true;
            return DIRECT_UNSUPPORTED;
        }
        return DIRECT_SOCKET_ERROR;
    }
    return emptyInto(fd, offset, static_cast<size_t>(taken), moved) ? DIRECT_MOVED : DIRECT_FILE_ERROR;
}

bool VornDirectReceive::emptyInto(int fd, int64_t offset, size_t pending, size_t& moved) {
    while (pending > 0) {
        loff_t at = static_cast<loff_t>(offset) + static_cast<loff_t>(moved);
        ssize_t put = ::splice(m_read, nullptr, fd, &at, pending, SPLICE_F_MOVE);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && unsupportedError(errno)) {
            // This file system takes no spliced writes: the bytes already taken go the ordinary way.
            m_unsupported = true;
            std::vector<char> buffer(pending);
            ssize_t got = ::read(m_read, buffer.data(), pending);
            if (got != static_cast<ssize_t>(pending)) {
                closePipe();
                return false;
            }
            size_t done = 0;
            while (done < pending) {
                ssize_t n = ::pwrite(fd, buffer.data() + done, pending - done,
                                     static_cast<off_t>(offset) + static_cast<off_t>(moved + done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    moved += done;
                    closePipe();
                    return false;
                }
                done += static_cast<size_t>(n);
            }
            moved += pending;
            return true;
        }
        if (put <= 0) {
            // What stays in the pipe belongs to no file now: a fresh pipe for the next move.
            closePipe();
            return false;
        }
        moved += static_cast<size_t>(put);
        pending -= static_cast<size_t>(put);
    }
    return true;
}

#else

bool VornDirectReceive::openPipe() {
    return false;
}

void VornDirectReceive::closePipe() {}

VornDirectReceive::Result VornDirectReceive::move(int, VornFile&, size_t, size_t& moved) {
    moved = 0;
    return DIRECT_UNSUPPORTED;
}

VornDirectReceive::Result VornDirectReceive::moveAt(int, int, int64_t, size_t, size_t& moved) {
    moved = 0;
    return DIRECT_UNSUPPORTED;
}

bool VornDirectReceive::emptyInto(int, int64_t, size_t, size_t&) {
    return false;
}

#endif
