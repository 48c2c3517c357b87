#include "engine/VornKqSocket.h"

#include "base/VornClock.h"

#include <cerrno>
#include <sys/socket.h>
#include <vector>

void VornKqSocket::OnWritable() {
    m_lastActivity = vornNowMs();
    m_state = VORN_SOCKET_CONNECTED;
}

bool VornKqSocket::drain() {
    std::vector<char> scratch(32768);
    ssize_t got;
    do {
        // Never waits, even on a socket that was put in blocking mode.
        got = ::recv(m_socket, scratch.data(), scratch.size(), MSG_DONTWAIT);
        m_lastActivity = vornNowMs();
    } while (got > 0);
    return got < 0 && vornIsInProgressError(errno);
}
