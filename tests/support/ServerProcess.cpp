#include "tests/support/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

bool accepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

pid_t startServerProcess(const std::vector<std::string>& argv, uint16_t port, std::string& error) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        // The servers' chatter would mix with the test's output.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execv(arguments[0], arguments.data());
        ::_exit(127);
    }
    if (pid < 0) {
        error = "fork failed";
        return -1;
    }
    for (int i = 0; i < 400; ++i) {
        if (accepts(port)) {
            return pid;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            error = argv[0] + " exited at start";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    error = argv[0] + " did not listen";
    stopServerProcess(pid);
    return -1;
}

void stopServerProcess(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
}
