#include "tests/support/AuthServer.h"

#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char* const kPython = "/usr/bin/python3";
const std::string kScript = std::string(BRELLIN_TEST_SUPPORT_DIR) + "/AuthServer.py";

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

AuthServer::AuthServer(const Options& options) : m_options(options) {}

AuthServer::~AuthServer() {
    stop();
}

bool AuthServer::available() {
    return ::access(kPython, X_OK) == 0 &&
           ::access("/usr/lib/python3/dist-packages/ntlm_auth/des.py", R_OK) == 0;
}

bool AuthServer::start(const std::string& content) {
    if (!available()) {
        m_error = "python3-ntlm-auth is not installed";
        return false;
    }
    const std::string file = (m_dir.path() / "served.bin").string();
    std::ofstream(file, std::ios::binary) << content;
    m_port = NginxServer::freeLoopbackPort();
    std::vector<std::string> words = {kPython,      kScript,
                                      "--port",     std::to_string(m_port),
                                      "--scheme",   m_options.scheme,
                                      "--mode",     m_options.mode,
                                      "--user",     m_options.user,
                                      "--password", m_options.password,
                                      "--realm",    m_options.realm,
                                      "--file",     file,
                                      "--log",      (m_dir.path() / "requests.log").string()};
    if (m_options.splitBody) {
        words.push_back("--split-body");
    }
    if (m_options.closeAfterChallenge) {
        words.push_back("--close-after-challenge");
    }
    if (m_options.proxy) {
        words.push_back("--proxy");
    }
    if (!m_options.certificateFile.empty()) {
        words.insert(words.end(), {"--cert", m_options.certificateFile, "--key", m_options.keyFile});
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 400; ++i) {
        if (accepts(m_port)) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "AuthServer.py exited at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    m_error = "AuthServer.py did not listen";
    stop();
    return false;
}

void AuthServer::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string AuthServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<AuthServer::Request> AuthServer::requests() const {
    std::vector<Request> list;
    std::istringstream lines(readWholeFile(m_dir.path() / "requests.log"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Request request;
        std::string connection;
        std::string status;
        std::getline(fields, connection, '\t');
        std::getline(fields, request.method, '\t');
        std::getline(fields, request.target, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, request.authorization);
        request.connection = std::atoi(connection.c_str());
        request.status = std::atoi(status.c_str());
        list.push_back(request);
    }
    return list;
}
