#pragma once

#include <chrono>
#include <cstdint>
#include <netinet/in.h>

// A blocking TCP listener on 127.0.0.1 with a port the system picks, for tests that need a peer.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return m_port; }
    sockaddr_in address() const;
    // The next connection, or -1 when none arrives in time. The caller closes it.
    int accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int m_handle = -1;
    uint16_t m_port = 0;
};

// A port on 127.0.0.1 that is bound but not listening, so connects to it are refused, and kept so for
// the life of the object (no other test can take it meanwhile).
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    sockaddr_in address() const { return m_address; }

private:
    int m_handle = -1;
    sockaddr_in m_address{};
};
// Waits until the descriptor shows one of the events; the events seen, or 0 on timeout.
short waitForEvents(int handle, short events, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// A connected pair of loopback TCP descriptors, both blocking: first the client, then the server end.
struct LoopbackPair {
    int client = -1;
    int server = -1;
};
LoopbackPair makeLoopbackPair(LoopbackListener& listener);
