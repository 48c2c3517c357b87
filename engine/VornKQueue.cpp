#include "engine/VornKQueue.h"

#include "engine/VornKqSocket.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <thread>

namespace {

void removeHandle(std::vector<int>& set, int handle) {
    auto at = std::find(set.begin(), set.end(), handle);
    if (at != set.end())
        set.erase(at); // the later handles move down and keep their order
}

void addHandle(std::vector<int>& set, int handle) {
    if (std::find(set.begin(), set.end(), handle) == set.end() && set.size() < VORN_KQUEUE_SET_SIZE)
        set.push_back(handle);
}

bool contains(const std::vector<int>& set, int handle) {
    return std::find(set.begin(), set.end(), handle) != set.end();
}

} // namespace

VornKQueue::VornKQueue(int waitSeconds) : m_waitSeconds(waitSeconds) {}

VornKQueue::~VornKQueue() {
    m_sockets.clear();
}

void VornKQueue::Register(VornKqSocket* socket) {
    if (!socket)
        return;
    forget(socket);
    if (!socket->hasSocket() || socket->state() == VORN_SOCKET_CLOSED)
        return;
    int handle = socket->handle();
    // The handle is this socket's now: an entry left by an earlier owner of the number must not stay.
    m_sockets[handle] = socket;
    if (socket->state() == VORN_SOCKET_CONNECTING) {
        removeHandle(m_readSet, handle);
        addHandle(m_writeSet, handle);
    } else {
        removeHandle(m_writeSet, handle);
        addHandle(m_readSet, handle);
    }
}

void VornKQueue::Unregister(VornKqSocket* socket) {
    if (!socket)
        return;
    if (isRegistered(socket)) {
        forget(socket);
    } else if (socket->hasSocket()) {
        removeHandle(m_readSet, socket->handle());
        removeHandle(m_writeSet, socket->handle());
    }
}

bool VornKQueue::isRegistered(const VornKqSocket* socket) const {
    return std::any_of(m_sockets.begin(), m_sockets.end(),
                       [socket](const auto& entry) { return entry.second == socket; });
}

void VornKQueue::forget(const VornKqSocket* socket) {
    for (auto entry = m_sockets.begin(); entry != m_sockets.end();) {
        if (entry->second != socket) {
            ++entry;
            continue;
        }
        removeHandle(m_readSet, entry->first);
        removeHandle(m_writeSet, entry->first);
        entry = m_sockets.erase(entry);
    }
}

VornKqSocket* VornKQueue::find(int handle) const {
    auto entry = m_sockets.find(handle);
    return entry == m_sockets.end() ? nullptr : entry->second;
}

void VornKQueue::moveToReadSet(int handle) {
    removeHandle(m_writeSet, handle);
    addHandle(m_readSet, handle);
}

bool VornKQueue::Poll() {
    waitForReadiness();
    if (m_workingRead.empty() && m_workingWrite.empty() && m_workingError.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        return false;
    }
    // Callbacks may register, unregister, close or destroy sockets: each handle is looked up afresh, and
    // one whose registration has gone meanwhile is skipped.
    for (int handle : m_workingRead) {
        if (VornKqSocket* socket = find(handle))
            socket->OnReadable();
    }
    for (int handle : m_workingWrite) {
        if (!contains(m_writeSet, handle))
            continue;
        moveToReadSet(handle);
        if (VornKqSocket* socket = find(handle))
            socket->OnWritable();
    }
    for (int handle : m_workingError) {
        if (!contains(m_writeSet, handle))
            continue;
        removeHandle(m_writeSet, handle);
        removeHandle(m_readSet, handle);
        if (VornKqSocket* socket = find(handle))
            socket->OnSocketError(L"Error on Socket.");
    }
    return true;
}

void VornKQueue::waitForReadiness() {
    m_workingRead.clear();
    m_workingWrite.clear();
    m_workingError.clear();
    std::vector<pollfd> entries;
    entries.reserve(m_readSet.size() + m_writeSet.size());
    for (int handle : m_readSet)
        entries.push_back({handle, POLLIN, 0});
    // Only sockets with a connect in progress are watched for errors.
    for (int handle : m_writeSet)
        entries.push_back({handle, POLLOUT, 0});
    if (::poll(entries.data(), entries.size(), m_waitSeconds * 1000) < 1)
        return;
    const size_t readCount = m_readSet.size();
    std::vector<int> invalid;
    for (size_t i = 0; i < entries.size(); ++i) {
        const pollfd& entry = entries[i];
        bool reading = i < readCount;
        if (entry.revents & POLLNVAL)
            invalid.push_back(entry.fd);
        else if (reading && (entry.revents & (POLLIN | POLLERR | POLLHUP)))
            m_workingRead.push_back(entry.fd);
        else if (!reading && (entry.revents & (POLLERR | POLLHUP)))
            m_workingError.push_back(entry.fd);
        else if (!reading && (entry.revents & POLLOUT))
            m_workingWrite.push_back(entry.fd);
    }
    // A handle closed behind the queue's back would be reported on every pass: it is dropped.
    for (int handle : invalid) {
        removeHandle(m_readSet, handle);
        removeHandle(m_writeSet, handle);
        m_sockets.erase(handle);
    }
}
