#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The Debian microsocks (a SOCKS 5 server) on a free loopback port, without authentication or with one
// user and password, stopped with the test.
class MicroSocksServer {
public:
    MicroSocksServer() = default;
    ~MicroSocksServer();
    MicroSocksServer(const MicroSocksServer&) = delete;
    MicroSocksServer& operator=(const MicroSocksServer&) = delete;

    // Only clients that give these credentials (RFC 1929) are served; call before start.
    void requireCredentials(const std::string& user, const std::string& password);
    // False (with a reason in error()) when microsocks is missing or would not start.
    bool start();
    void stop();
    uint16_t port() const { return m_port; }
    const std::string& error() const { return m_error; }

    static bool available();

private:
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
    std::string m_user;
    std::string m_password;
};
