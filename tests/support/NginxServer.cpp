#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {
const char* const kNginx = "/usr/sbin/nginx";
// Fields of the access log line, separated by '|' so that request lines with blanks stay whole.
const char* const kLogFormat = "'$status|$bytes_sent|$request'";
} // namespace

NginxServer::NginxServer() : NginxServer(Options()) {}

NginxServer::NginxServer(const Options& options) : m_options(options) {
    std::filesystem::create_directories(root());
    std::filesystem::create_directories(m_dir.path() / "temp");
}

NginxServer::~NginxServer() {
    stop();
}

bool NginxServer::available() {
    return access(kNginx, X_OK) == 0;
}

uint16_t NginxServer::freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

std::string NginxServer::config() const {
    std::string d = m_dir.path().string();
    bool tls = !m_options.certificateFile.empty() && !m_options.keyFile.empty();
    std::ostringstream c;
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
      << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log warn;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n  default_type application/octet-stream;\n"
      << "  types { text/plain txt; application/zip zip; video/mp4 mp4; application/pdf pdf; }\n"
      << "  log_format brellin " << kLogFormat << ";\n"
      << "  access_log " << d << "/access.log brellin;\n"
      << "  client_body_temp_path " << d << "/temp/body;\n  proxy_temp_path " << d << "/temp/proxy;\n"
      << "  fastcgi_temp_path " << d << "/temp/fastcgi;\n  uwsgi_temp_path " << d << "/temp/uwsgi;\n"
      << "  scgi_temp_path " << d << "/temp/scgi;\n"
      << "  sendfile on;\n  keepalive_timeout 30;\n"
      << "  server {\n    listen 127.0.0.1:" << m_port << (tls ? " ssl" : "") << ";\n"
      << "    server_name localhost;\n    root " << d << "/www;\n";
    if (tls) {
        c << "    ssl_certificate " << m_options.certificateFile.string() << ";\n"
          << "    ssl_certificate_key " << m_options.keyFile.string() << ";\n";
    }
    if (m_options.slowRateBytes > 0) {
        c << "    location /slow/ { limit_rate " << m_options.slowRateBytes << "; }\n";
    }
    c << m_options.extraServerConfig << "\n  }\n}\n";
    return c.str();
}

bool NginxServer::start() {
    if (!available()) {
        m_error = "nginx is not installed";
        return false;
    }
    // A port found free can be taken by someone else before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
        m_port = freeLoopbackPort();
        std::string configPath = (m_dir.path() / "nginx.conf").string();
        writeWholeFile(configPath, config());
        pid_t pid = fork();
        if (pid == 0) {
            int devNull = ::open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            execl(kNginx, kNginx, "-c", configPath.c_str(), "-p", m_dir.path().c_str(), nullptr);
            _exit(127);
        }
        m_pid = pid;
        if (!waitUntilListening(20000)) {
            stop();
        }
    }
    if (m_pid < 0) {
        m_error = "nginx did not start: " + readWholeFile(m_dir.path() / "error.log");
        return false;
    }
    return true;
}

bool NginxServer::waitUntilListening(int timeoutMillis) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            return false; // nginx ended: the port was taken or the configuration is wrong
        }
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void NginxServer::stop() {
    if (m_pid <= 0) {
        return;
    }
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

std::string NginxServer::url(const std::string& path) const {
    bool tls = !m_options.certificateFile.empty();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

std::filesystem::path NginxServer::writeRandomFile(const std::string& relativePath, size_t size,
                                                   uint32_t seed) {
    std::filesystem::path path = root() / relativePath;
    std::filesystem::create_directories(path.parent_path());
    std::mt19937 generator(seed);
    std::string data(size, '\0');
    for (char& c : data) {
        c = static_cast<char>(generator() & 0xFF);
    }
    writeWholeFile(path, data);
    return path;
}

std::vector<std::vector<std::string>> NginxServer::accessLogFields() const {
    std::vector<std::vector<std::string>> lines;
    std::istringstream log(readWholeFile(m_dir.path() / "access.log"));
    std::string line;
    while (std::getline(log, line)) {
        std::vector<std::string> fields;
        size_t begin = 0;
        for (int i = 0; i < 2; ++i) {
            size_t bar = line.find('|', begin);
            if (bar == std::string::npos) {
                break;
            }
            fields.push_back(line.substr(begin, bar - begin));
            begin = bar + 1;
        }
        fields.push_back(line.substr(begin));
        if (fields.size() == 3) {
            lines.push_back(fields);
        }
    }
    return lines;
}

int64_t NginxServer::bytesSent() const {
    int64_t total = 0;
    for (const auto& fields : accessLogFields()) {
        total += std::stoll(fields[1]);
    }
    return total;
}

int64_t NginxServer::settledBytesSent() const {
    int64_t last = bytesSent();
    int steady = 0;
    for (int i = 0; i < 100 && steady < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int64_t now = bytesSent();
        steady = now == last ? steady + 1 : 0;
        last = now;
    }
    return last;
}

std::vector<std::string> NginxServer::requests() const {
    std::vector<std::string> result;
    for (const auto& fields : accessLogFields()) {
        result.push_back(fields[2]);
    }
    return result;
}

std::string fileSha256(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> block(1 << 16);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        EVP_DigestUpdate(context, block.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0xF]);
    }
    return text;
}
