#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a scripted SOCKS server behaves: which versions it serves, how it answers, and how badly.
struct ScriptedSocksBehaviour {
    bool socks5 = true;
    // Serves only this many SOCKS 5 greetings; later ones get the refusal below.
    size_t socks5Greetings = SIZE_MAX;
    bool socks4a = true;
    bool socks4 = true;
    // The answer to a SOCKS 5 greeting when SOCKS 5 is not served (the connection then closes).
    std::string greetingRefusal = std::string("\x05\xff", 2);
    // The reply code for a SOCKS 4 or 4a request of a version not served (0x5B rejected, 0x5C no identd).
    unsigned char socks4Refusal = 0x5B;
    // SOCKS 5 method: 0 none, 2 user and password (checked against the two below).
    unsigned char method = 0;
    std::string user;
    std::string password;
    // The SOCKS 5 reply names a host (address type 3) instead of an IPv4 address.
    bool replyWithHostName = false;
    // Sends the final reply in two writes, the first of this many bytes (0: one write).
    size_t splitReplyAfter = 0;
    std::chrono::milliseconds splitPause{150};
    // Sent in the same write as the final reply instead of relaying to the target; the server then
    // waits for the client's first bytes and closes.
    std::string sentWithReply;
    // Accepts connections and never answers.
    bool silent = false;
};

// A loopback SOCKS 5/4a/4 server for the faults real proxies rarely show. Granted requests are relayed
// to the target, which must be on loopback. It counts what it saw.
class ScriptedSocksServer {
public:
    enum Kind { KIND_SOCKS5 = 0, KIND_SOCKS4A = 1, KIND_SOCKS4 = 2 };

    explicit ScriptedSocksServer(const ScriptedSocksBehaviour& behaviour);
    ~ScriptedSocksServer();
    ScriptedSocksServer(const ScriptedSocksServer&) = delete;
    ScriptedSocksServer& operator=(const ScriptedSocksServer&) = delete;

    void start();
    void stop();
    uint16_t port() const { return m_port; }

    size_t connections() const { return m_connections; }
    // SOCKS 5 greetings read.
    size_t greetings() const { return m_greetings; }
    // CONNECT requests read of one kind (granted or not).
    size_t requests(Kind kind) const { return m_requests[kind]; }
    // The first byte of every connection, in order of arrival (the version the client spoke first).
    std::string firstBytes() const;
    bool waitForConnections(size_t n, std::chrono::milliseconds timeout) const;

private:
    void acceptLoop();
    void serve(int fd);
    void serveSocks5(int fd);
    void serveSocks4(int fd);
    void finish(int fd, const std::string& reply, uint32_t address, uint16_t port);
    void relay(int client, int target);

    ScriptedSocksBehaviour m_behaviour;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
    std::vector<int> m_open;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_arrived;
    std::string m_firstBytes;
    std::atomic<size_t> m_connections{0};
    std::atomic<size_t> m_greetings{0};
    std::atomic<size_t> m_requests[3] = {0, 0, 0};
    std::atomic<bool> m_stopping{false};
};
