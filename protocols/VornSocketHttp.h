#pragma once

#include "engine/VornEngineSocket.h"
#include "protocols/VornHttpBodyDrain.h"

#include <cstdint>
#include <memory>
#include <string>

class VornChunkDecoder;

// HTTP states of a connection; StateName gives their names.
constexpr int32_t HTTP_STATE_VOID = 0;
constexpr int32_t HTTP_STATE_CONNECT_SENT = 1;
constexpr int32_t HTTP_STATE_PARSING_CONNECT_HEADER = 2;
constexpr int32_t HTTP_STATE_GET_SENT = 3;
constexpr int32_t HTTP_STATE_PARSING_HTTP_HEADER = 4;
constexpr int32_t HTTP_STATE_PROXY_AUTH_NEED = 5;
constexpr int32_t HTTP_STATE_WWW_AUTH_NEED = 6;
constexpr int32_t HTTP_STATE_REDIRECTING = 7;
constexpr int32_t HTTP_STATE_RECEIVING = 8;

constexpr int32_t HTTP_MAX_REDIRECTS = 10;
// The header scan's line buffer holds at most this many bytes of one line.
constexpr size_t HTTP_MAX_HEADER_LINE = 32767;

// One engine connection speaking HTTP/1.1 (HTTPS through its base's TLS) for the byte range of its segment.
class VornSocketHttp : public VornEngineSocket {
public:
    VornSocketHttp(uint16_t number, VornDownloadEngine* engine, const VornUrl& url);
    ~VornSocketHttp() override;

    std::string StateName() const override;
    uint32_t ReceiveSpace() override;
    bool BodyGoesToSegmentFile() const override;
    bool IsReceivingBody() const override { return m_httpState == HTTP_STATE_RECEIVING; }
    void OnConnectionState(int32_t oldState, int32_t newState) override;
    void OnReceived(int32_t count) override;
    bool Reset(bool restart, bool keepSlot) override;
    void SendRequest() override;

    void SetHttpState(int32_t newState);
    bool SendProxyConnect();
    bool SendHttpRequest(const std::string& range, const std::string& proxyAuthLine,
                         const std::string& serverAuthLine);
    static std::string MaskBasicCredentials(const std::string& text);
    void HandleLine(const std::string& line);
    void ParseStatusLine(const std::string& line);

    // Response handling.
    void HandleHeader(const std::string& line);
    void OnHeadersComplete();
    void OnFirstReply();
    std::wstring DeriveFileName();
    void FollowRedirect();
    bool BuildAuthHandler(int kind);
    int32_t FeedChunkDecoder();

    static std::string HttpStateName(int32_t state);

    int32_t HttpState() const { return m_httpState; }
    int32_t StatusCode() const { return m_statusCode; }
    const std::string& StatusLine() const { return m_statusLine; }
    const std::string& HttpVersion() const { return m_httpVersion; }
    const std::string& ContentType() const { return m_contentType; }
    const std::string& DispositionName() const { return m_dispositionName; }
    const std::string& RedirectTarget() const { return m_redirectTarget; }
    int32_t RedirectCount() const { return m_redirectCount; }

protected:
    // Derived connections (the playlist connection) end the body their own way.
    virtual void OnBodyReceived(int32_t count);

private:
    void ConnectionError(const std::wstring& text);
    bool ProxyIsHttp() const;
    // The record's method, GET when it names none.
    std::string RequestMethod() const;
    std::string RangeText();
    void FrameHeaderLines();
    void StartBodyAfterHeaders(size_t consumed, size_t inputLength);
    void OnConnectionEnded(int32_t count);
    void HandleContentLength(const std::string& line);
    void HandleContentRange(const std::string& line);
    void HandleDisposition(const std::string& line);
    void HandleAuthenticate(const std::string& line, int kind);
    // Enters the authentication state once the challenge's body has been read to its end.
    void AwaitChallengeBody(int32_t nextState);
    void FeedChallengeBody(const char* data, size_t length);
    void OnHeadersCompleteForRequest();
    void SettleResumability();
    bool RenewalTestHolds() const;

    std::unique_ptr<VornChunkDecoder> m_chunkDecoder;
    std::string m_contentType;
    std::string m_dispositionName;
    std::string m_serverChallenge;
    std::string m_proxyChallenge;
    int32_t m_serverRound = 0;
    int32_t m_proxyRound = 0;
    int32_t m_statusCode = 0;
    std::string m_statusLine;
    std::string m_httpVersion;
    std::string m_redirectTarget;
    int32_t m_redirectCount = 0;
    int32_t m_httpState = HTTP_STATE_VOID;
    VornHttpBodyDrain m_challengeBody;
    // The authentication state to enter once m_challengeBody has ended; 0 when not waiting.
    int32_t m_stateAfterBody = HTTP_STATE_VOID;
};
