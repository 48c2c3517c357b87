#pragma once

#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

// The Debian tinyproxy on a free loopback port with a configuration of its own (foreground, loopback
// clients only, CONNECT to any port), stopped with the test.
class TinyProxyServer {
public:
    TinyProxyServer() = default;
    ~TinyProxyServer();
    TinyProxyServer(const TinyProxyServer&) = delete;
    TinyProxyServer& operator=(const TinyProxyServer&) = delete;

    // False (with a reason in error()) when tinyproxy is missing or would not start.
    bool start();
    // Only clients that give these credentials (HTTP Basic) are served; call before start.
    void requireCredentials(const std::string& user, const std::string& password);
    void stop();
    uint16_t port() const { return m_port; }
    const std::string& error() const { return m_error; }
    // The proxy's log, which names every request it forwarded.
    std::string log() const;

    static bool available();

private:
    TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
    std::string m_user;
    std::string m_password;
};
