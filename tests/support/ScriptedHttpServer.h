#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class ScriptedStream;

// One request as the server read it, byte for byte.
struct ScriptedRequest {
    std::string raw;
    std::string method;
    std::string target;
    // The first header of that name (case-insensitive), without its name and blanks.
    std::optional<std::string> header(const std::string& name) const;
    // "bytes=a-b" or "bytes=a-": false without a Range header. A missing end is -1.
    bool range(int64_t& first, int64_t& last) const;
};

// What the server answers one request with, and how badly.
struct ScriptedReply {
    std::string bytes;
    // Sends the bytes in pieces of this size (0: all at once) with a pause between pieces.
    size_t trickle = 0;
    std::chrono::milliseconds pause{0};
    // Sends only the first bytes and then drops the connection (npos: everything).
    size_t cutAfter = std::string::npos;

    // A complete reply with Content-Length and "Connection: close".
    static ScriptedReply status(int code, const std::string& reason, const std::string& body,
                                const std::vector<std::string>& headers = {});
    // Serves a file the way a range-capable server does: 206 with Content-Range for a Range request,
    // 200 otherwise, 416 past the end.
    static ScriptedReply file(const ScriptedRequest& request, const std::string& content,
                              const std::vector<std::string>& headers = {});
};

// A loopback HTTP (optionally HTTPS) server whose replies are data in the test: a table taken in order
// (the last entry repeats), or a function of the request. Every request is kept for inspection.
class ScriptedHttpServer {
public:
    using Handler = std::function<ScriptedReply(const ScriptedRequest&, size_t index)>;

    explicit ScriptedHttpServer(std::vector<ScriptedReply> replies);
    explicit ScriptedHttpServer(Handler handler);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // Speaks TLS with this certificate; records are trickled with the reply's settings. Call before start.
    void useTls(const std::filesystem::path& cert, const std::filesystem::path& key);
    // Binds 127.0.0.1 on a free port and starts accepting.
    void start();
    void stop();

    uint16_t port() const { return m_port; }
    std::string url(const std::string& path) const;
    std::vector<ScriptedRequest> requests() const;
    // Waits until at least n requests arrived.
    bool waitForRequests(size_t n, std::chrono::milliseconds timeout) const;
    // Total reply bytes written to sockets (body and headers; raw TLS bytes under TLS).
    uint64_t bytesSent() const { return m_bytesSent; }

private:
    struct Tls;
    void acceptLoop();
    void serve(int fd);
    bool readRequest(int fd, ScriptedStream& stream, std::string& raw);
    ScriptedReply replyFor(const ScriptedRequest& request);

    Handler m_handler;
    std::unique_ptr<Tls> m_tls;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
    std::vector<int> m_open;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_arrived;
    std::vector<ScriptedRequest> m_requests;
    std::atomic<uint64_t> m_bytesSent{0};
    std::atomic<bool> m_stopping{false};
};
