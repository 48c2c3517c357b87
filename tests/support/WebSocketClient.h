#pragma once

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// Runs one scenario of tests/support/WebSocketClient.py (Python's websockets package, or raw sockets
// for bytes that package never sends) against a port, with its stdin and stdout on pipes.
class WebSocketClient {
public:
    WebSocketClient(const std::string& script, uint16_t port, const std::vector<std::string>& arguments) {
        std::vector<std::string> words = {"/usr/bin/python3", script, std::to_string(port)};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        m_toClient = input[1];
        m_fromClient = output[0];
    }

    ~WebSocketClient() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_toClient >= 0)
            ::close(m_toClient);
        if (m_fromClient >= 0)
            ::close(m_fromClient);
    }

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // The next line the client prints, without its line end; empty when it ended or the time ran out.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = m_pending.find('\n');
            if (end != std::string::npos) {
                std::string line = m_pending.substr(0, end);
                m_pending.erase(0, end + 1);
                m_output += line + "\n";
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd watched{m_fromClient, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) < 1)
                return std::string();
            char bytes[4096];
            const ssize_t count = ::read(m_fromClient, bytes, sizeof bytes);
            if (count <= 0) {
                m_ended = true;
                return std::string();
            }
            m_pending.append(bytes, static_cast<size_t>(count));
        }
    }

    void writeLine(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(m_toClient, text.data(), text.size());
    }

    // Reads to the end and waits for the exit; true when the client exited 0 with "ok" as its last line.
    bool succeeded(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
        std::string last;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_ended && std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::string line = readLine(left);
            if (!m_ended && !line.empty())
                last = line;
        }
        if (!m_ended && m_pid > 0)
            kill(m_pid, SIGKILL);
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid)
            return false;
        m_pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 && last == "ok";
    }

    // Everything the client printed so far, for failure messages.
    const std::string& output() const { return m_output; }

private:
    pid_t m_pid = -1;
    int m_toClient = -1;
    int m_fromClient = -1;
    bool m_ended = false;
    std::string m_pending;
    std::string m_output;
};
