#pragma once

#include <cstddef>
#include <map>
#include <vector>

class VornKqSocket;

// The most handles each of the read and write sets holds; a socket beyond that is not watched.
constexpr size_t VORN_KQUEUE_SET_SIZE = 64;

// The readiness loop of one thread: watches connected sockets for reading and connecting ones for
// writing and errors, and calls them back in the order they were added. It owns none of the sockets,
// takes no lock, and every callback runs on the thread that calls Poll().
class VornKQueue {
public:
    explicit VornKQueue(int waitSeconds);
    ~VornKQueue();
    VornKQueue(const VornKQueue&) = delete;
    VornKQueue& operator=(const VornKQueue&) = delete;

    // Watches the socket according to its state: connecting sockets for writing, others for reading;
    // a closed one (or one without a handle) is forgotten.
    void Register(VornKqSocket* socket);
    void Unregister(VornKqSocket* socket);
    // One pass: false when nothing was ready within the wait time (after a 40 ms pause), true otherwise.
    bool Poll();

    const std::vector<int>& readSet() const { return m_readSet; }
    const std::vector<int>& writeSet() const { return m_writeSet; }
    bool isRegistered(const VornKqSocket* socket) const;

private:
    void forget(const VornKqSocket* socket);
    void waitForReadiness();
    void moveToReadSet(int handle);
    VornKqSocket* find(int handle) const;

    std::vector<int> m_readSet;
    std::vector<int> m_writeSet;
    std::map<int, VornKqSocket*> m_sockets;
    std::vector<int> m_workingRead;
    std::vector<int> m_workingWrite;
    std::vector<int> m_workingError;
    int m_waitSeconds;
};
