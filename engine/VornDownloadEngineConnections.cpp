// The engine's connection policy: how many connections it opens, how it connects them, and how it
// answers their errors.
#include "engine/VornDownloadEngine.h"

#include "base/VornText.h"
#include "engine/VornEngineReports.h"
#include "engine/VornEngineSocket.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentManager.h"
#include "protocols/VornAuth.h"
#include "protocols/VornSocketHttp.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>

std::unique_ptr<VornEngineSocket> VornDownloadEngine::MakeConnection(uint16_t number) {
    // FTP connections arrive with the FTP protocol; every URL goes through HTTP until then.
    return std::make_unique<VornSocketHttp>(number, this, m_record.url);
}

void VornDownloadEngine::AddConnection() {
    std::lock_guard<std::recursive_mutex> guard(m_connectionsLock);
    auto number = static_cast<uint16_t>(m_connections.size());
    m_connections.push_back(MakeConnection(number));
}

void VornDownloadEngine::RemoveLastConnection() {
    if (m_connections.size() < 2) {
        return;
    }
    m_connections.pop_back();
}

int64_t VornDownloadEngine::UsefulConnections() {
    return m_segmentManager->UsefulConnections();
}

bool VornDownloadEngine::CanSplit() {
    return m_segmentManager->CanSplit();
}

uint8_t VornDownloadEngine::MaximumConnections() const {
    return m_record.connections;
}

void VornDownloadEngine::CreateConnections() {
    std::lock_guard<std::recursive_mutex> guard(m_connectionsLock);
    AddConnection();
    auto n = static_cast<uint8_t>(m_connections.size());
    uint8_t maximum = MaximumConnections();
    if (m_mode == ENGINE_MODE_NORMAL && m_connectionsAtOnce && State() == ENGINE_STATE_DOWNLOADING &&
        n < maximum) {
        int64_t useful = UsefulConnections();
        if (useful > n && (m_resumability != RESUMABILITY_UNKOWN || n <= 1)) {
            int64_t count = 1;
            if (m_resumability == RESUMABILITY_OK) {
                count = std::min<int64_t>(maximum - n, useful - n);
                // Resumability is proven: all of them start together on even shares of what is left.
                m_segmentManager->CutEvenly(static_cast<int>(n + count));
            }
            for (int64_t i = 0; i < count; ++i) {
                AddConnection();
            }
            Log(LOG_LEVEL_DEBUG, "Normal-Mode Sockets Created ( " + std::to_string(count + 1) + " Sockets).");
        }
    }
    if (m_mode == ENGINE_MODE_TS && State() == ENGINE_STATE_DOWNLOADING && n < maximum) {
        int64_t count = std::min<int64_t>(TsPiecesLeft(n), maximum - n);
        for (int64_t i = 0; i < count; ++i) {
            AddConnection();
        }
        Log(LOG_LEVEL_DEBUG, "TS-Mode Sockets Created ( " + std::to_string(count + 1) + " Sockets).");
    }
    Log(LOG_LEVEL_INFO, "New Socket(s) Created. MaxAllowedConnection = " + std::to_string(maximum) +
                            " And ActiveSockets = " + std::to_string(n));
}

int64_t VornDownloadEngine::TsPiecesLeft(int64_t connections) const {
    return static_cast<int64_t>(m_segmentManager->SegmentCount()) - connections -
           static_cast<int64_t>(m_segmentManager->CompletedCount());
}

void VornDownloadEngine::OnReceivingChanged(int32_t delta) {
    m_receivingConnections = static_cast<uint8_t>(m_receivingConnections + delta);
    if (delta <= 0 || State() != ENGINE_STATE_DOWNLOADING) {
        return;
    }
    auto n = static_cast<uint8_t>(m_connections.size());
    bool normalRule = m_mode == ENGINE_MODE_NORMAL &&
                      (!m_connectionsAtOnce || n == 1 || (n == 2 && m_resumability == RESUMABILITY_OK));
    bool tsRule = m_mode == ENGINE_MODE_TS && n == 1;
    if ((normalRule || tsRule) && n < MaximumConnections() && m_receivingConnections == n && CanSplit()) {
        CreateConnections();
    }
}

void VornDownloadEngine::ApplyConnectionsChange() {
    // The owner only records the wish; the vector changes here, on the engine thread, so no
    // connection is created or destroyed under the feet of the readiness loop.
    std::lock_guard<std::recursive_mutex> guard(m_connectionsLock);
    m_connectionsChanged = false;
    uint8_t requested = m_requestedMaximum;
    uint8_t old = m_record.connections;
    if (requested == old) {
        PostEvent(ENGINE_EVENT_CONNECTIONS_APPLIED, "");
        return;
    }
    m_record.connections = requested;
    if (State() == ENGINE_STATE_STARTING) {
        return;
    }
    if (requested < old) {
        bool parked = std::any_of(m_connections.begin(), m_connections.end(), [](const auto& c) {
            return c->SocketState() == SOCKET_STATE_PARKED && !c->IsSuspended();
        });
        while (!parked && m_connections.size() > requested && m_connections.size() >= 2) {
            RemoveLastConnection();
        }
    } else if (State() == ENGINE_STATE_DOWNLOADING) {
        GrowConnections(old);
    }
    PostEvent(ENGINE_EVENT_CONNECTIONS_APPLIED, "");
    Log(LOG_LEVEL_DEBUG, "New Connections-Count ( " + std::to_string(requested) + " ) Applied on Engine");
}

void VornDownloadEngine::GrowConnections(uint8_t oldMaximum) {
    auto n = static_cast<int64_t>(m_connections.size());
    if (m_mode == ENGINE_MODE_TS) {
        if (std::min<int64_t>(TsPiecesLeft(n), m_record.connections - n) > 0) {
            CreateConnections();
        }
        return;
    }
    if (m_mode != ENGINE_MODE_NORMAL) {
        return;
    }
    bool oneByOne = !m_connectionsAtOnce && m_receivingConnections == oldMaximum && CanSplit();
    bool atOnce = m_connectionsAtOnce && m_resumability == RESUMABILITY_OK && UsefulConnections() > n;
    if (oneByOne || atOnce) {
        CreateConnections();
    }
}

void VornDownloadEngine::StartTransfer(VornEngineSocket* connection) {
    if (m_mode != ENGINE_MODE_HLS_PLAYLIST) {
        VornSegment* segment = nullptr;
        int result = m_segmentManager->AssignSegment(segment);
        if (result == VornSegmentManager::ASSIGN_ERROR) {
            FailDownload(L"Internal Error - Segmentation failed.");
            return;
        }
        if (result == VornSegmentManager::ASSIGN_NO_WORK) {
            connection->Reset(false, false);
            return;
        }
        connection->AttachSegment(segment);
    }
    connection->SendRequest();
}

bool VornDownloadEngine::ResolveInto(const std::string& host, uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons(port);
    return address.sin_addr.s_addr != 0 && address.sin_addr.s_addr != INADDR_NONE && port != 0;
}

bool VornDownloadEngine::ResolveHost() {
    return ResolveInto(m_record.url.host(), m_record.url.port(), m_serverAddress);
}

bool VornDownloadEngine::ResolveProxy() {
    return ResolveInto(m_proxy.host, m_proxy.port, m_proxyAddress);
}

void VornDownloadEngine::ConnectConnection(VornEngineSocket* connection) {
    bool viaProxy = m_proxy.enabled;
    const sockaddr_in& address = viaProxy ? m_proxyAddress : m_serverAddress;
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    Log(LOG_LEVEL_DEBUG, "Socket ( " + connection->IdText() + " )  Connecting to  " + text + ":" +
                             std::to_string(ntohs(address.sin_port)) + " ...");
    if (connection->ConnectTo(address)) {
        return;
    }
    if (!(viaProxy ? ResolveProxy() : ResolveHost())) {
        HandleConnectionError(connection, false,
                              viaProxy ? L"No Network connection or DNS failed.Proxy-Server is not reachable."
                                       : L"No Internet connection or DNS failed.");
        return;
    }
    if (!connection->ConnectTo(viaProxy ? m_proxyAddress : m_serverAddress)) {
        HandleConnectionError(connection, false,
                              viaProxy ? L"Can not Connect to Proxy Server." : L"Can't Connect to Host.");
    }
}

void VornDownloadEngine::HandleConnectionError(VornEngineSocket* connection, bool retryNow,
                                               const std::wstring& text) {
    Log(LOG_LEVEL_ERROR, "Handling Error - Socket ( " + connection->IdText() + " ) - SocketState = " +
                             connection->StateName() + " ErrorText = " + vornPercentEncode(text, true));
    // Any failure of a SOCKS handshake while starting (a refusal, a hang-up, silence) first tries the
    // proxy with the next older version.
    if (connection->SocketState() == SOCKET_STATE_SOCKS && connection->FallBackSocks()) {
        return;
    }
    VornSegment* segment = connection->Segment();
    if (segment != nullptr && segment->IsCompleted()) {
        Log(LOG_LEVEL_ERROR, "Socket ( " + connection->IdText() +
                                 " ) Segment is Completed but some error occurred.We ignore the error.");
        connection->SegmentCompleted();
        return;
    }
    std::wstring message = text.empty() ? L"Internal Error. Socket ( " + connection->IdTextW() + L" )" : text;
    if (m_resumability == RESUMABILITY_NOT_OK) {
        FailDownload(message);
        return;
    }
    if (State() == ENGINE_STATE_STARTING) {
        if (m_retriesLeft <= 0) {
            FailDownload(message);
            return;
        }
        Log(LOG_LEVEL_INFO,
            "RemainedRetryCount = " + std::to_string(m_retriesLeft) + " and Engine is going to try again.");
        --m_retriesLeft;
        connection->Reset(true, false);
        PostEvent(ENGINE_EVENT_STATE, CurrentStateLabel());
        return;
    }
    if (retryNow) {
        connection->Reset(true, false);
    } else {
        connection->Suspend();
    }
}
