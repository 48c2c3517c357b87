#pragma once

#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A real nginx from the system, started by a test on a free loopback port with a configuration of its
// own in a temporary folder (daemon off, one process, pid and logs in that folder), stopped with the test.
class NginxServer {
public:
    struct Options {
        // Served as /slow/...: each connection limited to this many bytes a second (0: no limit).
        int64_t slowRateBytes = 0;
        // Extra text placed inside the server block, for tests that need a special location.
        std::string extraServerConfig;
        // With both set, the server speaks TLS with this certificate chain and key.
        std::filesystem::path certificateFile;
        std::filesystem::path keyFile;
    };

    NginxServer();
    explicit NginxServer(const Options& options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // False (with a reason in error()) when nginx is missing or would not start.
    bool start();
    void stop();
    bool running() const { return m_pid > 0; }
    const std::string& error() const { return m_error; }

    uint16_t port() const { return m_port; }
    // The folder served as the document root.
    std::filesystem::path root() const { return m_dir.path() / "www"; }
    // "http://127.0.0.1:port" + path (https with a certificate).
    std::string url(const std::string& path) const;

    // Writes a file of pseudo-random bytes below the root (seeded, so tests are repeatable).
    std::filesystem::path writeRandomFile(const std::string& relativePath, size_t size, uint32_t seed = 1);
    // The sum of bytes nginx sent for completed requests, read from its access log.
    int64_t bytesSent() const;
    // bytesSent once nginx has logged the requests of connections that just closed (the figure stays
    // the same for half a second, at most ten seconds).
    int64_t settledBytesSent() const;
    // Request lines (method and target) from the access log, in order.
    std::vector<std::string> requests() const;

    static bool available();
    static uint16_t freeLoopbackPort();

private:
    std::string config() const;
    bool waitUntilListening(int timeoutMillis) const;
    std::vector<std::vector<std::string>> accessLogFields() const;

    Options m_options;
    TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

// The lower-case hexadecimal SHA-256 digest of a file's bytes (empty when it cannot be read).
std::string fileSha256(const std::filesystem::path& path);
