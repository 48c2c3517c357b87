#pragma once

#include "base/VornFileWindows.h"
#include "base/VornUrl.h"
#include "engine/VornKqSocket.h"
#include "engine/VornSegmentClient.h"
#include "protocols/VornBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

class VornDirectReceive;
class VornDownloadEngine;
class VornSegment;
class VornSocksHandshake;
class VornTlsSession;

// Socket states of an engine connection.
constexpr int32_t SOCKET_STATE_IDLE = 0;
constexpr int32_t SOCKET_STATE_CONNECTING = 1;
constexpr int32_t SOCKET_STATE_CONNECTED = 2;
constexpr int32_t SOCKET_STATE_SOCKS = 3;
constexpr int32_t SOCKET_STATE_TUNNEL = 4;
constexpr int32_t SOCKET_STATE_TLS_HANDSHAKE = 5;
constexpr int32_t SOCKET_STATE_TLS = 6;
constexpr int32_t SOCKET_STATE_PARKED = 7;

// What Receive returns when nothing can be delivered yet (no bytes waiting, or an incomplete TLS record).
constexpr int32_t SOCKET_RECEIVE_PENDING = -9803;

constexpr uint32_t ENGINE_SOCKET_RECEIVE_CAPACITY = 32768;
constexpr uint32_t ENGINE_SOCKET_TLS_INPUT_CAPACITY = 24576;
constexpr uint64_t ENGINE_SOCKET_SUSPEND_MS = 4500;

// Base of every connection an engine opens: life cycle and socket states, connecting (directly or through a
// proxy), the SOCKS hand-off, TLS, the receive buffer, parking, and writing body bytes to the segment file.
class VornEngineSocket : public VornKqSocket, public VornSegmentClient {
public:
    VornEngineSocket(uint16_t number, VornDownloadEngine* engine, const VornUrl& url);
    ~VornEngineSocket() override;

    void close() override;

    void OnWritable() override;
    void OnSocketError(const std::wstring& text) override;
    void OnReadable() override;
    virtual bool ConnectTo(const sockaddr_in& address);
    virtual std::string StateName() const = 0;
    virtual uint32_t ReceiveSpace();
    bool IsReceivingBody() const override = 0;
    virtual void OnConnectionState(int32_t oldState, int32_t newState) = 0;
    virtual void OnReceived(int32_t count) = 0;
    bool Reset(bool restart, bool keepSlot) override = 0;
    virtual void SendRequest() = 0;
    virtual void ConsumeBody(int32_t count);
    // True while every byte the socket delivers is plain body for the segment's range, so it may go to
    // the file without passing through the receive buffer.
    virtual bool BodyGoesToSegmentFile() const { return false; }
    virtual void PostStatus(const std::string& text);
    virtual void UpdateStatus();

    void SetState(int32_t newState);
    void SetUrl(const VornUrl& url);
    // Attaches the connection to a segment (the engine's StartTransfer); null detaches.
    void AttachSegment(VornSegment* segment);
    int32_t Send(const char* data, int32_t length);
    int32_t Receive(char* destination, int32_t size);
    bool StartTls();
    // Before a request: discards stale plain bytes waiting on the socket; under TLS they go into the session
    // instead (records such as session tickets cannot be skipped). False when the peer closed.
    bool DrainBeforeSend();
    void Suspend();
    void RetrieveFromSuspend();
    void SegmentCompleted();
    void SocksStep();
    // While the engine is starting, a failed SOCKS handshake is tried again over the next older version
    // on a new connection; false when there is none (or the engine is past starting).
    bool FallBackSocks();
    std::string IdText() const override;
    void ReleaseSegment() override;
    std::wstring IdTextW() const;
    void Log(int level, const std::string& text);

    int32_t SocketState() const { return m_socketState; }
    uint16_t Number() const { return m_number; }
    bool IsSuspended() const { return m_suspended; }
    void SetSuspended(bool suspended) { m_suspended = suspended; }
    bool IsTunnelReady() const { return m_tunnelReady; }
    VornSegment* Segment() const { return m_segment; }
    VornFileWindows& SegmentFile() { return *m_segmentFile; }
    // Where the segment's next body byte goes: the work file at the range's offset, or a playlist
    // piece's own file. -1 until the first body bytes opened it.
    int BodyHandle() const;
    int64_t BodyOffset() const;
    // The last byte the request asked for, -1 when it asked to the end of the file.
    void SetRequestedEnd(int64_t end) { m_requestedEnd = end; }
    int64_t RequestedEnd() const { return m_requestedEnd; }
    VornBuffer<char>& ReceiveBuffer() { return *m_receiveBuffer; }
    const VornUrl& Url() const { return m_url; }
    VornDownloadEngine* Engine() const { return m_engine; }

protected:
    // True when a secure URL's bytes go through TLS now (no proxy, or the tunnel is up).
    bool UsesTlsNow() const;
    bool ProxyEnabled() const;
    int ProxyType() const;

private:
    // False when nothing was delivered (nothing waiting, or the connection ended).
    bool ReceiveStep();
    bool StartSocks(int32_t oldState);
    bool SocksReceiveStep();
    void SendSocksMessage();
    void SocksFailed(const std::wstring& reason);
    void TakeSocksLeftover();
    void TlsHandshakeReadable();
    int TlsHandshakeStep();
    int32_t TlsEncryptSend(const char* data, int32_t length);
    int32_t TlsDecrypt(char* destination, int32_t size);
    void TlsShutdown();
    void MatchTlsInputToUrl();
    bool WriteBody();
    bool OpenBodyTarget();
    bool DirectReceivePossible() const;
    // The receive step for body bytes that go from the socket to the segment file inside the kernel; false
    // when it took nothing and the socket is to be read the ordinary way. delivered: as for ReceiveStep.
    bool DirectReceiveStep(bool& delivered);
    // Counts body bytes that reached the segment file (failed: some did not); false when the segment
    // completed or the connection failed.
    bool CountWritten(int64_t written, bool failed);
    int32_t RawReceive(char* destination, int32_t size);

    struct StreamSizes {
        uint32_t header = 0;
        uint32_t trailer = 0;
        uint32_t maximumMessage = 0;
        uint32_t buffers = 0;
        uint32_t blockSize = 0;
    };

    StreamSizes m_streamSizes;
    VornSegment* m_segment = nullptr;
    std::unique_ptr<VornFileWindows> m_segmentFile;
    // The segment's bytes go to the download's work file (not a piece file of its own).
    bool m_writesWorkFile = false;
    int64_t m_requestedEnd = -1;
    std::unique_ptr<VornBuffer<char>> m_receiveBuffer;
    std::unique_ptr<VornDirectReceive> m_direct;
    VornUrl m_url;
    uint16_t m_number = 0;
    uint64_t m_suspendDuration = 0;
    uint64_t m_suspendStart = 0;
    bool m_suspended = false;
    VornDownloadEngine* m_engine = nullptr;
    int32_t m_socketState = SOCKET_STATE_IDLE;
    bool m_tunnelReady = false;
    std::unique_ptr<VornSocksHandshake> m_socks;
    std::unique_ptr<VornTlsSession> m_tls;
    std::unique_ptr<VornBuffer<char>> m_tlsInput;
    bool m_tlsContextExists = false;
};
