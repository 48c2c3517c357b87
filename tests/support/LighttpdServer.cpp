#include "tests/support/LighttpdServer.h"

#include "base/VornHash.h"
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

const char* const kProgram = "/usr/sbin/lighttpd";

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

LighttpdServer::LighttpdServer(const std::string& user, const std::string& password, const std::string& realm)
    : m_user(user), m_password(password), m_realm(realm) {
    std::filesystem::create_directories(root() / "auth");
}

LighttpdServer::~LighttpdServer() {
    stop();
}

bool LighttpdServer::available() {
    return ::access(kProgram, X_OK) == 0 && std::filesystem::exists("/usr/lib/lighttpd/mod_auth.so");
}

bool LighttpdServer::start() {
    if (!available()) {
        m_error = "lighttpd is not installed";
        return false;
    }
    const std::filesystem::path dir = m_dir.path();
    std::ofstream(dir / "htdigest") << m_user << ":" << m_realm << ":"
                                    << vornMd5Text(m_user + ":" + m_realm + ":" + m_password) << "\n";
    m_port = NginxServer::freeLoopbackPort();
    const auto config = dir / "lighttpd.conf";
    std::ofstream(config)
        << "server.document-root = \"" << root().string() << "\"\n"
        << "server.port = " << m_port << "\nserver.bind = \"127.0.0.1\"\n"
        << "server.errorlog = \"" << (dir / "error.log").string() << "\"\n"
        << "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_accesslog\")\n"
        << "accesslog.filename = \"" << (dir / "access.log").string() << "\"\n"
        << "auth.backend = \"htdigest\"\n"
        << "auth.backend.htdigest.userfile = \"" << (dir / "htdigest").string() << "\"\n"
        << "auth.require = (\"/auth/\" => (\"method\" => \"digest\", \"algorithm\" => \"MD5\", "
        << "\"realm\" => \"" << m_realm << "\", \"require\" => \"valid-user\"))\n";
    m_pid = ::fork();
    if (m_pid == 0) {
        ::execl(kProgram, kProgram, "-D", "-f", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (accepts(m_port)) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "lighttpd exited at start: " + readWholeFile(dir / "error.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    m_error = "lighttpd did not listen";
    stop();
    return false;
}

void LighttpdServer::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string LighttpdServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string LighttpdServer::accessLog() const {
    return readWholeFile(m_dir.path() / "access.log");
}
