#include "base/VornException.h"
#include "base/VornText.h"
#include "base/VornUrl.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentManager.h"
#include "protocols/VornAuth.h"
#include "protocols/VornAuthBasic.h"
#include "protocols/VornAuthDigest.h"
#include "protocols/VornAuthNTLM.h"
#include "protocols/VornChunkDecoder.h"
#include "protocols/VornHttpRequestText.h"
#include "protocols/VornSocketHttp.h"

void VornSocketHttp::OnReceived(int32_t count) {
    if (count <= 0) {
        OnConnectionEnded(count);
    } else if (m_stateAfterBody != HTTP_STATE_VOID) {
        const std::string bytes = ReceiveBuffer().ToString();
        ReceiveBuffer().Clear();
        FeedChallengeBody(bytes.data(), bytes.size());
    } else if (m_httpState == HTTP_STATE_RECEIVING) {
        OnBodyReceived(count);
    } else {
        FrameHeaderLines();
    }
}

void VornSocketHttp::FrameHeaderLines() {
    VornBuffer<char>& buffer = ReceiveBuffer();
    const std::string input = buffer.ToString();
    const size_t headerEnd = input.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        Log(LOG_LEVEL_DEBUG, "No End-Of-Headers Found in this Response.");
    }
    Log(LOG_LEVEL_INFO, "All Response Headers For Socket ( " + IdText() + " ) :");
    Log(LOG_LEVEL_INFO, "\r\n<<" + input.substr(0, headerEnd) + ">>\r\n");

    std::string line;
    line.reserve(256);
    for (size_t at = 0; at < input.size(); ++at) {
        const char byte = input[at];
        if (byte == '\n') {
            if (line.empty() || line.back() != '\r') {
                continue;
            }
            line.pop_back();
            HandleLine(line);
            line.clear();
            if (m_stateAfterBody != HTTP_STATE_VOID) {
                buffer.Clear();
                FeedChallengeBody(input.data() + at + 1, input.size() - at - 1);
                return;
            }
            if (m_httpState == HTTP_STATE_RECEIVING) {
                // The walk position, not a sum of line lengths, so a stray line feed cannot shift the body.
                StartBodyAfterHeaders(at + 1, input.size());
                return;
            }
            if (Engine()->State() == ENGINE_STATE_ERROR ||
                (m_httpState != HTTP_STATE_PARSING_HTTP_HEADER &&
                 m_httpState != HTTP_STATE_PARSING_CONNECT_HEADER)) {
                ReceiveBuffer().Clear();
                return;
            }
            continue;
        }
        if (line.size() >= HTTP_MAX_HEADER_LINE + (byte == '\r' ? 1 : 0)) {
            buffer.Clear();
            ConnectionError(L"Buffer Exploit Detected!, No End-Of-Line Found in received Headers.");
            return;
        }
        line.push_back(byte);
    }
    buffer.Assign(line.data(), static_cast<uint32_t>(line.size()));
    if (buffer.FreeSpace() == 0) {
        // A full buffer holding one unfinished line could never receive its end.
        buffer.Clear();
        ConnectionError(L"Buffer Exploit Detected!, No End-Of-Line Found in received Headers.");
    }
}

void VornSocketHttp::HandleLine(const std::string& line) {
    if (m_httpState == HTTP_STATE_GET_SENT) {
        m_challengeBody.Clear();
        SetHttpState(HTTP_STATE_PARSING_HTTP_HEADER);
        ParseStatusLine(line);
    } else if (m_httpState == HTTP_STATE_CONNECT_SENT) {
        m_challengeBody.Clear();
        SetHttpState(HTTP_STATE_PARSING_CONNECT_HEADER);
        ParseStatusLine(line);
    } else if (!line.empty()) {
        HandleHeader(line);
    } else {
        OnHeadersComplete();
    }
}

void VornSocketHttp::ParseStatusLine(const std::string& line) {
    VornDownloadEngine* engine = Engine();
    if (engine->State() != ENGINE_STATE_STARTING && engine->State() != ENGINE_STATE_DOWNLOADING) {
        return;
    }
    m_statusLine = line;
    if (!VornParseStatusLine(line, m_httpVersion, m_statusCode)) {
        ConnectionError(L"Server Sent a MallFormed Status Line.");
        return;
    }
    Log(LOG_LEVEL_INFO, "Status Code For Socket (" + IdText() + " ) = " + std::to_string(m_statusCode));
    const bool parsingReply = m_httpState == HTTP_STATE_PARSING_HTTP_HEADER;
    if (engine->Mode() == ENGINE_MODE_NORMAL && parsingReply && m_statusCode == 200 &&
        !engine->Record().hasSecondUrl() && engine->Resumability() != RESUMABILITY_NOT_OK) {
        const bool started =
            engine->State() == ENGINE_STATE_STARTING && engine->SegmentManager()->DownloadedTotal() > 0;
        if (engine->State() == ENGINE_STATE_DOWNLOADING || started) {
            ConnectionError(L"Server sent Incorrect Reply. Resumability not Supported. Redownload File.");
            return;
        }
    }
    if (engine->Mode() == ENGINE_MODE_TS && parsingReply && m_statusCode == 200 && Segment() != nullptr) {
        Segment()->SetProgress(0, SEGMENT_ACTIVE);
    }
    if (m_httpState == HTTP_STATE_PARSING_CONNECT_HEADER && m_statusCode != 200 && m_statusCode != 407) {
        ConnectionError(L"Problem on Establishing SSL Tunnel. " + vornUtf8ToWide(m_statusLine));
    }
}

void VornSocketHttp::OnHeadersComplete() {
    VornDownloadEngine* engine = Engine();
    if (m_httpState == HTTP_STATE_PARSING_CONNECT_HEADER) {
        if (m_statusCode == 200) {
            SetState(SOCKET_STATE_TUNNEL);
        } else {
            if (!engine->ProxyAuth() && !BuildAuthHandler(AUTH_KIND_PROXY)) {
                return;
            }
            AwaitChallengeBody(HTTP_STATE_PROXY_AUTH_NEED);
        }
        Log(LOG_LEVEL_DEBUG, "Socket (" + IdText() + ") All Headers have been Parsed. Now HttpStatus = " +
                                 StateName() + " And Status Code = " + std::to_string(m_statusCode));
        return;
    }
    if (m_httpState != HTTP_STATE_PARSING_HTTP_HEADER) {
        return;
    }
    OnHeadersCompleteForRequest();
    Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " ) All Headers have been Parsed. Now HttpStatus = " +
                             StateName() + " And StatusCode = " + std::to_string(m_statusCode));
}

void VornSocketHttp::OnHeadersCompleteForRequest() {
    VornDownloadEngine* engine = Engine();
    const int32_t state = engine->State();
    switch (m_statusCode) {
    case 200:
    case 206:
        if (state == ENGINE_STATE_DOWNLOADING) {
            SetHttpState(HTTP_STATE_RECEIVING);
        } else if (state == ENGINE_STATE_STARTING) {
            OnFirstReply();
        }
        return;
    case 301:
    case 302:
    case 303:
    case 305:
    case 307:
    case 308:
        if (state == ENGINE_STATE_DOWNLOADING) {
            ConnectionError(L"Redirection When Download is in progress by other Connections. ");
        } else {
            SetHttpState(HTTP_STATE_REDIRECTING);
        }
        return;
    case 401:
        if (!engine->ServerAuth()) {
            if (RenewalTestHolds()) {
                engine->RenewRequired(m_statusLine);
                return;
            }
            if (!BuildAuthHandler(AUTH_KIND_SERVER)) {
                return;
            }
        }
        AwaitChallengeBody(HTTP_STATE_WWW_AUTH_NEED);
        return;
    case 407:
        if (!engine->ProxyAuth() && !BuildAuthHandler(AUTH_KIND_PROXY)) {
            return;
        }
        AwaitChallengeBody(HTTP_STATE_PROXY_AUTH_NEED);
        return;
    case 416:
        if (state != ENGINE_STATE_STARTING) {
            ConnectionError(L"Internal Error in Dynamic-Segmentation(Range Error) Server Replied with 416 "
                            L"(Unsatisfiable Range)");
        } else if (engine->ResumeRequested()) {
            engine->FailDownload(
                L"File Has been Changed on Server.Yo must Redownload it from beggining.(Reply-Code=416)");
        } else {
            engine->FailDownload(L"File is Empty.(FileSize=0). Reply-Code to Range-Request is 416");
        }
        return;
    default:
        engine->SetRetriesLeft(0);
        if (RenewalTestHolds() && m_statusCode >= 400 && m_statusCode <= 410) {
            engine->RenewRequired(m_statusLine);
        } else {
            ConnectionError(vornUtf8ToWide(m_statusLine));
        }
        return;
    }
}

bool VornSocketHttp::RenewalTestHolds() const {
    VornDownloadEngine* engine = Engine();
    const VornDownloadRecord& record = engine->Record();
    if (m_statusCode == 401 && engine->ServerAuthType() != AUTH_TYPE_UNSUPPORTED) {
        return false;
    }
    return !record.hasSecondUrl() && (!record.pageUrl.empty() || !record.referrer.empty()) &&
           (engine->ResumeRequested() || record.freshRestart != 0) &&
           engine->State() == ENGINE_STATE_STARTING;
}

void VornSocketHttp::OnFirstReply() {
    VornDownloadEngine* engine = Engine();
    if (engine->State() != ENGINE_STATE_STARTING) {
        return;
    }
    SetHttpState(HTTP_STATE_RECEIVING);
    if (engine->Mode() == ENGINE_MODE_HLS_PLAYLIST) {
        engine->SetResumability(RESUMABILITY_NOT_OK);
        return;
    }
    if (engine->Mode() == ENGINE_MODE_TS) {
        engine->SetResumability(RESUMABILITY_OK);
        engine->SetFileName(engine->Record().derivedFileName());
        return;
    }
    if (engine->Record().mimeType.empty() && !m_contentType.empty()) {
        engine->PostEvent(ENGINE_EVENT_SERVER_TEXT, m_contentType);
    }
    engine->SetFileName(DeriveFileName());
    SettleResumability();
}

void VornSocketHttp::SettleResumability() {
    VornDownloadEngine* engine = Engine();
    if (engine->Record().hasSecondUrl()) {
        engine->SetResumability(RESUMABILITY_OK);
        return;
    }
    const int32_t before = engine->Resumability();
    int32_t next = RESUMABILITY_UNKOWN;
    if (before == RESUMABILITY_UNKOWN) {
        if (engine->FileSize() == UNKNOWN_FILE_SIZE || engine->AcceptRanges() == 2 ||
            (m_statusCode != 206 && engine->AcceptRanges() != 1)) {
            next = RESUMABILITY_NOT_OK;
        } else if (engine->Record().connections == 1 || engine->FileSize() < 270337) {
            next = RESUMABILITY_OK;
        }
    }
    if (engine->ResumeRequested() && (next == RESUMABILITY_NOT_OK || before == RESUMABILITY_NOT_OK)) {
        engine->FailDownload(L"Server Didn't allow File to Be Resumed. Please Redownload File.");
    } else if (next != RESUMABILITY_UNKOWN) {
        engine->SetResumability(next);
    }
}

void VornSocketHttp::FollowRedirect() {
    VornDownloadEngine* engine = Engine();
    if (engine->State() != ENGINE_STATE_STARTING) {
        return;
    }
    PostStatus("Redirecting...");
    if (m_redirectCount > HTTP_MAX_REDIRECTS) {
        engine->FailDownload(L"Too Many Redirection( More than " + std::to_wstring(HTTP_MAX_REDIRECTS) +
                             L" Http-Redirect ).");
        return;
    }
    const std::string target = vornResolveReference(Url(), m_redirectTarget);
    VornUrl url;
    try {
        url.assign(target);
    } catch (const VornException&) {
        url = VornUrl();
    }
    if (url.kind() == URL_KIND_UNSUPPORTED) {
        ConnectionError(L"Server Redirected to an unsupported  protocol/Invalid URL.");
        return;
    }
    SetUrl(url);
    if (!engine->ResolveHost() && !engine->ProxyEnabled()) {
        ConnectionError(L"No Internet connection or DNS failed.");
        return;
    }
    Log(LOG_LEVEL_INFO, "Server Redirected to -> " + target);
    Reset(true, false);
}

void VornSocketHttp::AwaitChallengeBody(int32_t nextState) {
    m_challengeBody.Start();
    if (!m_challengeBody.Active()) {
        SetHttpState(nextState);
        return;
    }
    m_stateAfterBody = nextState;
}

void VornSocketHttp::FeedChallengeBody(const char* data, size_t length) {
    if (!m_challengeBody.Feed(data, length)) {
        return;
    }
    const int32_t next = m_stateAfterBody;
    m_stateAfterBody = HTTP_STATE_VOID;
    SetHttpState(next);
}

bool VornSocketHttp::BuildAuthHandler(int kind) {
    VornDownloadEngine* engine = Engine();
    if (engine->State() != ENGINE_STATE_STARTING) {
        return true;
    }
    const bool proxy = kind == AUTH_KIND_PROXY;
    const int32_t type = proxy ? engine->ProxyAuthType() : engine->ServerAuthType();
    const std::string& challenge = proxy ? m_proxyChallenge : m_serverChallenge;
    const std::string user = proxy ? engine->ProxySettings().user : engine->ServerUser();
    const std::string password = proxy ? engine->ProxySettings().password : engine->ServerPassword();
    if (type != AUTH_TYPE_UNSUPPORTED && !user.empty()) {
        Log(LOG_LEVEL_DEBUG, std::string("Headers have been Parsed totaly  and we are building a ") +
                                 (proxy ? "PROXY" : "SERVER") +
                                 "-AuthHandler of type = " + vornAuthTypeName(type));
        std::unique_ptr<VornAuth> handler;
        if (type == AUTH_TYPE_BASIC) {
            handler = std::make_unique<VornAuthBasic>(challenge, Url().fullUrl(), kind, user, password);
        } else if (type == AUTH_TYPE_DIGEST) {
            handler =
                std::make_unique<VornAuthDigest>(challenge, Url(), RequestMethod(), kind, user, password);
        } else {
            handler = std::make_unique<VornAuthNTLM>(Url().fullUrl(), kind, user, password);
        }
        (proxy ? engine->ProxyAuth() : engine->ServerAuth()) = std::move(handler);
        return true;
    }
    if (type != AUTH_TYPE_UNSUPPORTED) {
        engine->ReportAuthFailure(this, kind, vornAuthRealmOf(challenge));
        return false;
    }
    engine->SetErrorCode(0);
    std::wstring message;
    if (!challenge.empty()) {
        message = std::wstring(proxy ? L"Unsupported Proxy-Authentication Scheme. ( "
                                     : L"Unsupported WWW-Authentication Scheme. ( ") +
                  vornUtf8ToWide(challenge) + L" )";
    } else {
        message = proxy ? L"407 Unauthorized." : L"401 Unauthorized.";
    }
    ConnectionError(message);
    return false;
}

void VornSocketHttp::StartBodyAfterHeaders(size_t consumed, size_t inputLength) {
    VornBuffer<char>& buffer = ReceiveBuffer();
    const size_t remaining = inputLength - consumed;
    if (!hasSocket()) {
        return;
    }
    if (remaining == 0) {
        buffer.Clear();
        Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() +
                                 " ) Receiving Started. InputBuffer has 0* UnProccessed bytes. and " +
                                 std::to_string(consumed) + " bytes was proccessed.");
        return;
    }
    Log(LOG_LEVEL_DEBUG,
        "There are Remained bytes and InputBuffer totaly has " + std::to_string(inputLength) + " bytes");
    buffer.KeepLast(static_cast<uint32_t>(remaining));
    int32_t n = static_cast<int32_t>(remaining);
    if (m_chunkDecoder) {
        n = FeedChunkDecoder();
        if (n == 0) {
            return;
        }
    }
    ConsumeBody(n);
    Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " ) Receiving Started. InputBuffer has " +
                             std::to_string(n) + "  UnProccessed bytes. and " + std::to_string(consumed) +
                             " bytes was proccessed.");
}

void VornSocketHttp::OnBodyReceived(int32_t count) {
    int32_t n = count;
    if (m_chunkDecoder) {
        n = FeedChunkDecoder();
        if (n < 1) {
            return;
        }
    }
    ConsumeBody(n);
}

int32_t VornSocketHttp::FeedChunkDecoder() {
    VornDownloadEngine* engine = Engine();
    VornBuffer<char>& buffer = ReceiveBuffer();
    std::wstring message;
    const int result = m_chunkDecoder->Decode(buffer, message);
    if (result == 1) {
        ConnectionError(message);
        return 0;
    }
    const int32_t decoded = static_cast<int32_t>(buffer.Length());
    if (result != 2) {
        return decoded;
    }
    Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " ) Chunked Transfer Completed. Total Chunk Count = " +
                             std::to_string(m_chunkDecoder->ChunkCount()));
    if (engine->Mode() == ENGINE_MODE_NORMAL && engine->FileSize() == UNKNOWN_FILE_SIZE) {
        engine->SetFileSize(engine->SegmentManager()->DownloadedTotal() + decoded);
    } else if (engine->Mode() == ENGINE_MODE_TS && Segment() != nullptr &&
               Segment()->m_end == UNKNOWN_SEGMENT_END) {
        Segment()->SetEnd(Segment()->m_received + decoded - 1, true);
    } else if (engine->Mode() == ENGINE_MODE_HLS_PLAYLIST) {
        if (decoded > 0) {
            ConsumeBody(decoded);
        }
        buffer.Clear();
        ConsumeBody(0);
        return 0;
    }
    return decoded;
}

void VornSocketHttp::OnConnectionEnded(int32_t count) {
    VornDownloadEngine* engine = Engine();
    const int32_t state = engine->State();
    if (count < 0 || (count == 0 && (state == ENGINE_STATE_STARTING || state == ENGINE_STATE_ERROR)) ||
        engine->IsChunked()) {
        ConnectionError(L"Server Closed Connection Suddenly.");
        return;
    }
    VornSegmentManager* manager = engine->SegmentManager();
    if (engine->Mode() == ENGINE_MODE_NORMAL && engine->FileSize() == UNKNOWN_FILE_SIZE &&
        manager->DownloadedTotal() > 0) {
        engine->SetFileSize(manager->DownloadedTotal());
    } else if (engine->Mode() == ENGINE_MODE_TS && m_httpState == HTTP_STATE_RECEIVING &&
               Segment() != nullptr && Segment()->m_end == UNKNOWN_SEGMENT_END && Segment()->m_received > 0) {
        Segment()->SetEnd(Segment()->m_received - 1, true);
    } else if (engine->Mode() == ENGINE_MODE_HLS_PLAYLIST && engine->FileSize() == UNKNOWN_FILE_SIZE) {
        ConsumeBody(0);
    }
    if (engine->State() == ENGINE_STATE_MERGING || engine->State() == ENGINE_STATE_COMPLETED) {
        Log(LOG_LEVEL_INFO,
            "Socket ( " + IdText() +
                " ) Closed GraceFully And FileSize was Uknown.So Download Must Be Completed.");
        return;
    }
    ConnectionError(L"Server Closed Connection Suddenly.");
}
