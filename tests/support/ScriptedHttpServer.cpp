#include "tests/support/ScriptedHttpServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool waitReadable(int fd, int millis) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, millis) > 0;
}

bool sendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

struct ScriptedHttpServer::Tls {
    SSL_CTX* context = nullptr;
    ~Tls() { SSL_CTX_free(context); }
};

// A served connection, plain or TLS over memory buffers (so raw records can be trickled on purpose).
class ScriptedStream {
public:
    ScriptedStream(int fd, SSL_CTX* tls, std::atomic<uint64_t>& sent) : m_fd(fd), m_sent(sent) {
        if (tls != nullptr) {
            m_ssl = SSL_new(tls);
            m_in = BIO_new(BIO_s_mem());
            m_out = BIO_new(BIO_s_mem());
            BIO_set_mem_eof_return(m_in, -1);
            SSL_set_bio(m_ssl, m_in, m_out);
            SSL_set_accept_state(m_ssl);
        }
    }
    ~ScriptedStream() { SSL_free(m_ssl); }

    bool handshake() {
        if (m_ssl == nullptr) {
            return true;
        }
        for (;;) {
            const int r = SSL_do_handshake(m_ssl);
            if (!flush(0, std::chrono::milliseconds(0))) {
                return false;
            }
            if (r == 1) {
                return true;
            }
            if (SSL_get_error(m_ssl, r) != SSL_ERROR_WANT_READ || !feedFromSocket()) {
                return false;
            }
        }
    }

    // Plain bytes from the peer; 0 when it closed or failed.
    ssize_t read(char* buffer, size_t size) {
        if (m_ssl == nullptr) {
            if (!waitReadable(m_fd, 30000)) {
                return 0;
            }
            return std::max<ssize_t>(::recv(m_fd, buffer, size, 0), 0);
        }
        for (;;) {
            const int n = SSL_read(m_ssl, buffer, static_cast<int>(size));
            if (n > 0) {
                return n;
            }
            if (SSL_get_error(m_ssl, n) != SSL_ERROR_WANT_READ || !feedFromSocket()) {
                return 0;
            }
        }
    }

    bool write(const ScriptedReply& reply) {
        const size_t cut = std::min(reply.cutAfter, reply.bytes.size());
        if (m_ssl == nullptr) {
            m_pending.assign(reply.bytes, 0, cut);
            return trickle(reply.trickle, reply.pause);
        }
        if (cut > 0) {
            SSL_write(m_ssl, reply.bytes.data(), static_cast<int>(cut));
        }
        return flush(reply.trickle, reply.pause);
    }

private:
    bool feedFromSocket() {
        char chunk[16384];
        if (!waitReadable(m_fd, 30000)) {
            return false;
        }
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        BIO_write(m_in, chunk, static_cast<int>(n));
        return true;
    }

    bool flush(size_t piece, std::chrono::milliseconds pause) {
        char chunk[16384];
        int n;
        m_pending.clear();
        while ((n = BIO_read(m_out, chunk, sizeof chunk)) > 0) {
            m_pending.append(chunk, static_cast<size_t>(n));
        }
        return trickle(piece, pause);
    }

    bool trickle(size_t piece, std::chrono::milliseconds pause) {
        const size_t step = piece == 0 ? m_pending.size() : piece;
        for (size_t at = 0; at < m_pending.size(); at += step) {
            const size_t length = std::min(step, m_pending.size() - at);
            if (!sendAll(m_fd, m_pending.data() + at, length)) {
                return false;
            }
            m_sent += length;
            if (pause.count() > 0 && at + length < m_pending.size()) {
                std::this_thread::sleep_for(pause);
            }
        }
        return true;
    }

    int m_fd;
    std::atomic<uint64_t>& m_sent;
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;
    BIO* m_out = nullptr;
    std::string m_pending;
};

std::optional<std::string> ScriptedRequest::header(const std::string& name) const {
    const std::string wanted = lower(name) + ":";
    size_t at = raw.find("\r\n");
    while (at != std::string::npos) {
        const size_t start = at + 2;
        const size_t end = raw.find("\r\n", start);
        if (end == std::string::npos || end == start) {
            break;
        }
        const std::string line = raw.substr(start, end - start);
        if (lower(line.substr(0, wanted.size())) == wanted) {
            const size_t value = line.find_first_not_of(' ', wanted.size());
            return value == std::string::npos ? std::string() : line.substr(value);
        }
        at = end;
    }
    return std::nullopt;
}

bool ScriptedRequest::range(int64_t& first, int64_t& last) const {
    const auto value = header("Range");
    if (!value || value->rfind("bytes=", 0) != 0) {
        return false;
    }
    const std::string rangeText = value->substr(6);
    const size_t dash = rangeText.find('-');
    first = std::strtoll(rangeText.substr(0, dash).c_str(), nullptr, 10);
    const std::string end = dash == std::string::npos ? std::string() : rangeText.substr(dash + 1);
    last = end.empty() ? -1 : std::strtoll(end.c_str(), nullptr, 10);
    return true;
}

ScriptedReply ScriptedReply::status(int code, const std::string& reason, const std::string& body,
                                    const std::vector<std::string>& headers) {
    ScriptedReply reply;
    reply.bytes = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
    for (const std::string& line : headers) {
        reply.bytes += line + "\r\n";
    }
    reply.bytes += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return reply;
}

ScriptedReply ScriptedReply::file(const ScriptedRequest& request, const std::string& content,
                                  const std::vector<std::string>& headers) {
    int64_t first = 0;
    int64_t last = -1;
    const int64_t size = static_cast<int64_t>(content.size());
    std::vector<std::string> lines = headers;
    lines.push_back("Accept-Ranges: bytes");
    if (!request.range(first, last)) {
        return status(200, "OK", content, lines);
    }
    if (first >= size) {
        return status(416, "Range Not Satisfiable", "", {"Content-Range: bytes */" + std::to_string(size)});
    }
    if (last < 0 || last >= size) {
        last = size - 1;
    }
    lines.push_back("Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                    std::to_string(size));
    return status(206, "Partial Content",
                  content.substr(static_cast<size_t>(first), static_cast<size_t>(last - first + 1)), lines);
}

ScriptedHttpServer::ScriptedHttpServer(std::vector<ScriptedReply> replies) {
    m_handler = [replies = std::move(replies)](const ScriptedRequest&, size_t index) {
        return replies.empty() ? ScriptedReply{} : replies[std::min(index, replies.size() - 1)];
    };
}

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : m_handler(std::move(handler)) {}

ScriptedHttpServer::~ScriptedHttpServer() {
    stop();
}

void ScriptedHttpServer::useTls(const std::filesystem::path& cert, const std::filesystem::path& key) {
    m_tls = std::make_unique<Tls>();
    m_tls->context = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(m_tls->context, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_tls->context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("the test certificate could not be loaded");
    }
}

void ScriptedHttpServer::start() {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0) {
        throw std::runtime_error("the scripted server could not listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

void ScriptedHttpServer::stop() {
    if (m_stopping.exchange(true)) {
        return;
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
    }
}

std::string ScriptedHttpServer::url(const std::string& path) const {
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<ScriptedRequest> ScriptedHttpServer::requests() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

bool ScriptedHttpServer::waitForRequests(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_arrived.wait_for(guard, timeout, [&] { return m_requests.size() >= n; });
}

void ScriptedHttpServer::acceptLoop() {
    while (!m_stopping) {
        if (!waitReadable(m_listener, 50)) {
            continue;
        }
        const int fd = ::accept(m_listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_open.push_back(fd);
        m_workers.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedHttpServer::serve(int fd) {
    ScriptedStream stream(fd, m_tls ? m_tls->context : nullptr, m_bytesSent);
    std::string raw;
    if (stream.handshake() && readRequest(fd, stream, raw)) {
        ScriptedRequest request;
        request.raw = raw;
        const size_t space = raw.find(' ');
        request.method = raw.substr(0, space);
        const size_t second = raw.find(' ', space + 1);
        request.target = raw.substr(space + 1, second - space - 1);
        const ScriptedReply reply = replyFor(request);
        stream.write(reply);
    }
    ::shutdown(fd, SHUT_WR);
    // Let the client read the close before the descriptor goes away.
    char sink[4096];
    while (!m_stopping && waitReadable(fd, 2000) && ::recv(fd, sink, sizeof sink, 0) > 0) {
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
    ::close(fd);
}

bool ScriptedHttpServer::readRequest(int, ScriptedStream& stream, std::string& raw) {
    char chunk[8192];
    size_t headerEnd;
    while ((headerEnd = raw.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = stream.read(chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        raw.append(chunk, static_cast<size_t>(n));
    }
    ScriptedRequest probe;
    probe.raw = raw;
    const auto length = probe.header("Content-Length");
    const size_t wanted = headerEnd + 4 + (length ? std::strtoul(length->c_str(), nullptr, 10) : 0);
    while (raw.size() < wanted) {
        const ssize_t n = stream.read(chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        raw.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

ScriptedReply ScriptedHttpServer::replyFor(const ScriptedRequest& request) {
    size_t index;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        index = m_requests.size();
        m_requests.push_back(request);
    }
    m_arrived.notify_all();
    return m_handler(request, index);
}
