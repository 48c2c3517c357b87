#pragma once

#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// tests/support/AuthServer.py on a free loopback port: an HTTP/1.1 server with keep-alive that asks
// for Digest or NTLM, verifies every answer itself and serves one file to those who pass.
class AuthServer {
public:
    struct Options {
        std::string scheme = "digest"; // or "ntlm"
        // digest: "", "sess", "noqop", "stale"; ntlm: "" (v2), "v1", "combined", "negotiate-only".
        std::string mode;
        std::string user = "alice";
        std::string password = "s3cret";
        std::string realm = "files";
        // The challenge's body in two writes with a pause between them.
        bool splitBody = false;
        // The first challenge says Connection: close.
        bool closeAfterChallenge = false;
        // A proxy that asks with 407; with a certificate and key it speaks TLS inside CONNECT tunnels.
        bool proxy = false;
        std::string certificateFile;
        std::string keyFile;
    };
    struct Request {
        int connection = 0;
        std::string method;
        std::string target;
        int status = 0;
        std::string authorization; // "-" when none was sent
    };

    explicit AuthServer(const Options& options);
    ~AuthServer();
    AuthServer(const AuthServer&) = delete;
    AuthServer& operator=(const AuthServer&) = delete;

    // Writes the served file, starts the server; false (with error()) when it cannot run here.
    bool start(const std::string& content);
    void stop();
    const std::string& error() const { return m_error; }
    std::string url(const std::string& path) const;
    uint16_t port() const { return m_port; }
    std::vector<Request> requests() const;

    // python3 and python3-ntlm-auth from Debian.
    static bool available();

private:
    Options m_options;
    TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};
