#include "tests/support/MicroSocksServer.h"

#include "tests/support/NginxServer.h"
#include "tests/support/ServerProcess.h"

#include <unistd.h>

namespace {

const char* const kProgram = "/usr/bin/microsocks";

} // namespace

MicroSocksServer::~MicroSocksServer() {
    stop();
}

bool MicroSocksServer::available() {
    return ::access(kProgram, X_OK) == 0;
}

void MicroSocksServer::requireCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

bool MicroSocksServer::start() {
    if (!available()) {
        m_error = "microsocks is not installed";
        return false;
    }
    m_port = NginxServer::freeLoopbackPort();
    std::vector<std::string> argv{kProgram, "-i", "127.0.0.1", "-p", std::to_string(m_port)};
    if (!m_user.empty()) {
        argv.insert(argv.end(), {"-u", m_user, "-P", m_password});
    }
    m_pid = startServerProcess(argv, m_port, m_error);
    return m_pid > 0;
}

void MicroSocksServer::stop() {
    stopServerProcess(m_pid);
}
