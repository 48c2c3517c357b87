#include "base/VornUrl.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornSegment.h"
#include "protocols/VornAuth.h"
#include "protocols/VornHttpRequestText.h"
#include "protocols/VornSocketHttp.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string formatRange(int64_t from, int64_t to, bool withEnd) {
    char text[64];
    if (withEnd) {
        std::snprintf(text, sizeof text, "%" PRId64 "-%" PRId64, from, to);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 "-", from);
    }
    return text;
}

void maskAfter(std::string& text, const std::string& marker) {
    const size_t found = text.find(marker);
    if (found == std::string::npos) {
        return;
    }
    for (size_t at = found + marker.size(); at < text.size() && text[at] != '\r'; ++at) {
        text[at] = 'X';
    }
}

} // namespace

std::string VornSocketHttp::MaskBasicCredentials(const std::string& text) {
    std::string copy = text;
    maskAfter(copy, "\r\nProxy-Authorization: Basic ");
    maskAfter(copy, "\r\nAuthorization: Basic ");
    return copy;
}

std::string VornSocketHttp::RequestMethod() const {
    const std::string method = Engine()->GetRecord().method;
    return method.empty() ? "GET" : method;
}

void VornSocketHttp::SendRequest() {
    VornDownloadEngine* engine = Engine();
    if (engine->State() > ENGINE_STATE_DOWNLOADING) {
        return;
    }
    if (m_challengeBody.Closes() && engine->State() == ENGINE_STATE_STARTING && m_serverRound == 0 &&
        m_proxyRound == 0) {
        // The challenge closes a connection that carried no credentials yet: answer it on a new one,
        // without spending a nonce count on a request that would not go out.
        Reset(true, false);
        return;
    }
    std::string serverLine;
    if (engine->ServerAuth()) {
        if (m_httpState == HTTP_STATE_PROXY_AUTH_NEED) {
            m_serverRound = 0;
        }
        // The origin server sees the request target in origin form, also behind a proxy.
        engine->ServerAuth()->SetRequest(RequestMethod(), Url().requestTarget());
        if (!engine->ServerAuth()->BuildHeader(m_serverRound, m_serverChallenge, serverLine)) {
            engine->ReportAuthFailure(this, AUTH_KIND_SERVER, engine->ServerAuth()->Realm());
            return;
        }
    }
    std::string proxyLine;
    if (engine->ProxyAuth() && ProxyIsHttp() && !Url().secure()) {
        bool built = true;
        engine->ProxyAuth()->SetRequest(RequestMethod(), Url().fullUrl());
        if (m_httpState == HTTP_STATE_PROXY_AUTH_NEED) {
            built = engine->ProxyAuth()->BuildHeader(m_proxyRound, m_proxyChallenge, proxyLine);
        } else if (engine->ProxyAuthType() == AUTH_TYPE_BASIC ||
                   engine->ProxyAuthType() == AUTH_TYPE_DIGEST) {
            built = engine->ProxyAuth()->BuildHeader(0, m_proxyChallenge, proxyLine);
        }
        if (!built) {
            engine->ReportAuthFailure(this, AUTH_KIND_PROXY, engine->ProxyAuth()->Realm());
            return;
        }
    }
    Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " ) HttpStatus = " + StateName() +
                             " RoundNumberServer = " + std::to_string(m_serverRound) +
                             " and RoundNumberProxy = " + std::to_string(m_proxyRound));
    SendHttpRequest(RangeText(), proxyLine, serverLine);
}

std::string VornSocketHttp::RangeText() {
    VornDownloadEngine* engine = Engine();
    VornSegment* segment = Segment();
    SetRequestedEnd(-1);
    if (engine->Mode() == ENGINE_MODE_HLS_PLAYLIST || segment == nullptr) {
        return {};
    }
    const std::string index = std::to_string(segment->m_index);
    if (engine->Mode() == ENGINE_MODE_TS) {
        if (segment->m_received <= 0) {
            return {};
        }
        Log(LOG_LEVEL_INFO,
            "Socket(TS) ( " + IdText() + " ) Take a partial TS-Segment . SegmentIndex: " + index);
        return formatRange(segment->m_received, 0, false);
    }
    if (segment->m_received > 0) {
        Log(LOG_LEVEL_INFO, "Socket ( " + IdText() + " ) Take a partial Segment . SegmentIndex: " + index);
    }
    const int64_t position = segment->m_start + segment->m_received;
    if (engine->FileSize() == UNKNOWN_FILE_SIZE || segment->m_end == UNKNOWN_SEGMENT_END) {
        return formatRange(position, 0, false);
    }
    // Only the range itself: a connection that later absorbs the next range asks again for it, so no
    // byte is sent twice and none beyond the range is thrown away.
    SetRequestedEnd(segment->m_end);
    return formatRange(position, segment->m_end, true);
}

bool VornSocketHttp::SendHttpRequest(const std::string& range, const std::string& proxyAuthLine,
                                     const std::string& serverAuthLine) {
    VornDownloadEngine* engine = Engine();
    const VornDownloadRecord record = engine->GetRecord();
    const std::string method = record.method.empty() ? "GET" : record.method;
    PostStatus("Sending Http-" + method + "...");
    Log(LOG_LEVEL_INFO, "Sending Http-" + method + "  for Socket ( " + IdText() + " )  Range = " + range);

    VornHttpRequestParts parts;
    parts.method = method;
    const bool absolute = ProxyIsHttp() && !Url().secure();
    parts.target = vornWireTarget(absolute ? Url().fullUrl() : Url().requestTarget());
    parts.hostWithPort = Url().hostWithPort(false, true);
    parts.userAgent = record.userAgent;
    parts.headerLines = record.requestHeaders;
    parts.range = range;
    parts.rangeInTarget = record.hasSecondUrl();
    parts.proxyAuthLine = proxyAuthLine;
    parts.serverAuthLine = serverAuthLine;
    parts.viaHttpProxy = ProxyIsHttp();
    parts.body = record.postData;
    const std::string text = VornComposeHttpRequest(parts);

    // A challenge that announced the connection's close is never answered on that connection.
    if (!DrainBeforeSend() || m_challengeBody.Closes()) {
        const bool firstRound =
            (!proxyAuthLine.empty() && m_proxyRound == 0) || (!serverAuthLine.empty() && m_serverRound == 0);
        if (engine->State() == ENGINE_STATE_STARTING && firstRound) {
            // The server closed the connection that carried its challenge: ask again on a new one.
            Reset(true, false);
            return true;
        }
        ConnectionError(L"Error Sending Request, Connection was Closed.");
        return false;
    }
    if (Send(text.data(), static_cast<int32_t>(text.size())) < static_cast<int32_t>(text.size())) {
        ConnectionError(L"Error Sending Request.");
        return false;
    }
    if (!proxyAuthLine.empty()) {
        ++m_proxyRound;
    }
    if (!serverAuthLine.empty()) {
        ++m_serverRound;
    }
    SetHttpState(HTTP_STATE_GET_SENT);
    Log(LOG_LEVEL_INFO, method + " Sent : \r\n<< " + MaskBasicCredentials(text) + ">>");
    return true;
}

bool VornSocketHttp::SendProxyConnect() {
    VornDownloadEngine* engine = Engine();
    if (engine->State() > ENGINE_STATE_DOWNLOADING) {
        return false;
    }
    PostStatus("Sending CONNECT...");
    Log(LOG_LEVEL_INFO, "Sending CONNECT (for PROXY SSL TUNNEL) Socket ( " + IdText() + " )");
    std::string proxyLine;
    if (engine->ProxyAuth()) {
        engine->ProxyAuth()->SetRequest("CONNECT", Url().hostWithPort(false, false));
        if (!engine->ProxyAuth()->BuildHeader(m_proxyRound, m_proxyChallenge, proxyLine)) {
            engine->ReportAuthFailure(this, AUTH_KIND_PROXY, engine->ProxyAuth()->Realm());
            return false;
        }
    }
    Log(LOG_LEVEL_DEBUG, "SendProxyConnect -> Socket ( " + IdText() + " ) HttpStatus = " + StateName() +
                             " RoundNumberServer = " + std::to_string(m_serverRound) +
                             " and RoundNumberProxy = " + std::to_string(m_proxyRound));
    const std::string text =
        VornComposeProxyConnect(Url().hostWithPort(false, false), engine->GetRecord().userAgent, proxyLine);
    if (!DrainBeforeSend() || m_challengeBody.Closes()) {
        if (engine->State() == ENGINE_STATE_STARTING && !proxyLine.empty() && m_proxyRound == 0) {
            Reset(true, false);
            return true;
        }
        ConnectionError(L"Error Sending CONNECT. Connection was Closed. ");
        return false;
    }
    // The CONNECT itself always goes out in plain text, before any TLS byte.
    int error = 0;
    if (send(text.data(), text.size(), error) < static_cast<ssize_t>(text.size())) {
        ConnectionError(L"Error Sending CONNECT Request to Proxy.");
        return false;
    }
    setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
    Log(LOG_LEVEL_DEBUG, "CONNECT Sent Successfully for Socket ( " + IdText() + " )");
    if (!proxyLine.empty()) {
        ++m_proxyRound;
    }
    SetHttpState(HTTP_STATE_CONNECT_SENT);
    return true;
}
