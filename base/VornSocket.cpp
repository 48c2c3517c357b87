#include "base/VornSocket.h"

#include "base/VornClock.h"
#include "base/VornException.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void closeHandle(int handle) {
    int saved = errno;
    ::close(handle);
    errno = saved;
}

} // namespace

VornSocket::VornSocket() = default;

VornSocket::~VornSocket() {
    VornSocket::close();
}

void VornSocket::close() {
    if (m_socket != kInvalidSocket) {
        int handle = m_socket;
        m_socket = kInvalidSocket;
        closeHandle(handle);
    }
    m_state = VORN_SOCKET_CLOSED;
    m_lastActivity = 0;
}

void VornSocket::createSocket(int family, int type, int protocol) {
    int handle = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (handle < 0)
        VORN_THROW_SYSTEM(1, "socket()");
    m_socket = handle;
    set_async_mode(m_nonBlocking);
}

int VornSocket::set_async_mode(bool nonBlocking) {
    if (m_socket == kInvalidSocket)
        VORN_THROW(9, 0, "Can't call set_async_mode() on a Closed Socket.");
    int flags = ::fcntl(m_socket, F_GETFL);
    if (flags < 0)
        VORN_THROW_SYSTEM(1, "set_async_mode()");
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(m_socket, F_SETFL, flags) < 0)
        VORN_THROW_SYSTEM(1, "set_async_mode()");
    m_nonBlocking = nonBlocking;
    return 0;
}

bool VornSocket::connect(int type, const sockaddr_in& peer) {
    close();
    // An address that never resolved is a failed connect, not a failure to make a socket.
    if (peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return false;
    }
    createSocket(peer.sin_family, type, 0);
    int result;
    result = ::connect(m_socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (result != 0 && !vornIsInProgressError(errno)) {
        // A socket whose connect failed is of no use: leave the object closed.
        int handle = m_socket;
        m_socket = kInvalidSocket;
        closeHandle(handle);
        return false;
    }
    m_state = result == 0 ? VORN_SOCKET_CONNECTED : VORN_SOCKET_CONNECTING;
    m_lastActivity = vornNowMs();
    m_peerAddress = peer;
    return true;
}

ssize_t VornSocket::send(const void* data, size_t length, int& error) {
    errno = 0;
    ssize_t sent = ::send(m_socket, data, length, MSG_NOSIGNAL);
    error = errno;
    m_lastActivity = vornNowMs();
    return sent;
}

bool VornSocket::isIdle() const {
    return isIdleAt(vornNowMs());
}

bool VornSocket::isIdleAt(uint64_t nowMs) const {
    return m_lastActivity != 0 && nowMs > m_lastActivity && nowMs - m_lastActivity > VORN_SOCKET_IDLE_MS;
}

void VornSocket::attach(int handle, const sockaddr_in& peer) {
    close();
    m_socket = handle;
    m_peerAddress = peer;
    if (handle != kInvalidSocket)
        set_async_mode(m_nonBlocking);
}

bool vornIsInProgressError(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS ||
           error == EALREADY;
}

namespace {

// The value of the leading digits; a value no port can have gives 0.
uint16_t portValue(const std::string& text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535)
            return 0;
    }
    return static_cast<uint16_t>(value);
}

void resolveHost(const std::string& host, sockaddr_in& address) {
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) {
        address.sin_family = AF_INET;
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || !results)
        return;
    if (results->ai_addr && results->ai_addrlen == sizeof address)
        std::memcpy(&address, results->ai_addr, sizeof address);
    freeaddrinfo(results);
}

} // namespace

sockaddr_in vornResolveAddress(const std::string& text) {
    sockaddr_in address{};
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    uint16_t port = colon == std::string::npos ? 0 : portValue(text.substr(colon + 1));
    if (host == "*")
        host = "0.0.0.0";
    if (host.find('\0') == std::string::npos)
        resolveHost(host, address);
    address.sin_port = htons(port);
    return address;
}

std::string vornAddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return {};
    return text;
}

namespace {

// Reads up to four numbers in the way of the pattern "%hd.%hd.%hd.%hd"; unread numbers stay -1.
void readFourNumbers(const std::string& text, long long numbers[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.')
                return;
            ++at;
        }
        size_t start = at;
        long long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            value = value * 10 + (text[at++] - '0');
        if (at == start)
            return;
        numbers[i] = value;
    }
}

} // namespace

bool vornIsDottedIPv4(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return false;
    std::string trimmed = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (trimmed.size() < 7 || trimmed.size() > 15)
        return false;
    if (trimmed.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    long long numbers[4] = {-1, -1, -1, -1};
    readFourNumbers(trimmed, numbers);
    auto inRange = [](long long n, long long low) { return n >= low && n <= 255; };
    return inRange(numbers[0], 1) && inRange(numbers[1], 0) && inRange(numbers[2], 0) &&
           inRange(numbers[3], 0);
}
