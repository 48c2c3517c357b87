#pragma once

#include "base/VornEvent.h"
#include "base/VornMessageTarget.h"
#include "base/VornThread.h"
#include "browserlink/VornWebSocketListener.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>

class VornWebSocket;

// The browser-link thread: it owns the listener on 127.0.0.1 and every extension connection, and posts
// each text message it receives to the main window as WM_BROWSER_MESSAGE.
class VornWebSocketServer : public VornThread {
public:
    // Each wait of the loop; stop and the half-open sweep run at least this often.
    static constexpr int WAIT_MS = 3000;
    // The listener and up to 63 extension connections, as many as the link ever served.
    static constexpr size_t MAX_CONNECTIONS = 63;

    explicit VornWebSocketServer(VornMessageTarget& mainWindow,
                                 uint16_t port = VornWebSocketListener::DEFAULT_PORT);
    ~VornWebSocketServer() override;

    void run() override;
    void onStop() override;
    void onException(const std::string& text) override;

    // Called on the UI thread: stores the flag and has the server thread send "waiting" or "nowaiting" to
    // every connection past its handshake.
    void SetWaiting(bool waiting);
    bool waiting() const { return m_waiting; }

    // The bound port once the listener is open; 0 when it could not be opened. Waits for the thread to
    // get that far, up to the timeout (0 when it did not).
    uint16_t waitForListener(std::chrono::milliseconds timeout) const;
    // Connections currently held, for watching from another thread.
    size_t connectionCount() const { return m_connectionCount; }

    // Server-thread side, used by the listener and the connections.
    void addConnection(int handle, const sockaddr_in& peer);
    void deliver(std::string composedText);

private:
    void loop();
    void pollOnce();
    void broadcastRequests();
    void sweep();
    void removeConnection(std::list<std::unique_ptr<VornWebSocket>>::iterator connection);
    void wake();
    void finish();

    VornMessageTarget& m_mainWindow;
    uint16_t m_port;
    std::unique_ptr<VornWebSocketListener> m_listener;
    // Owned, in order of acceptance. Only the server thread touches the list and the sockets.
    std::list<std::unique_ptr<VornWebSocket>> m_connections;
    std::atomic<size_t> m_connectionCount{0};
    std::atomic<int> m_serverState{0};
    std::atomic<bool> m_waiting{false};
    std::atomic<uint16_t> m_boundPort{0};
    VornEvent m_listenerSettled;
    // Waiting broadcasts asked for by the UI thread, sent by the server thread in order.
    std::mutex m_requestLock;
    std::deque<bool> m_waitingRequests;
    // Wakes the loop's wait when a stop or a broadcast is asked for.
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
};
