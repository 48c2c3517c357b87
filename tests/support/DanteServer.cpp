#include "tests/support/DanteServer.h"

#include "tests/support/NginxServer.h"
#include "tests/support/ServerProcess.h"

#include <unistd.h>

#include <fstream>

namespace {

const char* const kProgram = "/usr/sbin/danted";

} // namespace

DanteServer::~DanteServer() {
    stop();
}

bool DanteServer::available() {
    return ::access(kProgram, X_OK) == 0;
}

bool DanteServer::start() {
    if (!available()) {
        m_error = "danted is not installed";
        return false;
    }
    m_port = NginxServer::freeLoopbackPort();
    const auto config = m_dir.path() / "danted.conf";
    // Loopback clients to loopback targets only; running as root, dante needs an unprivileged user.
    std::ofstream(config) << "logoutput: " << (m_dir.path() / "danted.log").string() << "\n"
                          << "internal: 127.0.0.1 port = " << m_port << "\n"
                          << "external: 127.0.0.1\n"
                          << "socksmethod: none\nclientmethod: none\n"
                          << (::geteuid() == 0 ? "user.unprivileged: nobody\n" : "")
                          << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                          << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
    m_pid = startServerProcess(
        {kProgram, "-f", config.string(), "-p", (m_dir.path() / "danted.pid").string(), "-N", "1"}, m_port,
        m_error);
    return m_pid > 0;
}

void DanteServer::stop() {
    stopServerProcess(m_pid);
}

std::string DanteServer::log() const {
    return readWholeFile(m_dir.path() / "danted.log");
}
