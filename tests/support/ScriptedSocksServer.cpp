#include "tests/support/ScriptedSocksServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kReadTimeoutMs = 10000;

bool readExactly(int fd, size_t n, std::string& out) {
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReadTimeoutMs) <= 0) {
            return false;
        }
        char chunk[512];
        const ssize_t got = ::recv(fd, chunk, std::min(n, sizeof chunk), 0);
        if (got <= 0) {
            return false;
        }
        out.append(chunk, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Up to and without the next NUL (at most 1024 bytes).
bool readText(int fd, std::string& out) {
    std::string byte;
    while (out.size() < 1024) {
        byte.clear();
        if (!readExactly(fd, 1, byte)) {
            return false;
        }
        if (byte[0] == '\0') {
            return true;
        }
        out += byte;
    }
    return false;
}

bool sendAll(int fd, const std::string& data) {
    size_t at = 0;
    while (at < data.size()) {
        const ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return true;
}

// Waits for the client's next bytes or its close, so a refusal is read before the connection ends.
void awaitClient(int fd) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 2000);
}

// Host names resolve only to loopback: the tests never reach out further.
uint32_t loopbackAddress(const std::string& host) {
    in_addr address{};
    if (host == "localhost") {
        return htonl(INADDR_LOOPBACK);
    }
    if (inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127) {
        return address.s_addr;
    }
    return 0;
}

int connectTarget(uint32_t address, uint16_t port) {
    if (address == 0 || (ntohl(address) >> 24) != 127) {
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    peer.sin_port = port;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

} // namespace

ScriptedSocksServer::ScriptedSocksServer(const ScriptedSocksBehaviour& behaviour) : m_behaviour(behaviour) {}

ScriptedSocksServer::~ScriptedSocksServer() {
    stop();
}

void ScriptedSocksServer::start() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("scripted SOCKS server could not listen");
    }
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

void ScriptedSocksServer::stop() {
    if (m_stopping.exchange(true)) {
        return;
    }
    if (m_listener >= 0) {
        ::shutdown(m_listener, SHUT_RDWR);
    }
    if (m_acceptor.joinable()) {
        m_acceptor.join();
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int fd : m_open) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (std::thread& worker : m_workers) {
        worker.join();
    }
    if (m_listener >= 0) {
        ::close(m_listener);
        m_listener = -1;
    }
}

bool ScriptedSocksServer::waitForConnections(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_arrived.wait_for(guard, timeout, [&] { return m_connections >= n; });
}

void ScriptedSocksServer::acceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) {
            continue;
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_open.push_back(fd);
        ++m_connections;
        m_arrived.notify_all();
        m_workers.emplace_back([this, fd] { serve(fd); });
    }
}

std::string ScriptedSocksServer::firstBytes() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_firstBytes;
}

void ScriptedSocksServer::serve(int fd) {
    std::string first;
    const bool spoke = readExactly(fd, 1, first);
    if (spoke) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_firstBytes += first;
    }
    if (m_behaviour.silent) {
        // Holds the connection open without a word until the client gives up.
        while (spoke && !m_stopping && readExactly(fd, 1, first)) {
        }
    } else if (spoke) {
        if (first[0] == 5) {
            serveSocks5(fd);
        } else if (first[0] == 4) {
            serveSocks4(fd);
        }
    }
    std::lock_guard<std::mutex> guard(m_lock);
    ::close(fd);
    m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
}

void ScriptedSocksServer::serveSocks5(int fd) {
    std::string greeting;
    if (!readExactly(fd, 1, greeting) ||
        !readExactly(fd, static_cast<unsigned char>(greeting[0]), greeting)) {
        return;
    }
    const size_t number = ++m_greetings;
    if (!m_behaviour.socks5 || number > m_behaviour.socks5Greetings) {
        sendAll(fd, m_behaviour.greetingRefusal);
        awaitClient(fd);
        return;
    }
    sendAll(fd, std::string{'\x05', static_cast<char>(m_behaviour.method)});
    if (m_behaviour.method == 2) {
        std::string auth;
        std::string user;
        std::string password;
        if (!readExactly(fd, 2, auth) || !readExactly(fd, static_cast<unsigned char>(auth[1]), user) ||
            !readExactly(fd, 1, auth) || !readExactly(fd, static_cast<unsigned char>(auth[2]), password)) {
            return;
        }
        const bool good = user == m_behaviour.user && password == m_behaviour.password;
        sendAll(fd, std::string{'\x01', good ? '\x00' : '\x01'});
        if (!good) {
            awaitClient(fd);
            return;
        }
    }
    std::string request;
    if (!readExactly(fd, 4, request)) {
        return;
    }
    uint32_t address = 0;
    if (request[3] == 1) {
        std::string raw;
        if (!readExactly(fd, 4, raw)) {
            return;
        }
        std::memcpy(&address, raw.data(), 4);
    } else if (request[3] == 3) {
        std::string length;
        std::string host;
        if (!readExactly(fd, 1, length) || !readExactly(fd, static_cast<unsigned char>(length[0]), host)) {
            return;
        }
        address = loopbackAddress(host);
    } else {
        return;
    }
    std::string rawPort;
    if (!readExactly(fd, 2, rawPort)) {
        return;
    }
    ++m_requests[KIND_SOCKS5];
    uint16_t port = 0;
    std::memcpy(&port, rawPort.data(), 2);
    std::string reply = m_behaviour.replyWithHostName
                            ? std::string("\x05\x00\x00\x03\x0bproxy.local\x04\x38", 18)
                            : std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38", 10);
    finish(fd, reply, address, port);
}

void ScriptedSocksServer::serveSocks4(int fd) {
    std::string request;
    std::string user;
    if (!readExactly(fd, 7, request) || !readText(fd, user)) {
        return;
    }
    uint16_t port = 0;
    uint32_t address = 0;
    std::memcpy(&port, request.data() + 1, 2);
    std::memcpy(&address, request.data() + 3, 4);
    const bool named = (ntohl(address) >> 8) == 0 && address != 0;
    bool served = m_behaviour.socks4;
    if (named) {
        std::string host;
        if (!readText(fd, host)) {
            return;
        }
        address = loopbackAddress(host);
        served = m_behaviour.socks4a;
    }
    ++m_requests[named ? KIND_SOCKS4A : KIND_SOCKS4];
    if (!served) {
        sendAll(fd, std::string{'\0', static_cast<char>(m_behaviour.socks4Refusal), 0, 0, 0, 0, 0, 0});
        awaitClient(fd);
        return;
    }
    finish(fd, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8), address, port);
}

void ScriptedSocksServer::finish(int fd, const std::string& reply, uint32_t address, uint16_t port) {
    if (!m_behaviour.sentWithReply.empty()) {
        sendAll(fd, reply + m_behaviour.sentWithReply);
        awaitClient(fd);
        return;
    }
    const int target = connectTarget(address, port);
    if (target < 0) {
        sendAll(fd, reply[0] == 5 ? std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10)
                                  : std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
        return;
    }
    const size_t split = std::min(m_behaviour.splitReplyAfter, reply.size());
    if (split > 0) {
        sendAll(fd, reply.substr(0, split));
        std::this_thread::sleep_for(m_behaviour.splitPause);
        sendAll(fd, reply.substr(split));
    } else {
        sendAll(fd, reply);
    }
    relay(fd, target);
    ::close(target);
}

void ScriptedSocksServer::relay(int client, int target) {
    char chunk[65536];
    while (!m_stopping) {
        pollfd p[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
        if (::poll(p, 2, 200) < 0) {
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            const ssize_t n = ::recv(p[i].fd, chunk, sizeof chunk, 0);
            if (n <= 0 || !sendAll(i == 0 ? target : client, std::string(chunk, static_cast<size_t>(n)))) {
                return;
            }
        }
    }
}
