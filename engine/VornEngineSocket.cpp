#include "engine/VornEngineSocket.h"

#include "base/VornDirectReceive.h"
#include "base/VornException.h"
#include "base/VornNativePath.h"
#include "base/VornText.h"
#include "base/VornTlsSession.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornKQueue.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentManager.h"
#include "protocols/VornSocksHandshake.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Short texts shown per connection in the download window.
const char* const kLabelDisconnected = "Disconnected";
const char* const kLabelConnecting = "Connecting...";
const char* const kLabelCompleted = "Completed";

} // namespace

VornEngineSocket::VornEngineSocket(uint16_t number, VornDownloadEngine* engine, const VornUrl& url)
    : m_segmentFile(std::make_unique<VornFileWindows>()),
      m_receiveBuffer(std::make_unique<VornBuffer<char>>(ENGINE_SOCKET_RECEIVE_CAPACITY)), m_url(url),
      m_number(number), m_suspendStart(static_cast<uint64_t>(VornDownloadEngine::NowMillis())),
      m_engine(engine) {
    MatchTlsInputToUrl();
    m_engine->SetLastWatchdogTime(0);
    UpdateStatus();
}

VornEngineSocket::~VornEngineSocket() {
    m_engine->EventQueue()->Unregister(this);
    TlsShutdown();
    if (m_segment != nullptr) {
        m_segment->Attach(nullptr);
    }
    VornSocket::close();
}

void VornEngineSocket::close() {
    // The close notification goes out while the socket is still open.
    if (m_tlsContextExists) {
        TlsShutdown();
    }
    VornSocket::close();
    if (m_segment != nullptr) {
        m_segment->Attach(nullptr);
    }
    m_segment = nullptr;
    m_segmentFile->close();
    m_writesWorkFile = false;
    m_requestedEnd = -1;
    m_receiveBuffer->Clear();
    if (m_tlsInput) {
        m_tlsInput->Clear();
    }
    if (m_socks) {
        m_socks->Restart();
    }
    m_tunnelReady = false;
}

void VornEngineSocket::ReleaseSegment() {
    m_segmentFile->close();
    m_writesWorkFile = false;
    m_segment = nullptr;
}

int VornEngineSocket::BodyHandle() const {
    if (m_writesWorkFile) {
        return m_engine->SegmentManager()->WorkFileHandle();
    }
    return m_segmentFile->isOpen() ? m_segmentFile->handle() : -1;
}

int64_t VornEngineSocket::BodyOffset() const {
    // A piece's file holds its bytes from its start; the work file holds the whole download.
    return m_writesWorkFile ? m_segment->m_start + m_segment->m_received : m_segment->m_received;
}

void VornEngineSocket::MatchTlsInputToUrl() {
    if (m_url.secure() && !m_tlsInput) {
        m_tlsInput = std::make_unique<VornBuffer<char>>(ENGINE_SOCKET_TLS_INPUT_CAPACITY);
    } else if (!m_url.secure()) {
        m_tlsInput.reset();
    }
}

std::string VornEngineSocket::IdText() const {
    return std::to_string(m_number + 1);
}

std::wstring VornEngineSocket::IdTextW() const {
    return std::to_wstring(m_number + 1);
}

void VornEngineSocket::Log(int level, const std::string& text) {
    m_engine->Log(level, text);
}

bool VornEngineSocket::ProxyEnabled() const {
    return m_engine->ProxyEnabled();
}

int VornEngineSocket::ProxyType() const {
    return m_engine->ProxySettings().type;
}

bool VornEngineSocket::UsesTlsNow() const {
    return m_url.secure() && (!ProxyEnabled() || m_tunnelReady);
}

void VornEngineSocket::SetState(int32_t newState) {
    const int32_t old = m_socketState;
    m_socketState = newState;
    UpdateStatus();
    switch (newState) {
    case SOCKET_STATE_IDLE:
        m_engine->EventQueue()->Unregister(this);
        setLastActivity(0);
        setState(0);
        m_engine->SetLastWatchdogTime(0);
        break;
    case SOCKET_STATE_CONNECTING:
        m_engine->EventQueue()->Register(this);
        break;
    case SOCKET_STATE_CONNECTED:
        setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
        setState(2);
        if (ProxyEnabled() && ProxyType() == 1 && StartSocks(old)) {
            return;
        }
        break;
    case SOCKET_STATE_TUNNEL:
        m_tunnelReady = true;
        break;
    case SOCKET_STATE_PARKED:
        m_engine->EventQueue()->Unregister(this);
        setLastActivity(0);
        setState(0);
        break;
    default:
        break;
    }
    OnConnectionState(old, newState);
}

void VornEngineSocket::SetUrl(const VornUrl& url) {
    m_url = url;
    MatchTlsInputToUrl();
    m_engine->UpdateUrl(url);
    if (m_socks) {
        m_socks->SetTarget(url);
    }
}

void VornEngineSocket::AttachSegment(VornSegment* segment) {
    m_segment = segment;
    if (segment == nullptr) {
        return;
    }
    segment->Attach(this);
    if (m_engine->Mode() == ENGINE_MODE_TS) {
        // Every piece of a playlist has a URL of its own.
        m_engine->SegmentManager()->PieceUrl(segment->m_index, m_url);
        MatchTlsInputToUrl();
    }
}

bool VornEngineSocket::ConnectTo(const sockaddr_in& address) {
    const bool result = connect(SOCK_STREAM, address);
    if (state() == 1) {
        SetState(SOCKET_STATE_CONNECTING);
    } else if (state() == 2) {
        m_engine->EventQueue()->Register(this);
        SetState(SOCKET_STATE_CONNECTED);
    }
    return result;
}

void VornEngineSocket::OnWritable() {
    if (hasSocket()) {
        SetState(SOCKET_STATE_CONNECTED);
    }
}

void VornEngineSocket::OnSocketError(const std::wstring& text) {
    if (hasSocket()) {
        m_engine->HandleConnectionError(this, false, text);
    }
}

void VornEngineSocket::OnReadable() {
    if (!hasSocket()) {
        return;
    }
    if (m_socketState == SOCKET_STATE_TLS_HANDSHAKE) {
        TlsHandshakeReadable();
        return;
    }
    // Bytes the TLS session holds beyond what the buffer could take do not make the socket readable again,
    // so they are delivered now.
    for (int round = 0; round < 256 && ReceiveStep(); ++round) {
        if (!hasSocket() || !m_tls || m_tls->PendingPlain() == 0 || !UsesTlsNow() ||
            m_socketState == SOCKET_STATE_TLS_HANDSHAKE || ReceiveSpace() == 0) {
            break;
        }
    }
}

uint32_t VornEngineSocket::ReceiveSpace() {
    const uint32_t space = m_receiveBuffer->FreeSpace();
    if (m_segment != nullptr && m_segment->RemainingBytes() >= 0 &&
        m_segment->RemainingBytes() <= static_cast<int64_t>(space)) {
        return static_cast<uint32_t>(m_segment->RemainingBytes());
    }
    return space;
}

bool VornEngineSocket::ReceiveStep() {
    if (m_socketState == SOCKET_STATE_SOCKS) {
        return SocksReceiveStep();
    }
    bool delivered = false;
    if (DirectReceivePossible() && DirectReceiveStep(delivered)) {
        return delivered;
    }
    uint32_t space = ReceiveSpace();
    // Body bytes draw from the engine's bandwidth limit as they are read; nothing is read while it is spent.
    const bool metered = IsReceivingBody() && m_socketState != SOCKET_STATE_SOCKS;
    if (metered) {
        const int64_t allowed = m_engine->ReadAllowance();
        if (allowed <= 0) {
            return false;
        }
        space = static_cast<uint32_t>(std::min<int64_t>(space, allowed));
    }
    char* end = m_receiveBuffer->Data() + m_receiveBuffer->Length();
    const int32_t n = Receive(end, static_cast<int32_t>(space));
    if (n > 0) {
        m_receiveBuffer->Grow(static_cast<uint32_t>(n));
        if (metered) {
            m_engine->ReadDone(n);
        }
    } else if (n == SOCKET_RECEIVE_PENDING) {
        return false;
    }
    OnReceived(n);
    return n > 0;
}

bool VornEngineSocket::DirectReceivePossible() const {
    return m_segment != nullptr && BodyHandle() >= 0 && m_receiveBuffer->Length() == 0 && !UsesTlsNow() &&
           m_socketState != SOCKET_STATE_SOCKS && BodyGoesToSegmentFile();
}

// Plain body bytes need neither parsing nor decoding: they go from the socket to the segment file in the
// kernel, a larger step at a time, and the receive buffer stays empty. Counting and completion are those of
// WriteBody. False when the step took nothing and the socket is to be read the ordinary way.
bool VornEngineSocket::DirectReceiveStep(bool& delivered) {
    if (!m_direct) {
        m_direct = std::make_unique<VornDirectReceive>();
    }
    const int64_t remaining = m_segment->RemainingBytes();
    if (remaining <= 0) {
        return true;
    }
    // A step never jumps over the last stretch before the segment's end: the progress there is what lets
    // this connection absorb the next range when that range has not started yet.
    int64_t limit = std::min<int64_t>(remaining, static_cast<int64_t>(m_direct->quantum()));
    if (remaining >= VornSegmentManager::ROLLBACK_WINDOW) {
        limit = std::min<int64_t>(limit, remaining - VornSegmentManager::ROLLBACK_WINDOW + 1);
    }
    limit = std::min<int64_t>(limit, m_engine->ReadAllowance());
    if (limit <= 0) {
        return true;
    }
    size_t moved = 0;
    const VornDirectReceive::Result result =
        m_direct->moveAt(handle(), BodyHandle(), BodyOffset(), static_cast<size_t>(limit), moved);
    setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
    switch (result) {
    case VornDirectReceive::DIRECT_MOVED:
        m_engine->ReadDone(static_cast<int64_t>(moved));
        delivered = CountWritten(static_cast<int64_t>(moved), false);
        return true;
    case VornDirectReceive::DIRECT_PENDING:
        return true;
    case VornDirectReceive::DIRECT_CLOSED:
        OnReceived(0);
        return true;
    case VornDirectReceive::DIRECT_SOCKET_ERROR:
        OnReceived(-1);
        return true;
    case VornDirectReceive::DIRECT_FILE_ERROR:
        CountWritten(static_cast<int64_t>(moved), true);
        return true;
    case VornDirectReceive::DIRECT_UNSUPPORTED:
        break;
    }
    // The object remembers a platform or file system without the way; later steps read as usual at once.
    return false;
}

int32_t VornEngineSocket::RawReceive(char* destination, int32_t size) {
    if (size <= 0) {
        return SOCKET_RECEIVE_PENDING;
    }
    const ssize_t n = ::recv(handle(), destination, static_cast<size_t>(size), 0);
    setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
    if (n < 0) {
        return vornIsInProgressError(errno) ? SOCKET_RECEIVE_PENDING : -1;
    }
    return static_cast<int32_t>(n);
}

int32_t VornEngineSocket::Receive(char* destination, int32_t size) {
    if (!UsesTlsNow() || !m_tls) {
        return RawReceive(destination, size);
    }
    const int32_t n =
        RawReceive(m_tlsInput->Data() + m_tlsInput->Length(), static_cast<int32_t>(m_tlsInput->FreeSpace()));
    if (n == 0 && m_tls->PendingPlain() == 0) {
        return 0;
    }
    if (n < 0 && n != SOCKET_RECEIVE_PENDING) {
        return n;
    }
    if (n > 0) {
        m_tlsInput->Grow(static_cast<uint32_t>(n));
    }
    const int32_t delivered = TlsDecrypt(destination, size);
    // After the peer's close, an incomplete record can never complete.
    return n == 0 && delivered == SOCKET_RECEIVE_PENDING ? 0 : delivered;
}

int32_t VornEngineSocket::Send(const char* data, int32_t length) {
    if (m_url.secure() && (!ProxyEnabled() || m_tunnelReady)) {
        return TlsEncryptSend(data, length);
    }
    int error = 0;
    const int32_t sent = static_cast<int32_t>(send(data, static_cast<size_t>(length), error));
    setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
    return sent;
}

// Normal downloads write into the one work file at the range's offset; a playlist piece has a file of its
// own, begun anew when the piece starts from its first byte.
bool VornEngineSocket::OpenBodyTarget() {
    if (m_engine->Mode() != ENGINE_MODE_TS) {
        if (m_segment->m_received == 0) {
            m_engine->PostEvent(ENGINE_EVENT_SEGMENT_RESTARTED, "");
        }
        m_writesWorkFile = m_engine->SegmentManager()->OpenWorkFile();
        return m_writesWorkFile;
    }
    if (m_segment->m_received == 0) {
        if (auto native = vornNativePath(m_segment->SegmentFilePath())) {
            ::unlink(native->c_str());
        }
        m_engine->PostEvent(ENGINE_EVENT_SEGMENT_RESTARTED, "");
    }
    try {
        m_segmentFile->open(m_segment->SegmentFilePath(), VORN_FILE_WRITE | VORN_FILE_CREATE);
    } catch (const VornException&) {
        return false;
    }
    return true;
}

void VornEngineSocket::ConsumeBody(int32_t) {
    if (m_segment == nullptr) {
        m_receiveBuffer->Clear();
        return;
    }
    if (BodyHandle() < 0) {
        if (!OpenBodyTarget()) {
            m_receiveBuffer->Clear();
            m_engine->HandleConnectionError(this, false, L"Failed To Open Segment-File.");
            return;
        }
        if (m_engine->State() == ENGINE_STATE_STARTING) {
            m_engine->SetState(ENGINE_STATE_DOWNLOADING);
            if (!WriteBody()) {
                return;
            }
            const int32_t state = m_engine->State();
            if (state != ENGINE_STATE_MERGING && state != ENGINE_STATE_COMPLETED &&
                m_engine->Record().connections > 1 && m_engine->SegmentManager()->CanSplit()) {
                m_engine->CreateConnections();
            }
            return;
        }
    }
    WriteBody();
}

bool VornEngineSocket::WriteBody() {
    VornSegment* segment = m_segment;
    const int64_t n =
        std::max<int64_t>(std::min<int64_t>(m_receiveBuffer->Length(), segment->RemainingBytes()), 0);
    int64_t written = 0;
    const char* data = m_receiveBuffer->Data();
    off_t offset = static_cast<off_t>(BodyOffset());
    while (written < n) {
        const ssize_t put = ::pwrite(BodyHandle(), data + written, static_cast<size_t>(n - written),
                                     offset + static_cast<off_t>(written));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        written += put;
    }
    // Bytes beyond the segment's end belong to another connection's range.
    m_receiveBuffer->Clear();
    return CountWritten(written, written < n);
}

bool VornEngineSocket::CountWritten(int64_t written, bool failed) {
    VornSegment* segment = m_segment;
    if (failed) {
        // Only what reached the file counts, so the segment never claims more than its file holds.
        if (written > 0 && segment->AddProgress(written)) {
            SegmentCompleted();
            return false;
        }
        m_engine->HandleConnectionError(this, false, L"Failed To Write Data On Disk. Seems Disk is full.");
        return false;
    }
    if (segment->AddProgress(written)) {
        SegmentCompleted();
        return false;
    }
    // The range grew past what was asked for (it absorbed the next one): the server sends no more on
    // this request, so the rest is asked for anew.
    if (m_segment == segment && m_requestedEnd >= 0 &&
        segment->m_start + segment->m_received > m_requestedEnd) {
        Log(LOG_LEVEL_DEBUG,
            "Socket ( " + IdText() + " ) received its requested range; it asks again for the rest.");
        Reset(true, false);
        return false;
    }
    return true;
}

void VornEngineSocket::SegmentCompleted() {
    if (m_segment != nullptr) {
        Log(LOG_LEVEL_INFO, "Segment Completed For  Socket ( " + IdText() +
                                " ) SegmentNo = " + std::to_string(m_segment->m_index) +
                                " FileNumber= " + std::to_string(m_segment->m_fileNumber));
    }
    m_engine->SegmentManager()->CheckFinished();
    const int32_t state = m_engine->State();
    Reset(state != ENGINE_STATE_MERGING && state != ENGINE_STATE_COMPLETED, false);
}

void VornEngineSocket::Suspend() {
    m_suspended = true;
    if (Reset(true, true)) {
        m_suspendDuration = ENGINE_SOCKET_SUSPEND_MS;
        m_suspendStart = static_cast<uint64_t>(VornDownloadEngine::NowMillis());
        Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " )  is going to Suspend-State for " +
                                 std::to_string(ENGINE_SOCKET_SUSPEND_MS) + " mili seconds");
    } else {
        m_suspended = false;
    }
}

void VornEngineSocket::RetrieveFromSuspend() {
    if (!m_suspended) {
        return;
    }
    const uint64_t now = static_cast<uint64_t>(VornDownloadEngine::NowMillis());
    const uint64_t elapsed = m_suspendStart == 0 ? 0 : now - m_suspendStart;
    if (elapsed <= ENGINE_SOCKET_SUSPEND_MS) {
        return;
    }
    m_suspended = false;
    Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " )  Retrived From Suspend State.");
    SetState(SOCKET_STATE_IDLE);
}

void VornEngineSocket::PostStatus(const std::string& text) {
    if (!text.empty()) {
        m_engine->PostEvent(ENGINE_EVENT_CONNECTION_STATUS, IdText() + "@" + text);
    }
}

void VornEngineSocket::UpdateStatus() {
    switch (m_socketState) {
    case SOCKET_STATE_IDLE:
        PostStatus(kLabelDisconnected);
        break;
    case SOCKET_STATE_CONNECTING:
        PostStatus(kLabelConnecting);
        break;
    case SOCKET_STATE_SOCKS:
        PostStatus("SOCKS Handshaking...");
        break;
    case SOCKET_STATE_TLS_HANDSHAKE:
        PostStatus("SSL Handshaking...");
        break;
    case SOCKET_STATE_PARKED:
        PostStatus(m_suspended ? kLabelDisconnected : kLabelCompleted);
        break;
    default:
        break;
    }
}
