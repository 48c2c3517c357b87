#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>

constexpr int32_t VORN_SOCKET_CLOSED = 0;
constexpr int32_t VORN_SOCKET_CONNECTING = 1;
constexpr int32_t VORN_SOCKET_CONNECTED = 2;
constexpr int32_t VORN_SOCKET_LISTENING = 3;

// A connection with no activity for longer than this is idle.
constexpr uint64_t VORN_SOCKET_IDLE_MS = 26000;

// One non-blocking IPv4 TCP socket with a connection state and the time of its last activity. Reading is
// left to the derived classes.
class VornSocket {
public:
    static constexpr int kInvalidSocket = -1;

    VornSocket();
    virtual ~VornSocket();
    VornSocket(const VornSocket&) = delete;
    VornSocket& operator=(const VornSocket&) = delete;

    // Closes an open socket; state and last activity become 0 in every case.
    virtual void close();
    // Starts a connect on a new socket (an open one is closed first). True when it connected or is
    // connecting; false, with errno set, when it failed at once.
    virtual bool connect(int type, const sockaddr_in& peer);
    // Throws code 9 on a closed socket and code 1 when the system refuses; 0 on success.
    virtual int set_async_mode(bool nonBlocking);
    virtual bool isConnected() const { return m_state == VORN_SOCKET_CONNECTED; }
    virtual bool isIdle() const;
    // Throws code 1 with context "socket()" when the system refuses.
    virtual void createSocket(int family, int type, int protocol);

    // One send that never raises SIGPIPE. error receives errno after the call, 0 on success.
    ssize_t send(const void* data, size_t length, int& error);
    uint64_t lastActivity() const { return m_lastActivity; }

    // Idle as seen at the given time; a clock that went back makes nothing idle.
    bool isIdleAt(uint64_t nowMs) const;
    // Takes over a socket made elsewhere (an accepted connection) with its peer, in the object's
    // blocking mode; the state is the caller's to set.
    void attach(int handle, const sockaddr_in& peer);

    int handle() const { return m_socket; }
    bool hasSocket() const { return m_socket != kInvalidSocket; }
    int32_t state() const { return m_state; }
    void setState(int32_t state) { m_state = state; }
    void setLastActivity(uint64_t ms) { m_lastActivity = ms; }
    const sockaddr_in& localAddress() const { return m_localAddress; }
    void setLocalAddress(const sockaddr_in& address) { m_localAddress = address; }
    const sockaddr_in& peerAddress() const { return m_peerAddress; }
    bool nonBlocking() const { return m_nonBlocking; }

protected:
    int32_t m_state = VORN_SOCKET_CLOSED;
    int m_socket = kInvalidSocket;
    uint64_t m_lastActivity = 0;
    sockaddr_in m_localAddress{};
    sockaddr_in m_peerAddress{};
    bool m_nonBlocking = true;
};

// True for the errors that mean "not yet": an interrupted call, try-again/would-block, in progress and
// already in progress. A failed receive with one of these is no error.
bool vornIsInProgressError(int error);

// "host[:port]" to an IPv4 address. "*" is any address; the port is the value of the leading digits of
// what follows the first colon (0 when none or when above 65535). A host that cannot be resolved leaves
// the family 0, with only the port set.
sockaddr_in vornResolveAddress(const std::string& text);
// The dotted text of the address.
std::string vornAddressText(const sockaddr_in& address);
// Four dot-separated numbers after trimming spaces and tabs: the first 1 to 255, the others 0 to 255,
// 7 to 15 characters of digits and dots in all; anything after the fourth number is not read.
bool vornIsDottedIPv4(const std::string& text);
