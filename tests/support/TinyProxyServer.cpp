#include "tests/support/TinyProxyServer.h"

#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

const char* const kProgram = "/usr/bin/tinyproxy";

bool accepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TinyProxyServer::~TinyProxyServer() {
    stop();
}

bool TinyProxyServer::available() {
    return ::access(kProgram, X_OK) == 0;
}

bool TinyProxyServer::start() {
    if (!available()) {
        m_error = "tinyproxy is not installed";
        return false;
    }
    m_port = NginxServer::freeLoopbackPort();
    const auto config = m_dir.path() / "tinyproxy.conf";
    // Without ConnectPort lines tinyproxy tunnels to every port, which the tests' servers need.
    std::ofstream(config) << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 64\n"
                          << "Allow 127.0.0.1\nLogLevel Info\nLogFile \""
                          << (m_dir.path() / "tinyproxy.log").string() << "\"\nPidFile \""
                          << (m_dir.path() / "tinyproxy.pid").string() << "\"\n";
    if (!m_user.empty()) {
        std::ofstream(config, std::ios::app) << "BasicAuth " << m_user << " " << m_password << "\n";
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::execl(kProgram, kProgram, "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (accepts(m_port)) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "tinyproxy exited at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    m_error = "tinyproxy did not listen";
    stop();
    return false;
}

void TinyProxyServer::requireCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

void TinyProxyServer::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string TinyProxyServer::log() const {
    return readWholeFile(m_dir.path() / "tinyproxy.log");
}
