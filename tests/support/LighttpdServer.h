#pragma once

#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

// The Debian lighttpd on a free loopback port, in the foreground, with a configuration of its own in a
// temporary folder: everything below /auth/ needs HTTP Digest (MD5, qop=auth) with one user.
class LighttpdServer {
public:
    LighttpdServer(const std::string& user, const std::string& password, const std::string& realm);
    ~LighttpdServer();
    LighttpdServer(const LighttpdServer&) = delete;
    LighttpdServer& operator=(const LighttpdServer&) = delete;

    // False (with a reason in error()) when lighttpd is missing or would not start.
    bool start();
    void stop();
    const std::string& error() const { return m_error; }
    std::string url(const std::string& path) const;
    // The folder served as the document root.
    std::filesystem::path root() const { return m_dir.path() / "www"; }
    // Request lines and statuses of the access log.
    std::string accessLog() const;

    static bool available();

private:
    TempDir m_dir;
    std::string m_user;
    std::string m_password;
    std::string m_realm;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};
