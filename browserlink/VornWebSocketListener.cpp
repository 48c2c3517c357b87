#include "browserlink/VornWebSocketListener.h"

#include "base/VornException.h"
#include "browserlink/VornWebSocketServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

VornWebSocketListener::VornWebSocketListener(VornWebSocketServer& server, uint16_t port)
    : m_server(server), m_port(port) {}

bool VornWebSocketListener::open() {
    try {
        createSocket(AF_INET, SOCK_STREAM, 0);
    } catch (const VornException&) {
        return false;
    }
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setLocalAddress(address);
    if (setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_socket, BACKLOG) != 0) {
        close();
        return false;
    }
    m_state = VORN_SOCKET_LISTENING;
    return true;
}

void VornWebSocketListener::onReadable() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int handle = ::accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (handle < 0)
        return;
    if (length != sizeof peer || peer.sin_family != AF_INET || vornAddressText(peer) != "127.0.0.1") {
        ::close(handle);
        return;
    }
    m_server.addConnection(handle, peer);
}

uint16_t VornWebSocketListener::boundPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (!hasSocket() || getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}
