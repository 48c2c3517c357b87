#include "protocols/VornSocketHttp.h"
#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentManager.h"
#include "protocols/VornAuth.h"
#include "tests/support/MemoryTlsServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

// One HTTP connection of a real engine that never starts its thread: the test plays the engine loop,
// connects the connection to one end of a socket pair and plays the server on the other end.
class HttpHarness {
public:
    explicit HttpHarness(const std::string& url, uint8_t connections = 1, bool resume = false,
                         const VornEngineProxy* proxy = nullptr, const std::string& pageUrl = "") {
        VornDownloadRecord record(1, url, "", connections, 0, "normal");
        record.pageUrl = pageUrl;
        m_engine = std::make_unique<VornDownloadEngine>(&m_window, record, folder(m_work, "work"),
                                                        folder(m_work, "done"), resume);
        if (proxy != nullptr) {
            m_engine->SetProxySettings(*proxy);
        }
        m_connection = std::make_unique<VornSocketHttp>(0, m_engine.get(), VornUrl(url));
    }
    ~HttpHarness() {
        m_connection.reset();
        m_engine->Stop();
        m_engine.reset();
        if (m_peer >= 0) {
            ::close(m_peer);
        }
    }

    // TCP "connects": the engine's StartTransfer assigns a segment and the request goes out.
    void connect() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        m_connection->attach(fds[0], sockaddr_in{});
        m_connection->setState(2);
        m_peer = fds[1];
        m_connection->SetState(SOCKET_STATE_CONNECTED);
    }

    // Everything the connection has sent so far.
    std::string sent() {
        std::string bytes;
        char chunk[4096];
        pollfd p{m_peer, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            const ssize_t n = ::recv(m_peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return bytes;
    }

    // The server's bytes, delivered in pieces of the given size, each followed by a readable callback.
    void serve(const std::string& bytes, size_t piece = 0) {
        const size_t step = piece == 0 ? bytes.size() : piece;
        for (size_t at = 0; at < bytes.size() && m_connection->hasSocket(); at += step) {
            const std::string part = bytes.substr(at, step);
            ASSERT_EQ(::send(m_peer, part.data(), part.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(part.size()));
            readAll();
        }
    }
    // Puts bytes on the wire without letting the connection read them.
    void push(const std::string& bytes) {
        ASSERT_EQ(::send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void closeServer() {
        ::shutdown(m_peer, SHUT_WR);
        readAll();
    }

    std::string log() const { return readWholeFile(m_work.path() / "work" / "LogFile.txt"); }
    std::filesystem::path workFolder() const { return m_work.path() / "work"; }
    std::filesystem::path destinationFolder() const { return m_work.path() / "done"; }
    // The bytes of the download's work file, where every range is written at its offset.
    std::string written() const {
        return readWholeFile(std::filesystem::path(m_engine->SegmentManager()->WorkFile().Path()));
    }

    VornDownloadEngine& engine() { return *m_engine; }
    VornSocketHttp& connection() { return *m_connection; }

private:
    void readAll() {
        pollfd p{m_connection->handle(), POLLIN, 0};
        for (int round = 0; round < 100000 && m_connection->hasSocket(); ++round) {
            p.fd = m_connection->handle();
            if (::poll(&p, 1, 0) <= 0) {
                break;
            }
            m_connection->OnReadable();
        }
    }
    static std::wstring folder(const TempDir& dir, const std::string& name) {
        return vornUtf8ToWide((dir.path() / name).string() + "/");
    }

    TempHome m_home;
    TempDir m_work;
    VornMessageQueue m_window;
    std::unique_ptr<VornDownloadEngine> m_engine;
    std::unique_ptr<VornSocketHttp> m_connection;
    int m_peer = -1;
};

std::string reply(const std::string& head, const std::string& body = "") {
    return head + "\r\n\r\n" + body;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(VornSocketHttp, FirstRequestAsksForTheWholeFileFromZero) {
    HttpHarness h("http://127.0.0.1:8080/d/f.bin?x=1");
    h.connect();
    const std::string request = h.sent();
    EXPECT_EQ(request.substr(0, request.find("\r\n") + 2), "GET /d/f.bin?x=1 HTTP/1.1\r\n");
    EXPECT_TRUE(contains(request, "\r\nHost: 127.0.0.1:8080\r\n"));
    EXPECT_TRUE(contains(request, "\r\nRange: bytes=0-\r\n"));
    EXPECT_FALSE(contains(request, "Proxy-Connection"));
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
    EXPECT_EQ(h.connection().HttpState(), HTTP_STATE_GET_SENT);
}

TEST(VornSocketHttp, ThroughAnHttpProxyTheRequestLineCarriesTheFullUrl) {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = 3128;
    HttpHarness h("http://example.invalid/a.bin", 1, false, &proxy);
    h.connect();
    const std::string request = h.sent();
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET http://example.invalid/a.bin HTTP/1.1");
    EXPECT_TRUE(contains(request, "\r\nHost: example.invalid\r\n"));
    EXPECT_TRUE(contains(request, "\r\nProxy-Connection: keep-alive\r\n\r\n"));
}

TEST(VornSocketHttp, HttpsThroughAnHttpProxySendsConnectBeforeAnyTlsByte) {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = 3128;
    HttpHarness h("https://example.invalid/a.bin", 1, false, &proxy);
    h.connect();
    EXPECT_EQ(h.sent(), "CONNECT example.invalid:443 HTTP/1.1\r\nHost: example.invalid:443\r\nUser-Agent: " +
                            h.engine().GetRecord().userAgent + "\r\nProxy-Connection: keep-alive\r\n\r\n");
    EXPECT_EQ(h.connection().HttpState(), HTTP_STATE_CONNECT_SENT);

    h.serve(reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0"));
    EXPECT_TRUE(contains(h.log(), "ErrorText = Problem on Establishing SSL Tunnel. HTTP/1.1 403 Forbidden"));
}

TEST(VornSocketHttp, DigestChallengeToAConnectIsAnsweredOnceItsBodyHasEnded) {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = 3128;
    proxy.user = "pu";
    proxy.password = "pp";
    HttpHarness h("https://example.invalid/a.bin", 1, false, &proxy);
    h.connect();
    h.sent();
    // The challenge's body arrives in two pieces: nothing may be sent before its last byte.
    h.serve(reply("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"gate\", "
                  "nonce=\"abc\", qop=\"auth\"\r\nContent-Type: text/html\r\nContent-Length: 10",
                  "01234"));
    EXPECT_EQ(h.sent(), "");
    EXPECT_TRUE(contains(h.log(),
                         "Headers have been Parsed totaly  and we are building a PROXY-AuthHandler of "
                         "type = AUTH_TYPE_DIGEST"));
    h.serve("56789");
    const std::string again = h.sent();
    EXPECT_EQ(again.rfind("CONNECT example.invalid:443 HTTP/1.1\r\n", 0), 0u) << again;
    EXPECT_TRUE(contains(again,
                         "\r\nProxy-Authorization: Digest username=\"pu\", realm=\"gate\", nonce=\"abc\", "
                         "uri=\"example.invalid:443\", response=\""))
        << again;
    EXPECT_TRUE(contains(again, "\", qop=\"auth\", nc=00000001, cnonce=\"")) << again;
    EXPECT_EQ(h.connection().HttpState(), HTTP_STATE_CONNECT_SENT);

    // Refused: the same challenge again ends the download with the realm.
    h.serve(reply("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"gate\", "
                  "nonce=\"abc\", qop=\"auth\"\r\nContent-Length: 0"));
    EXPECT_EQ(h.sent(), "");
    EXPECT_EQ(h.engine().State(), ENGINE_STATE_ERROR);
    EXPECT_EQ(vornWideToUtf8(h.engine().ErrorText()),
              "Proxy  Authenticate Failed for first Connection.@gate");
}

struct FirstReplyCase {
    const char* name;
    std::string reply;
    int64_t fileSize;
    int32_t resumability;
    const wchar_t* fileName;
};

class VornSocketHttpFirstReply : public ::testing::TestWithParam<FirstReplyCase> {};

TEST_P(VornSocketHttpFirstReply, SettlesSizeResumabilityAndName) {
    const FirstReplyCase& c = GetParam();
    HttpHarness h("http://127.0.0.1:8080/files/report.pdf", 8);
    h.connect();
    h.sent();
    h.serve(c.reply);
    EXPECT_EQ(h.engine().FileSize(), c.fileSize);
    EXPECT_EQ(h.engine().Resumability(), c.resumability);
    EXPECT_EQ(h.engine().GetRecord().fileName, std::wstring(c.fileName));
    EXPECT_EQ(h.connection().HttpState(), HTTP_STATE_RECEIVING);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, VornSocketHttpFirstReply,
    ::testing::Values(
        FirstReplyCase{
            "SmallRangedReplyIsResumable",
            reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999/1000\r\nContent-Length: 1000"),
            1000, RESUMABILITY_OK, L"report.pdf"},
        FirstReplyCase{"PlainReplyWithoutAcceptRangesIsNotResumable",
                       reply("HTTP/1.1 200 OK\r\nContent-Length: 5000000"), 5000000, RESUMABILITY_NOT_OK,
                       L"report.pdf"},
        FirstReplyCase{"NoSizeIsNotResumable", reply("HTTP/1.1 200 OK\r\nAccept-Ranges: bytes"),
                       UNKNOWN_FILE_SIZE, RESUMABILITY_NOT_OK, L"report.pdf"},
        FirstReplyCase{"AcceptRangesNoneIsNotResumable",
                       reply("HTTP/1.1 206 Partial Content\r\nAccept-Ranges: none\r\n"
                             "Content-Range: bytes 0-99/100\r\nContent-Length: 100"),
                       100, RESUMABILITY_NOT_OK, L"report.pdf"},
        FirstReplyCase{"LargeRangedReplyLeavesResumabilityOpen",
                       reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-104857599/104857600\r\n"
                             "Content-Length: 104857600"),
                       104857600, RESUMABILITY_UNKOWN, L"report.pdf"},
        FirstReplyCase{"EncodedDispositionNameIsDecoded",
                       reply("HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 10\r\n"
                             "Content-Disposition: attachment; filename*=UTF-8''na%20me.zip"),
                       10, RESUMABILITY_OK, L"na me.zip"},
        FirstReplyCase{
            "PlainDispositionNameWithTypeExtension",
            reply("HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 10\r\n"
                  "Content-Type: application/zip\r\nContent-Disposition: attachment; filename=\"data\""),
            10, RESUMABILITY_OK, L"data.zip"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VornSocketHttp, HeaderBlockSplitIntoSingleBytesParsesAsAWhole) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/5\r\nContent-Length: 5", "hello"),
            1);
    EXPECT_EQ(h.engine().FileSize(), 5);
    EXPECT_EQ(h.written(), "hello");
}

TEST(VornSocketHttp, BodyBytesAfterTheHeadersInTheSameReadGoToTheSegmentFile) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    // A stray bare line feed in the header block must not shift where the body starts.
    h.serve("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\n\nContent-Length: "
            "10\r\n\r\n0123456789");
    EXPECT_EQ(h.written(), "0123456789");
    EXPECT_EQ(h.engine().State(), ENGINE_STATE_MERGING);
}

TEST(VornSocketHttp, ReplyErrorsAreReportedWithTheirTexts) {
    struct Case {
        const char* reply;
        int64_t knownSize;
        const char* logged;
    };
    const Case cases[] = {
        {"HTTP/1.1 OK\r\n\r\n", 0, "ErrorText = Server Sent a MallFormed Status Line."},
        {"HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n", 0,
         "ErrorText = Malformed FileSize Received from server."},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 3\r\n\r\n", 0,
         "ErrorText = Unsupported Content-Encoding : GZIP"},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 0, "ErrorText = HTTP/1.1 404 Not Found"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0,
         "MallFormed Chunk Size Received From Server."},
        {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999/2000\r\n\r\n", 1000,
         "ErrorText = File Size is not the same as Previous try. You should Redownload File from the site "
         "you have "
         "got it."},
        {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-999/1000\r\n\r\n", 1000,
         "ErrorText = File Size is not the same as Previous try."},
        {"HTTP/1.1 206 Partial Content\r\nContent-Length: 2000\r\n\r\n", 1000,
         "ErrorText = Bad Server Reply. File Size is Incorrect. Redownload File."},
        {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate abc\r\nContent-Length: 0\r\n\r\n", 0,
         "ErrorText = Unsupported WWW-Authentication Scheme. ( WWW-Authenticate: Negotiate abc )"},
        {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", 0, "ErrorText = 401 Unauthorized."},
    };
    for (const Case& c : cases) {
        HttpHarness h("http://127.0.0.1:8080/x.bin");
        if (c.knownSize > 0) {
            h.engine().SetFileSize(c.knownSize);
        }
        h.connect();
        h.sent();
        h.serve(c.reply);
        EXPECT_TRUE(contains(h.log(), c.logged)) << c.reply;
    }
}

TEST(VornSocketHttp, UnsatisfiableRangeWhileStartingEndsTheDownload) {
    for (bool resume : {false, true}) {
        HttpHarness h("http://127.0.0.1:8080/x.bin", 1, resume);
        h.connect();
        h.sent();
        h.serve(reply("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0"));
        EXPECT_EQ(h.engine().State(), ENGINE_STATE_ERROR);
        EXPECT_EQ(
            h.engine().ErrorText(),
            resume ? L"File Has been Changed on Server.Yo must Redownload it from beggining.(Reply-Code=416)"
                   : L"File is Empty.(FileSize=0). Reply-Code to Range-Request is 416");
    }
}

TEST(VornSocketHttp, ResumedDownloadsFailOrAskForRenewalByTheReply) {
    struct Case {
        const char* name;
        const char* pageUrl;
        std::string reply;
        const wchar_t* error;
        int32_t errorCode;
    };
    const Case cases[] = {
        {"not resumable any more", "", reply("HTTP/1.1 200 OK\r\nContent-Length: 5000000"),
         L"Server Didn't allow File to Be Resumed. Please Redownload File.", ENGINE_ERROR_NONE},
        {"captured link expired", "http://example.invalid/page",
         reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0"),
         L"Download Must be Renewed. Server Reply is :HTTP/1.1 403 Forbidden", ENGINE_ERROR_RENEW},
        {"refused without a page to renew from", "", reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0"),
         L"HTTP/1.1 403 Forbidden", ENGINE_ERROR_NONE},
    };
    for (const Case& c : cases) {
        HttpHarness h("http://127.0.0.1:8080/x.bin", 1, true, nullptr, c.pageUrl);
        h.connect();
        h.sent();
        h.serve(c.reply);
        EXPECT_EQ(h.engine().State(), ENGINE_STATE_ERROR) << c.name;
        EXPECT_EQ(h.engine().ErrorText(), c.error) << c.name;
        EXPECT_EQ(h.engine().ErrorCode(), c.errorCode) << c.name;
    }
}

TEST(VornSocketHttp, BasicChallengeIsAnsweredWithTheStoredCredentials) {
    HttpHarness h("http://127.0.0.1:8080/private.bin");
    h.engine().SetCredentials("user", "secret");
    h.connect();
    h.sent();
    // NTLM is offered first; the lowest scheme offered (Basic) is the one answered.
    h.serve(reply("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\n"
                  "WWW-Authenticate: Basic realm=\"files\"\r\nContent-Length: 0"));
    EXPECT_EQ(h.engine().ServerAuthType(), AUTH_TYPE_BASIC);
    const std::string again = h.sent();
    EXPECT_TRUE(contains(again, "\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n")) << again;
    EXPECT_TRUE(contains(h.log(), "Authorization: Basic XXXXXXXXXXXXXXXX\\x0D\\x0A")); // line breaks quoted
    EXPECT_FALSE(contains(h.log(), "dXNlcjpzZWNyZXQ="));
}

TEST(VornSocketHttp, CompressedRepliesAreNotRetried) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 3"));
    EXPECT_EQ(h.engine().State(), ENGINE_STATE_ERROR);
    EXPECT_EQ(h.engine().ErrorText(), L"Unsupported Content-Encoding : BR");
}

TEST(VornSocketHttp, OverlongHeaderLineIsRefusedAndALongButFittingOneIsAccepted) {
    HttpHarness refused("http://127.0.0.1:8080/x.bin");
    refused.connect();
    refused.sent();
    refused.serve("HTTP/1.1 200 OK\r\nX-Long: " + std::string(40000, 'a'));
    EXPECT_TRUE(
        contains(refused.log(), "Buffer Exploit Detected!, No End-Of-Line Found in received Headers."));

    HttpHarness accepted("http://127.0.0.1:8080/x.bin");
    accepted.connect();
    accepted.sent();
    accepted.serve("HTTP/1.1 206 Partial Content\r\nX-Long: " + std::string(32000, 'a') +
                   "\r\nContent-Range: bytes 0-1/2\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_FALSE(contains(accepted.log(), "Buffer Exploit"));
    EXPECT_EQ(accepted.written(), "ok");
}

TEST(VornSocketHttp, RelativeRedirectIsResolvedAgainstTheCurrentHost) {
    HttpHarness h("http://127.0.0.1:8080/old");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 302 Found\r\nLocation: /new/path?a=1,2\r\nContent-Length: 0"));
    EXPECT_EQ(h.connection().Url().givenText(), "http://127.0.0.1:8080/new/path?a=1,2");
    EXPECT_EQ(h.connection().RedirectCount(), 1);
    EXPECT_EQ(h.connection().SocketState(), SOCKET_STATE_IDLE);
}

TEST(VornSocketHttp, TheEleventhRedirectEndsTheDownload) {
    HttpHarness h("http://127.0.0.1:8080/r0");
    for (int i = 1; i <= 11; ++i) {
        h.connect();
        h.sent();
        h.serve(reply("HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1:8080/r" + std::to_string(i) +
                      "\r\nContent-Length: 0"));
        if (i <= 10) {
            ASSERT_EQ(h.engine().State(), ENGINE_STATE_STARTING) << "after redirect " << i;
        }
    }
    EXPECT_EQ(h.engine().State(), ENGINE_STATE_ERROR);
    EXPECT_EQ(h.engine().ErrorText(), L"Too Many Redirection( More than 10 Http-Redirect ).");
}

TEST(VornSocketHttp, RedirectToAnUnsupportedSchemeIsAConnectionError) {
    HttpHarness h("http://127.0.0.1:8080/old");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 302 Found\r\nLocation: gopher://example.invalid/x\r\nContent-Length: 0"));
    EXPECT_TRUE(contains(h.log(), "ErrorText = Server Redirected to an unsupported  protocol/Invalid URL."));
}

TEST(VornSocketHttp, ReplyWithoutLengthEndsWithTheGracefulClose) {
    HttpHarness h("http://127.0.0.1:8080/stream");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 200 OK", "first "));
    h.serve("second");
    EXPECT_EQ(h.engine().FileSize(), UNKNOWN_FILE_SIZE);
    h.closeServer();
    EXPECT_EQ(h.engine().FileSize(), 12);
    EXPECT_EQ(h.written(), "first second");
    EXPECT_EQ(h.engine().State(), ENGINE_STATE_MERGING);
}

TEST(VornSocketHttp, ChunkedReplySetsTheSizeWhenTheLastChunkArrives) {
    HttpHarness h("http://127.0.0.1:8080/chunks");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"),
            3);
    EXPECT_EQ(h.engine().FileSize(), 11);
    EXPECT_EQ(h.written(), "hello world");
}

TEST(VornSocketHttp, ConnectionDroppedBeforeTheEndIsAnError) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    h.serve(
        reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/100\r\nContent-Length: 100", "abc"));
    h.closeServer();
    EXPECT_TRUE(contains(h.log(), "ErrorText = Server Closed Connection Suddenly."));
    // The work file is reserved at the full size; only what arrived counts.
    EXPECT_EQ(h.written().substr(0, 3), "abc");
    ASSERT_NE(h.engine().SegmentManager()->SegmentCount(), 0u);
    EXPECT_EQ(h.engine().SegmentManager()->Segment(0)->m_received, 3);
}

TEST(VornSocketHttp, BytesBeyondTheSegmentEndAreNeverWritten) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    h.serve(reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\nContent-Length: 10",
                  "0123456789EXTRA-BYTES"));
    EXPECT_EQ(h.written(), "0123456789");
}

TEST(VornSocketHttp, SegmentFileThatCannotBeOpenedIsAConnectionError) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    // A file where the destination folder belongs: the work file cannot be made there.
    writeWholeFile(h.destinationFolder(), "blocked");
    h.serve(reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\nContent-Length: 10",
                  "0123456789"));
    EXPECT_TRUE(contains(h.log(), "ErrorText = Failed To Open Segment-File."));
    EXPECT_NE(h.engine().State(), ENGINE_STATE_MERGING);
}

TEST(VornSocketHttp, SuspendedConnectionComesBackOnlyAfterItsPause) {
    HttpHarness h("http://127.0.0.1:8080/x.bin");
    h.connect();
    h.sent();
    h.connection().Suspend();
    EXPECT_EQ(h.connection().SocketState(), SOCKET_STATE_PARKED);
    EXPECT_TRUE(h.connection().IsSuspended());
    h.connection().RetrieveFromSuspend();
    EXPECT_EQ(h.connection().SocketState(), SOCKET_STATE_PARKED);
    std::this_thread::sleep_for(std::chrono::milliseconds(ENGINE_SOCKET_SUSPEND_MS + 100));
    h.connection().RetrieveFromSuspend();
    EXPECT_EQ(h.connection().SocketState(), SOCKET_STATE_IDLE);
    EXPECT_FALSE(h.connection().IsSuspended());
    EXPECT_TRUE(contains(h.log(), "Socket ( 1 )  is going to Suspend-State for 4500 mili seconds"));
    EXPECT_TRUE(contains(h.log(), "Socket ( 1 )  Retrived From Suspend State."));
}

TEST(VornSocketHttp, TlsRecordArrivingInPiecesIsNothingYetUntilItsLastByte) {
    static TestCertificates certificates;
    ASSERT_TRUE(certificates.ok());
    ScopedEnv env;
    env.set("SSL_CERT_FILE", certificates.caFile().string());
    HttpHarness h("https://127.0.0.1:8443/s.bin");
    MemoryTlsServer server(certificates.serverCert(), certificates.serverKey());
    h.connect();
    for (int round = 0; round < 10 && h.connection().SocketState() != SOCKET_STATE_TLS; ++round) {
        h.serve(server.feed(h.sent()));
    }
    ASSERT_EQ(h.connection().SocketState(), SOCKET_STATE_TLS);
    server.keepUnsent(server.feed(h.sent()));
    EXPECT_EQ(server.receive("").substr(0, 21), "GET /s.bin HTTP/1.1\r\n");

    const std::string records = server.send("HTTP/1.1 200 OK\r\n\r\n");
    char plain[256];
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        h.push(records.substr(i, 1));
        ASSERT_EQ(h.connection().Receive(plain, sizeof plain), SOCKET_RECEIVE_PENDING) << "after byte " << i;
    }
    h.push(records.substr(records.size() - 1));
    const int32_t n = h.connection().Receive(plain, sizeof plain);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(plain, static_cast<size_t>(n)), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(VornSocketHttp, MaskingHidesBasicCredentialsOnly) {
    const std::string request =
        "GET / HTTP/1.1\r\nProxy-Authorization: Basic cDpx\r\nAuthorization: Basic dTp2\r\n"
        "X: y\r\n\r\n";
    EXPECT_EQ(
        VornSocketHttp::MaskBasicCredentials(request),
        "GET / HTTP/1.1\r\nProxy-Authorization: Basic XXXX\r\nAuthorization: Basic XXXX\r\nX: y\r\n\r\n");
    const std::string digest = "GET / HTTP/1.1\r\nAuthorization: Digest username=\"u\"\r\n\r\n";
    EXPECT_EQ(VornSocketHttp::MaskBasicCredentials(digest), digest);
}

} // namespace
