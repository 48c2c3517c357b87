#pragma once

#include <openssl/ssl.h>

#include <filesystem>
#include <string>
#include <utility>

// The server half of a TLS session over memory buffers, so both halves run in the test's thread.
class MemoryTlsServer {
public:
    MemoryTlsServer(const std::filesystem::path& cert, const std::filesystem::path& key) {
        m_context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(m_context, cert.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(m_context, key.c_str(), SSL_FILETYPE_PEM);
        m_ssl = SSL_new(m_context);
        m_in = BIO_new(BIO_s_mem());
        m_out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(m_in, -1);
        SSL_set_bio(m_ssl, m_in, m_out);
        SSL_set_accept_state(m_ssl);
    }
    ~MemoryTlsServer() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_context);
    }

    // Takes the client's bytes and returns what the server answers.
    std::string feed(const std::string& bytes) {
        BIO_write(m_in, bytes.data(), static_cast<int>(bytes.size()));
        if (!SSL_is_init_finished(m_ssl)) {
            SSL_do_handshake(m_ssl);
        }
        return drain();
    }
    // Whatever the server produced after the handshake (TLS 1.3 session tickets) goes out first.
    std::string send(const std::string& plain) {
        SSL_write(m_ssl, plain.data(), static_cast<int>(plain.size()));
        return takeUnsent() + drain();
    }
    void keepUnsent(std::string bytes) { m_unsent += bytes; }
    std::string takeUnsent() { return std::exchange(m_unsent, {}); }
    std::string receive(const std::string& records) {
        BIO_write(m_in, records.data(), static_cast<int>(records.size()));
        std::string plain(65536, '\0');
        const int n = SSL_read(m_ssl, plain.data(), static_cast<int>(plain.size()));
        plain.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return plain;
    }
    std::string closeNotify() {
        SSL_shutdown(m_ssl);
        return takeUnsent() + drain();
    }
    std::string serverName() const {
        const char* name = SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name);
        return name ? name : "";
    }

private:
    std::string drain() {
        std::string out;
        char chunk[4096];
        int n;
        while ((n = BIO_read(m_out, chunk, sizeof chunk)) > 0) {
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }

    SSL_CTX* m_context;
    SSL* m_ssl;
    BIO* m_in;
    BIO* m_out;
    std::string m_unsent;
};
