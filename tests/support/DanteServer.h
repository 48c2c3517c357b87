#pragma once

#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

// The Debian dante-server (danted: SOCKS 4 and 5, no authentication; it refuses SOCKS 4a) on a free
// loopback port with a configuration of its own, stopped with the test.
class DanteServer {
public:
    DanteServer() = default;
    ~DanteServer();
    DanteServer(const DanteServer&) = delete;
    DanteServer& operator=(const DanteServer&) = delete;

    // False (with a reason in error()) when danted is missing or would not start.
    bool start();
    void stop();
    uint16_t port() const { return m_port; }
    const std::string& error() const { return m_error; }
    // The server's log: one line per forwarded or refused request.
    std::string log() const;

    static bool available();

private:
    TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};
