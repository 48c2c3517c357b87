// Downloads through SOCKS proxies: real ones from Debian (microsocks, dante) and a scripted one for the
// faults real proxies rarely show, all on loopback.
#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornEngineTypes.h"
#include "protocols/VornSocketHttp.h"
#include "tests/support/DanteServer.h"
#include "tests/support/MicroSocksServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/ScriptedSocksServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const TestCertificates& certificates() {
    static TestCertificates certs;
    return certs;
}

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (line.find(part) != std::string::npos) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

VornEngineProxy socksProxy(uint16_t port, const std::string& user = "", const std::string& password = "") {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 1;
    proxy.host = "127.0.0.1";
    proxy.port = port;
    proxy.user = user;
    proxy.password = password;
    return proxy;
}

// A connection that counts as timed out after a second of silence instead of 26, so the watchdog's
// handling of a silent proxy shows within a test's patience.
class QuicklyIdleConnection : public VornSocketHttp {
public:
    using VornSocketHttp::VornSocketHttp;
    bool isIdle() const override {
        const uint64_t now = static_cast<uint64_t>(VornDownloadEngine::NowMillis());
        return lastActivity() != 0 && now > lastActivity() + 1000;
    }
};

class QuicklyIdleEngine : public VornDownloadEngine {
public:
    using VornDownloadEngine::VornDownloadEngine;

protected:
    std::unique_ptr<VornEngineSocket> MakeConnection(uint16_t number) override {
        return std::make_unique<QuicklyIdleConnection>(number, this, Record().url);
    }
};

// One download through a proxy on a real engine thread, and what it produced.
class Download {
public:
    Download() { m_env.set("SSL_CERT_FILE", certificates().caFile().string()); }
    ~Download() {
        if (m_engine) {
            m_engine->Stop();
            m_engine->WaitFinished(60000);
            m_engine.reset();
        }
    }

    void start(const std::string& url, uint8_t connections, const VornEngineProxy& proxy, int32_t selector,
               bool quicklyIdle = false) {
        VornDownloadRecord record(1, url, "", connections, 0, "normal");
        const std::wstring work = vornUtf8ToWide((m_dir.path() / "work").string() + "/");
        const std::wstring done = vornUtf8ToWide((m_dir.path() / "done").string() + "/");
        if (quicklyIdle) {
            m_engine = std::make_unique<QuicklyIdleEngine>(&m_window, record, work, done, false);
        } else {
            m_engine = std::make_unique<VornDownloadEngine>(&m_window, record, work, done, false);
        }
        m_engine->SetCategoryFoldersReader([] { return 2; });
        m_engine->SetProxySettings(proxy);
        m_engine->SetSocksVersionSelector(selector);
        ASSERT_TRUE(m_engine->Start());
    }
    void finish() {
        ASSERT_TRUE(m_engine->WaitFinished(180000)) << "the download did not end";
        m_state = m_engine->State();
        m_error = vornWideToUtf8(m_engine->ErrorText());
        m_selector = m_engine->SocksVersionSelector();
        while (std::optional<VornMessage> message = m_window.tryTake()) {
            m_messages.push_back(*message);
        }
    }
    void stop() {
        m_engine->Stop();
        finish();
    }
    void run(const std::string& url, uint8_t connections, const VornEngineProxy& proxy,
             int32_t selector = 2) {
        start(url, connections, proxy, selector);
        finish();
    }

    std::string result() const { return readWholeFile(m_dir.path() / "done" / fileName()); }
    std::string log() const { return readWholeFile(m_dir.path() / "work" / "LogFile.txt"); }
    int32_t state() const { return m_state; }
    const std::string& error() const { return m_error; }
    int32_t selector() const { return m_selector; }
    // The status texts posted for the connections ("id@text").
    std::vector<std::string> statuses() const {
        const std::string prefix = std::to_string(ENGINE_EVENT_CONNECTION_STATUS) + "@";
        std::vector<std::string> texts;
        for (const VornMessage& message : m_messages) {
            if (message.id == WM_ENGINE_EVENT && message.text.rfind(prefix, 0) == 0) {
                texts.push_back(message.text.substr(prefix.size()));
            }
        }
        return texts;
    }
    bool postedStatus(const std::string& text) const {
        for (const std::string& status : statuses()) {
            if (status.size() > text.size() &&
                status.compare(status.size() - text.size(), text.size(), text) == 0 &&
                status[status.size() - text.size() - 1] == '@') {
                return true;
            }
        }
        return false;
    }

private:
    std::string fileName() const {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path() / "done", ignored)) {
            return entry.path().filename().string();
        }
        return "<no file>";
    }

    TempHome m_home;
    TempDir m_dir;
    ScopedEnv m_env;
    VornMessageQueue m_window;
    std::unique_ptr<VornDownloadEngine> m_engine;
    std::vector<VornMessage> m_messages;
    int32_t m_state = 0;
    int32_t m_selector = -1;
    std::string m_error;
};

const std::string kSocksProblem =
    "Problem on SOCKS-Proxy. Check User, Password and Socks Setting. (Via Proxy)";

class RealSocksProxies : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificates().ok());
        if (!NginxServer::available() || !MicroSocksServer::available() || !DanteServer::available()) {
            GTEST_SKIP() << "nginx, microsocks or danted is not installed";
        }
        NginxServer::Options tls;
        tls.certificateFile = certificates().serverCert();
        tls.keyFile = certificates().serverKey();
        NginxServer::Options plain;
        plain.slowRateBytes = 1024 * 1024;
        m_plain = std::make_unique<NginxServer>(plain);
        m_secure = std::make_unique<NginxServer>(tls);
        ASSERT_TRUE(m_plain->start()) << m_plain->error();
        ASSERT_TRUE(m_secure->start()) << m_secure->error();
    }
    // The served file's URL with "localhost" for a name the proxy resolves.
    static std::string byName(const std::string& url) {
        std::string text = url;
        text.replace(text.find("127.0.0.1"), 9, "localhost");
        return text;
    }

    std::unique_ptr<NginxServer> m_plain;
    std::unique_ptr<NginxServer> m_secure;
};

TEST_F(RealSocksProxies, PlainAndTlsDownloadsAreByteIdenticalThroughMicrosocksAndDante) {
    MicroSocksServer microsocks;
    ASSERT_TRUE(microsocks.start()) << microsocks.error();
    DanteServer dante;
    ASSERT_TRUE(dante.start()) << dante.error();
    const std::string plain = readWholeFile(m_plain->writeRandomFile("f.bin", 2 * 1024 * 1024 + 17, 31));
    const std::string secure = readWholeFile(m_secure->writeRandomFile("f.bin", 2 * 1024 * 1024 + 17, 31));
    struct Proxy {
        const char* name;
        uint16_t port;
    };
    for (const Proxy& proxy : {Proxy{"microsocks", microsocks.port()}, Proxy{"dante", dante.port()}}) {
        for (bool tls : {false, true}) {
            for (uint8_t connections : {uint8_t(1), uint8_t(8)}) {
                SCOPED_TRACE(std::string(proxy.name) + (tls ? " https " : " http ") +
                             std::to_string(connections));
                NginxServer& server = tls ? *m_secure : *m_plain;
                // One of each pair asks the proxy to resolve the name (address type 3).
                const std::string url =
                    connections == 1 ? byName(server.url("/f.bin")) : server.url("/f.bin");
                Download download;
                download.run(url, connections, socksProxy(proxy.port));
                EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
                EXPECT_TRUE(download.result() == (tls ? secure : plain));
                EXPECT_NE(download.log().find("Socks HandShake OK for Socket ( 1 ) using SOCKS5"),
                          std::string::npos);
            }
        }
    }
}

TEST_F(RealSocksProxies, DanteRefusesSocks4aSoEveryConnectionUsesSocks4) {
    DanteServer dante;
    ASSERT_TRUE(dante.start()) << dante.error();
    const std::string content = readWholeFile(m_plain->writeRandomFile("slow/four.bin", 3 * 1024 * 1024, 5));
    Download download;
    // The "SocksVersion" setting 4 starts at 4a; dante answers 5B and the engine steps down to 4.
    download.run(m_plain->url("/slow/four.bin"), 8, socksProxy(dante.port()), 1);
    ASSERT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    const std::string log = download.log();
    EXPECT_EQ(count(log, "Socks HandShake Failed for Socket ( 1 ) using SOCKS4a"), 1u) << log;
    // Every tunnel, the first one's and the later connections', is a SOCKS 4 one.
    const std::vector<std::string> tunnels = linesWith(log, "Socks HandShake OK for Socket");
    EXPECT_GT(tunnels.size(), 1u);
    for (const std::string& line : tunnels) {
        EXPECT_EQ(line.substr(line.size() - 13), "using SOCKS4\r") << line;
    }
    EXPECT_EQ(download.selector(), 0);
    EXPECT_GT(m_plain->requests().size(), 1u) << "only one connection was used";
}

TEST_F(RealSocksProxies, MicrosocksWithUserAndPassword) {
    MicroSocksServer microsocks;
    microsocks.requireCredentials("alice", "s3cret");
    ASSERT_TRUE(microsocks.start()) << microsocks.error();
    const std::string content = readWholeFile(m_plain->writeRandomFile("auth.bin", 500000, 3));
    {
        Download download;
        download.run(m_plain->url("/auth.bin"), 4, socksProxy(microsocks.port(), "alice", "s3cret"));
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content);
    }
    const size_t served = m_plain->requests().size();
    for (const char* password : {"wrong", ""}) {
        SCOPED_TRACE(password);
        Download download;
        download.run(m_plain->url("/auth.bin"), 4, socksProxy(microsocks.port(), "alice", password));
        EXPECT_EQ(download.state(), ENGINE_STATE_ERROR);
        EXPECT_EQ(download.error(), kSocksProblem);
        // The specific reason is logged and shown in the connection's status.
        EXPECT_NE(download.log().find("using SOCKS5 : Socks Auth Failed."), std::string::npos);
        EXPECT_TRUE(download.postedStatus("Socks Auth Failed."));
    }
    EXPECT_EQ(m_plain->requests().size(), served) << "a refused client reached the server";
}

TEST(ScriptedSocksProxy, AwkwardButValidRepliesStillGiveTheExactFile) {
    ASSERT_TRUE(certificates().ok());
    const std::string content = randomBytes(600000, 11);
    struct Case {
        const char* name;
        ScriptedSocksBehaviour behaviour;
        int32_t selector;
        bool tls;
    };
    ScriptedSocksBehaviour pieces;
    pieces.splitReplyAfter = 3;
    ScriptedSocksBehaviour named;
    named.replyWithHostName = true;
    ScriptedSocksBehaviour credentials;
    credentials.method = 2;
    credentials.user = "anonymous";
    credentials.password = "XoUkep";
    const Case cases[] = {
        {"SOCKS 5 reply in pieces (3 bytes, then the rest)", pieces, 2, false},
        {"SOCKS 5 reply in pieces before TLS", pieces, 2, true},
        {"SOCKS 4a reply in pieces", pieces, 1, false},
        {"SOCKS 5 reply that names the bound host", named, 2, false},
        {"user and password asked for with none set", credentials, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server(
            [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
        if (c.tls) {
            server.useTls(certificates().serverCert(), certificates().serverKey());
        }
        server.start();
        ScriptedSocksServer proxy(c.behaviour);
        proxy.start();
        Download download;
        download.run(server.url("/s.bin"), 4, socksProxy(proxy.port()), c.selector);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content);
        // Inside the tunnel the request is the one a server gets directly, not an HTTP proxy's.
        ASSERT_FALSE(server.requests().empty());
        EXPECT_EQ(server.requests()[0].target, "/s.bin");
        EXPECT_FALSE(server.requests()[0].header("Proxy-Connection").has_value());
    }
}

TEST(ScriptedSocksProxy, ServerBytesInTheReplysWriteReachTheProtocol) {
    const std::string body = randomBytes(300, 4);
    ScriptedSocksBehaviour behaviour;
    // The whole HTTP reply arrives with the proxy's reply, before the request is even sent.
    behaviour.sentWithReply = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\nConnection: close\r\n\r\n" + body;
    for (int32_t selector : {2, 1}) {
        SCOPED_TRACE(selector);
        ScriptedSocksServer proxy(behaviour);
        proxy.start();
        Download download;
        download.run("http://127.0.0.1:9/early.bin", 1, socksProxy(proxy.port()), selector);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == body);
    }
}

TEST(ScriptedSocksProxy, ARedirectToAnotherServerIsTunnelledThere) {
    const std::string content = randomBytes(800000, 14);
    ScriptedHttpServer target(
        [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
    target.start();
    ScriptedHttpServer origin(
        {ScriptedReply::status(302, "Found", "", {"Location: " + target.url("/moved.bin")})});
    origin.start();
    ScriptedSocksServer proxy(ScriptedSocksBehaviour{});
    proxy.start();
    for (int32_t selector : {2, 1}) {
        SCOPED_TRACE(selector);
        Download download;
        download.run(origin.url("/start.bin"), 4, socksProxy(proxy.port()), selector);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content);
    }
    // Only the first request of each download went to the origin; everything else asked for the target.
    EXPECT_EQ(origin.requests().size(), 2u);
    ASSERT_FALSE(target.requests().empty());
    EXPECT_EQ(target.requests()[0].target, "/moved.bin");
}

TEST(ScriptedSocksProxy, RefusedSocks5FallsBackTo4aForEveryLaterConnection) {
    const std::string content = randomBytes(2 * 1024 * 1024, 12);
    ScriptedHttpServer server([&](const ScriptedRequest& r, size_t) {
        ScriptedReply reply = ScriptedReply::file(r, content);
        // Slow enough that the later connections find work.
        reply.trickle = 32 * 1024;
        reply.pause = std::chrono::milliseconds(20);
        return reply;
    });
    server.start();
    ScriptedSocksBehaviour behaviour;
    behaviour.socks5 = false; // answers the greeting with 05 FF
    ScriptedSocksServer proxy(behaviour);
    proxy.start();
    Download download;
    download.run(server.url("/fall.bin"), 8, socksProxy(proxy.port()), 2);
    ASSERT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    EXPECT_EQ(proxy.greetings(), 1u);
    EXPECT_EQ(proxy.requests(ScriptedSocksServer::KIND_SOCKS4), 0u);
    // A connection that found no work after its tunnel made no request: at least one 4a each.
    EXPECT_GT(server.requests().size(), 1u);
    EXPECT_GE(proxy.requests(ScriptedSocksServer::KIND_SOCKS4A), server.requests().size());
    EXPECT_EQ(download.selector(), 1);
    EXPECT_TRUE(download.postedStatus("Auth Problem - Socks-V5 Server did not Accep Current Auth-Mode."));
}

TEST(ScriptedSocksProxy, RefusalsAfterTheStartAreOrdinaryConnectionErrors) {
    const std::string content = randomBytes(1024 * 1024, 13);
    ScriptedHttpServer server([&](const ScriptedRequest& r, size_t) {
        ScriptedReply reply = ScriptedReply::file(r, content);
        reply.trickle = 16 * 1024;
        reply.pause = std::chrono::milliseconds(20);
        return reply;
    });
    server.start();
    ScriptedSocksBehaviour behaviour;
    behaviour.socks5Greetings = 1; // every later greeting gets 05 FF
    ScriptedSocksServer proxy(behaviour);
    proxy.start();
    Download download;
    download.run(server.url("/late.bin"), 4, socksProxy(proxy.port()), 2);
    ASSERT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    // The version that worked stays: nothing falls back once data flows.
    EXPECT_GT(proxy.greetings(), 1u);
    EXPECT_EQ(proxy.requests(ScriptedSocksServer::KIND_SOCKS4A) +
                  proxy.requests(ScriptedSocksServer::KIND_SOCKS4),
              0u);
    EXPECT_EQ(download.selector(), 2);
}

TEST(ScriptedSocksProxy, RejectedRequestsEndWithTheSocksProblem) {
    struct Case {
        const char* name;
        unsigned char code;
        int32_t selector;
        std::string firstBytes;
    };
    const Case cases[] = {
        {"5B from SOCKS 5 down to SOCKS 4", 0x5B, 2, "\x05\x04\x04"},
        {"5C from SOCKS 4a down to SOCKS 4", 0x5C, 1, "\x04\x04"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSocksBehaviour behaviour;
        behaviour.socks5 = false;
        behaviour.socks4a = false;
        behaviour.socks4 = false;
        behaviour.socks4Refusal = c.code;
        ScriptedSocksServer proxy(behaviour);
        proxy.start();
        Download download;
        download.run("http://127.0.0.1:9/no.bin", 2, socksProxy(proxy.port()), c.selector);
        EXPECT_EQ(download.state(), ENGINE_STATE_ERROR);
        EXPECT_EQ(download.error(), kSocksProblem);
        EXPECT_TRUE(download.postedStatus("Failed to Establish Connection to Socks-Server."));
        EXPECT_NE(download.log().find("ReplyCode = " + std::to_string(c.code)), std::string::npos);
        // Each older version once, then the engine's three retries with the oldest.
        EXPECT_EQ(proxy.firstBytes().substr(0, c.firstBytes.size()), c.firstBytes);
        EXPECT_EQ(proxy.requests(ScriptedSocksServer::KIND_SOCKS4), 4u);
        EXPECT_EQ(download.selector(), 0);
    }
}

TEST(ScriptedSocksProxy, SilentProxyTimesOutAndTheOlderVersionIsTried) {
    ScriptedSocksBehaviour behaviour;
    behaviour.silent = true;
    ScriptedSocksServer proxy(behaviour);
    proxy.start();
    Download download;
    download.start("http://127.0.0.1:9/quiet.bin", 1, socksProxy(proxy.port()), 2, true);
    ASSERT_TRUE(proxy.waitForConnections(2, std::chrono::seconds(60)));
    download.stop();
    EXPECT_EQ(proxy.firstBytes().substr(0, 2), "\x05\x04");
    const std::string log = download.log();
    EXPECT_NE(log.find("ErrorText = Connection Timed Out."), std::string::npos) << log;
    EXPECT_NE(log.find("Trying SOCKS4a"), std::string::npos) << log;
    EXPECT_TRUE(download.postedStatus("SOCKS Handshaking..."));
}

} // namespace
