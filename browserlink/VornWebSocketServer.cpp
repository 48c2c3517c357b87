#include "browserlink/VornWebSocketServer.h"

#include "base/VornClock.h"
#include "base/VornException.h"
#include "browserlink/VornWebSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

VornWebSocketServer::VornWebSocketServer(VornMessageTarget& mainWindow, uint16_t port)
    : m_mainWindow(mainWindow), m_port(port) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_wakeRead = ends[0];
        m_wakeWrite = ends[1];
    }
}

VornWebSocketServer::~VornWebSocketServer() {
    // The body uses this object's members: it must end before they go.
    stop();
    waitUntilDone();
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
}

void VornWebSocketServer::run() {
    m_listener = std::make_unique<VornWebSocketListener>(*this, m_port);
    if (m_serverState < 2 && m_listener->open())
        m_boundPort = m_listener->boundPort();
    m_listenerSettled.signal();
    if (m_boundPort != 0)
        loop();
    finish();
}

void VornWebSocketServer::loop() {
    while (m_serverState < 2) {
        pollOnce();
        broadcastRequests();
        sweep();
    }
}

void VornWebSocketServer::onStop() {
    m_serverState = 2;
    wake();
}

void VornWebSocketServer::onException(const std::string&) {
    // An exception ends run(): nothing is left to serve the connections.
    onStop();
    finish();
}

void VornWebSocketServer::finish() {
    m_connections.clear();
    m_connectionCount = 0;
    if (m_listener)
        m_listener->close();
    m_listenerSettled.signal();
}

void VornWebSocketServer::SetWaiting(bool waiting) {
    m_waiting = waiting;
    // A thread that has ended sends nothing, so there is nothing to queue for it.
    if (runState() == VORN_THREAD_FINISHED)
        return;
    {
        std::lock_guard<std::mutex> guard(m_requestLock);
        m_waitingRequests.push_back(waiting);
    }
    wake();
}

uint16_t VornWebSocketServer::waitForListener(std::chrono::milliseconds timeout) const {
    if (!m_listenerSettled.wait(timeout))
        return 0;
    return m_boundPort;
}

void VornWebSocketServer::wake() {
    if (m_wakeWrite >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up.
        [[maybe_unused]] const ssize_t ignored = ::write(m_wakeWrite, &byte, 1);
    }
}

void VornWebSocketServer::pollOnce() {
    std::vector<pollfd> watched;
    watched.push_back({m_wakeRead, POLLIN, 0});
    watched.push_back({m_listener->handle(), POLLIN, 0});
    for (const auto& connection : m_connections)
        watched.push_back({connection->handle(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), WAIT_MS) < 1)
        return;
    if (watched[0].revents) {
        char drained[64];
        while (::read(m_wakeRead, drained, sizeof drained) > 0) {
        }
    }
    if (watched[1].revents & POLLIN)
        m_listener->onReadable();
    // New connections went to the end of the list: only the ones that were polled are looked at.
    auto connection = m_connections.begin();
    for (size_t i = 2; i < watched.size() && connection != m_connections.end(); ++i) {
        if (watched[i].revents & POLLIN)
            (*connection)->onReadable();
        else if (watched[i].revents & (POLLERR | POLLHUP | POLLNVAL))
            (*connection)->onSocketError("Error on Socket.");
        if ((*connection)->failed())
            removeConnection(connection++);
        else
            ++connection;
    }
}

void VornWebSocketServer::broadcastRequests() {
    std::deque<bool> requests;
    {
        std::lock_guard<std::mutex> guard(m_requestLock);
        requests.swap(m_waitingRequests);
    }
    for (bool waiting : requests) {
        for (const auto& connection : m_connections) {
            // A failed notice is ignored; the read path finds a dead connection.
            if (connection->connectionState() > WEBSOCKET_STATE_HANDSHAKE)
                connection->sendText(waiting ? "waiting" : "nowaiting");
        }
    }
}

void VornWebSocketServer::sweep() {
    const uint64_t now = vornNowMs();
    for (auto connection = m_connections.begin(); connection != m_connections.end();) {
        if ((*connection)->isIdleAt(now))
            removeConnection(connection++);
        else
            ++connection;
    }
}

void VornWebSocketServer::addConnection(int handle, const sockaddr_in& peer) {
    if (m_connections.size() >= MAX_CONNECTIONS) {
        ::close(handle);
        return;
    }
    auto connection = std::make_unique<VornWebSocket>(*this);
    try {
        connection->attach(handle, peer);
    } catch (const VornException&) {
        // The connection now owns the handle and closes it.
        return;
    }
    connection->setLastActivity(vornNowMs());
    connection->setState(VORN_SOCKET_CONNECTED);
    m_connections.push_back(std::move(connection));
    m_connectionCount = m_connections.size();
}

void VornWebSocketServer::removeConnection(std::list<std::unique_ptr<VornWebSocket>>::iterator connection) {
    // Destroying the connection closes its socket; no close frame is sent.
    m_connections.erase(connection);
    m_connectionCount = m_connections.size();
}

void VornWebSocketServer::deliver(std::string composedText) {
    m_mainWindow.post(WM_BROWSER_MESSAGE, std::move(composedText));
}
