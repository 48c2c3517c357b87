#include "protocols/VornSocketHttp.h"

#include "engine/VornDownloadEngine.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentManager.h"
#include "protocols/VornAuth.h"
#include "protocols/VornChunkDecoder.h"

#include <algorithm>

namespace {

// Marks a connection that receives body bytes, in the download window.
const char* const kLabelReceiving = "Receiving...";

} // namespace

VornSocketHttp::VornSocketHttp(uint16_t number, VornDownloadEngine* engine, const VornUrl& url)
    : VornEngineSocket(number, engine, url) {}

VornSocketHttp::~VornSocketHttp() {
    Reset(false, false);
    PostStatus("deleted");
}

std::string VornSocketHttp::HttpStateName(int32_t state) {
    static const char* const names[] = {" HTTP_STATE_VOID ",
                                        " HTTP_STATE_CONNECT_SENT ",
                                        " HTTP_STATE_PARSING_CONNECT_HEADER ",
                                        " HTTP_STATE_GET_SENT ",
                                        " HTTP_STATE_PARSING_HTTP_HEADER ",
                                        " HTTP_STATE_PROXY_AUTH_NEED ",
                                        " HTTP_STATE_WWW_AUTH_NEED ",
                                        " HTTP_STATE_REDIRECTING ",
                                        " HTTP_STATE_RECEIVING "};
    if (state < 0 || state > HTTP_STATE_RECEIVING) {
        return "Unkown";
    }
    return names[state];
}

std::string VornSocketHttp::StateName() const {
    return HttpStateName(m_httpState);
}

void VornSocketHttp::ConnectionError(const std::wstring& text) {
    Engine()->HandleConnectionError(this, false, text);
}

bool VornSocketHttp::ProxyIsHttp() const {
    return Engine()->ProxyEnabled() && Engine()->ProxySettings().type == 0;
}

uint32_t VornSocketHttp::ReceiveSpace() {
    VornBuffer<char>& buffer = ReceiveBuffer();
    if (m_httpState == HTTP_STATE_RECEIVING) {
        if (m_chunkDecoder) {
            return std::min(buffer.FreeSpace(), m_chunkDecoder->PendingFreeSpace());
        }
        return VornEngineSocket::ReceiveSpace();
    }
    return buffer.FreeSpace();
}

bool VornSocketHttp::BodyGoesToSegmentFile() const {
    // A playlist is parsed and a piece's length may still be unknown: those take the ordinary way.
    return m_httpState == HTTP_STATE_RECEIVING && !m_chunkDecoder && Engine()->Mode() == ENGINE_MODE_NORMAL;
}

void VornSocketHttp::OnConnectionState(int32_t, int32_t newState) {
    VornDownloadEngine* engine = Engine();
    switch (newState) {
    case SOCKET_STATE_IDLE:
    case SOCKET_STATE_PARKED:
        SetHttpState(HTTP_STATE_VOID);
        break;
    case SOCKET_STATE_CONNECTED:
        if (!Url().secure()) {
            engine->StartTransfer(this);
        } else if (ProxyIsHttp()) {
            SendProxyConnect();
        } else if (!engine->ProxyEnabled() && !StartTls()) {
            ConnectionError(L"SSL Initialization Error.");
        }
        break;
    case SOCKET_STATE_TUNNEL:
        if (!Url().secure()) {
            engine->StartTransfer(this);
        } else if (!StartTls()) {
            ConnectionError(L"SSL Initialization Failed.");
        }
        break;
    case SOCKET_STATE_TLS:
        engine->StartTransfer(this);
        break;
    default:
        break;
    }
}

bool VornSocketHttp::Reset(bool restart, bool keepSlot) {
    close();
    m_chunkDecoder.reset();
    m_statusCode = 0;
    m_serverRound = 0;
    m_proxyRound = 0;
    m_redirectTarget.clear();
    m_challengeBody.Clear();
    m_stateAfterBody = HTTP_STATE_VOID;
    VornDownloadEngine* engine = Engine();
    if (restart && (engine->State() == ENGINE_STATE_STARTING || engine->SegmentManager()->CanSplit())) {
        SetState(keepSlot ? SOCKET_STATE_PARKED : SOCKET_STATE_IDLE);
        return keepSlot;
    }
    SetSuspended(false);
    SetState(SOCKET_STATE_PARKED);
    return false;
}

void VornSocketHttp::SetHttpState(int32_t newState) {
    VornDownloadEngine* engine = Engine();
    const std::string oldName = StateName();
    const int32_t old = m_httpState;
    if (engine->Mode() != ENGINE_MODE_HLS_PLAYLIST) {
        if (old != HTTP_STATE_RECEIVING && newState == HTTP_STATE_RECEIVING) {
            VornSegment* segment = Segment();
            if (engine->Mode() == ENGINE_MODE_NORMAL && engine->Resumability() == RESUMABILITY_UNKOWN &&
                segment != nullptr && segment->m_start + segment->m_received > 0) {
                // A ranged request that did not start at 0 was answered with content.
                engine->SetResumability(RESUMABILITY_OK);
            }
            engine->OnReceivingChanged(+1);
        } else if (old == HTTP_STATE_RECEIVING && newState != HTTP_STATE_RECEIVING) {
            engine->OnReceivingChanged(-1);
        }
    }
    m_httpState = newState;
    if (newState == HTTP_STATE_RECEIVING) {
        PostStatus(kLabelReceiving);
    } else if (newState == HTTP_STATE_PROXY_AUTH_NEED) {
        if (!m_proxyChallenge.empty() && engine->ProxyAuthType() == AUTH_TYPE_UNSUPPORTED) {
            engine->SetErrorCode(0);
            ConnectionError(L"Unsupported Proxy-Authentication Scheme.");
        } else if (engine->ProxyAuthType() == AUTH_TYPE_UNSUPPORTED || !engine->ProxyAuth()) {
            ConnectionError(L"Proxy Authentication Reply without Auth-Scheme. ");
        } else if (Url().secure()) {
            SendProxyConnect();
        } else {
            SendRequest();
        }
    } else if (newState == HTTP_STATE_WWW_AUTH_NEED) {
        if (!m_serverChallenge.empty() && engine->ServerAuthType() == AUTH_TYPE_UNSUPPORTED) {
            engine->SetErrorCode(0);
            ConnectionError(L"Unsupported WWW-Authentication Scheme.");
        } else if (engine->ServerAuthType() == AUTH_TYPE_UNSUPPORTED || !engine->ServerAuth()) {
            ConnectionError(L"Server Authentication Reply without Auth-Scheme. ");
        } else {
            SendRequest();
        }
    } else if (newState == HTTP_STATE_REDIRECTING) {
        FollowRedirect();
    }
    const std::string newName = HttpStateName(newState);
    if (newName != oldName) {
        Log(LOG_LEVEL_DEBUG,
            "HttpStatus Changed for Socket (  " + IdText() + " ) " + oldName + " -> " + newName);
    }
}
