#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts a server program as a child process and waits until it accepts connections on the loopback
// port: its pid, or -1 with a reason in error when it exited or never listened.
pid_t startServerProcess(const std::vector<std::string>& argv, uint16_t port, std::string& error);
// Ends the child with SIGTERM and reaps it; the pid becomes -1.
void stopServerProcess(pid_t& pid);
