#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

LoopbackListener::LoopbackListener() {
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (m_handle < 0 || ::bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_handle, 128) != 0 ||
        ::getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("loopback listener failed");
    m_port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (m_handle >= 0)
        ::close(m_handle);
}

sockaddr_in LoopbackListener::address() const {
    return loopback(m_port);
}

int LoopbackListener::accept(std::chrono::milliseconds timeout) {
    if (!(waitForEvents(m_handle, POLLIN, timeout) & POLLIN))
        return -1;
    return ::accept4(m_handle, nullptr, nullptr, SOCK_CLOEXEC);
}

RefusingPort::RefusingPort() {
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_address = loopback(0);
    socklen_t length = sizeof m_address;
    if (m_handle < 0 || ::bind(m_handle, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address) != 0 ||
        ::getsockname(m_handle, reinterpret_cast<sockaddr*>(&m_address), &length) != 0)
        throw std::runtime_error("refusing port failed");
}

RefusingPort::~RefusingPort() {
    if (m_handle >= 0)
        ::close(m_handle);
}

short waitForEvents(int handle, short events, std::chrono::milliseconds timeout) {
    pollfd entry{handle, events, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
        return 0;
    return entry.revents;
}

LoopbackPair makeLoopbackPair(LoopbackListener& listener) {
    LoopbackPair pair;
    pair.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = listener.address();
    if (pair.client < 0 || ::connect(pair.client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("loopback connect failed");
    pair.server = listener.accept();
    if (pair.server < 0)
        throw std::runtime_error("loopback accept failed");
    return pair;
}
