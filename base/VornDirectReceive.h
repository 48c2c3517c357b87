#pragma once

#include <cstddef>
#include <cstdint>

class VornFile;

// Moves bytes from a connected socket into a file without passing them through the program's memory. On
// Linux the bytes go through a pipe of the object's own with splice(); where the platform cannot do that,
// move() answers DIRECT_UNSUPPORTED before taking anything from the socket, and the caller reads as usual.
class VornDirectReceive {
public:
    enum Result {
        DIRECT_MOVED,        // moved bytes reached the file
        DIRECT_PENDING,      // nothing waiting on the socket
        DIRECT_CLOSED,       // the peer closed the connection
        DIRECT_SOCKET_ERROR, // receiving failed
        DIRECT_FILE_ERROR,   // writing failed (a full disk); moved bytes reached the file, the rest is lost
        DIRECT_UNSUPPORTED,  // nothing was taken; read the socket the ordinary way
    };

    VornDirectReceive() = default;
    ~VornDirectReceive();
    VornDirectReceive(const VornDirectReceive&) = delete;
    VornDirectReceive& operator=(const VornDirectReceive&) = delete;

    // Takes at most limit bytes from the socket and writes them at the file's position, which advances by
    // what was written; moved receives that count.
    Result move(int socket, VornFile& file, size_t limit, size_t& moved);
    // The same into a descriptor at the given offset; the descriptor's own position is neither used nor
    // changed, so several connections may write one file at their ranges' offsets.
    Result moveAt(int socket, int fd, int64_t offset, size_t limit, size_t& moved);
    // Bytes one move can take at most.
    size_t quantum() const { return m_capacity; }

private:
    bool openPipe();
    void closePipe();
    // Writes what the pipe holds at the file's position; false when the file refused some of it.
    bool emptyInto(int fd, int64_t offset, size_t pending, size_t& moved);

    int m_read = -1;
    int m_write = -1;
    size_t m_capacity = 1 << 20;
    bool m_unsupported = false;
};
