#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "storage/VornSettings.h"
#include "tests/support/FullDisk.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TinyProxyServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>

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

// Runs one download through a real engine thread to its end and keeps what it produced.
class Download {
public:
    Download() { m_env.set("SSL_CERT_FILE", certificates().caFile().string()); }

    void run(const std::string& url, uint8_t connections, const VornEngineProxy* proxy = nullptr,
             const std::function<void(VornDownloadRecord&)>& change = {}) {
        VornDownloadRecord record(1, url, "", connections, 0, "normal");
        if (change) {
            change(record);
        }
        const std::wstring work = vornUtf8ToWide((m_dir.path() / "work").string() + "/");
        const std::wstring done = vornUtf8ToWide((m_dir.path() / "done").string() + "/");
        m_engine = std::make_unique<VornDownloadEngine>(&m_window, record, work, done, false);
        if (proxy != nullptr) {
            m_engine->SetProxySettings(*proxy);
        }
        ASSERT_TRUE(m_engine->Start());
        ASSERT_TRUE(m_engine->WaitFinished(180000)) << "the download did not end";
        m_state = m_engine->State();
        m_error = vornWideToUtf8(m_engine->ErrorText());
    }
    ~Download() {
        if (m_engine) {
            m_engine->Stop();
            m_engine.reset();
        }
    }

    // The merged file, wherever its category put it.
    std::string result() const {
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(m_dir.path() / "done", ignored)) {
            if (entry.is_regular_file()) {
                return readWholeFile(entry.path());
            }
        }
        return "<no file>";
    }
    // The merged file's name.
    std::string resultName() const {
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(m_dir.path() / "done", ignored)) {
            if (entry.is_regular_file()) {
                return entry.path().filename().string();
            }
        }
        return "<no file>";
    }
    std::string log() const { return readWholeFile(m_dir.path() / "work" / "LogFile.txt"); }
    int32_t state() const { return m_state; }
    const std::string& error() const { return m_error; }

private:
    TempHome m_home;
    TempDir m_dir;
    ScopedEnv m_env;
    VornMessageQueue m_window;
    std::unique_ptr<VornDownloadEngine> m_engine;
    int32_t m_state = 0;
    std::string m_error;
};

VornEngineProxy httpProxy(uint16_t port) {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = port;
    return proxy;
}

TEST(VornHttpTransfer, ScriptedServerFaultsStillGiveTheExactFile) {
    const std::string content = randomBytes(700000, 7);
    struct Case {
        const char* name;
        uint8_t connections;
        std::function<ScriptedReply(const ScriptedRequest&, size_t)> handler;
    };
    const Case cases[] = {
        {"several connections", 4,
         [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); }},
        {"first connection dropped in the middle of its segment", 4,
         [&](const ScriptedRequest& r, size_t index) {
             ScriptedReply reply = ScriptedReply::file(r, content);
             if (index == 0) {
                 reply.cutAfter = 100000;
             }
             return reply;
         }},
        {"server that ignores ranges", 4,
         [&](const ScriptedRequest&, size_t) { return ScriptedReply::status(200, "OK", content); }},
        {"plain 200 to every later ranged request", 4,
         [&](const ScriptedRequest& r, size_t index) {
             return index == 0 ? ScriptedReply::file(r, content) : ScriptedReply::status(200, "OK", content);
         }},
        {"absolute then relative redirect", 2,
         [&](const ScriptedRequest& r, size_t) {
             if (r.target == "/data/blob.bin") {
                 return ScriptedReply::status(302, "Found", "",
                                              {"Location: http://" + r.header("Host").value_or("") + "/mid"});
             }
             if (r.target == "/mid") {
                 return ScriptedReply::status(301, "Moved", "", {"Location: /final/blob.bin"});
             }
             return ScriptedReply::file(r, content);
         }},
        {"replies trickled in odd pieces", 2,
         [&](const ScriptedRequest& r, size_t) {
             ScriptedReply reply = ScriptedReply::file(r, content);
             reply.trickle = 4093;
             return reply;
         }},
    };
    for (const Case& c : cases) {
        ScriptedHttpServer server(c.handler);
        server.start();
        Download download;
        download.run(server.url("/data/blob.bin"), c.connections);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << c.name << ": " << download.error();
        EXPECT_TRUE(download.result() == content) << c.name;
    }
}

TEST(VornHttpTransfer, RedirectTargetsResolveAgainstTheRequestedUrl) {
    const std::string content = randomBytes(50000, 3);
    struct Case {
        std::string location;
        std::string resolvedTarget;
    };
    const Case cases[] = {
        {"file.bin", "/dir/sub/file.bin"},  {"../up/file.bin", "/dir/up/file.bin"},
        {"./x/../y.bin", "/dir/sub/y.bin"}, {"?part=2", "/dir/sub/start?part=2"},
        {"/root.bin", "/root.bin"},         {"//127.0.0.1:PORT/other/z.bin", "/other/z.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        std::string location = c.location;
        ScriptedHttpServer server([&](const ScriptedRequest& r, size_t) {
            if (r.target == "/dir/sub/start?part=1") {
                return ScriptedReply::status(302, "Found", "", {"Location: " + location});
            }
            if (r.target == c.resolvedTarget) {
                return ScriptedReply::file(r, content);
            }
            return ScriptedReply::status(404, "Not Found", "");
        });
        server.start();
        const size_t port = location.find("PORT");
        if (port != std::string::npos) {
            location.replace(port, 4, std::to_string(server.port()));
        }
        Download download;
        download.run(server.url("/dir/sub/start?part=1"), 1);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content);
    }
}

TEST(VornHttpTransfer, BlanksControlsAndNonAsciiInTheUrlTravelPercentEncoded) {
    const std::string content = randomBytes(20000, 4);
    ScriptedHttpServer server(
        [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
    server.start();
    Download download;
    download.run(server.url("/a b/\xC3\xBC\x01.bin?q=<x>"), 1);
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    const std::vector<ScriptedRequest> requests = server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].target, "/a%20b/%C3%BC%01.bin?q=%3Cx%3E");
    EXPECT_EQ(requests[0].raw.find("\x01"), std::string::npos);
}

TEST(VornHttpTransfer, AGenericContentTypeKeepsTheNamesOwnExtension) {
    struct Case {
        std::string path;
        std::string contentType;
        std::string savedAs;
    };
    const Case cases[] = {
        {"/big.bin", "text/plain", "big.bin"},
        {"/x.tar.gz", "text/plain; charset=utf-8", "x.tar.gz"},
        {"/image.iso", "application/octet-stream", "image.iso"},
        {"/dump.raw", "Binary/Octet-Stream", "dump.raw"},
        {"/notes", "text/plain", "notes.txt"},  // no extension of its own: the type gives one
        {"/clip.bin", "video/mp4", "clip.mp4"}, // a specific type still names the file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ScriptedHttpServer server([&](const ScriptedRequest& r, size_t) {
            return ScriptedReply::file(r, "some text\n", {"Content-Type: " + c.contentType});
        });
        server.start();
        Download download;
        download.run(server.url(c.path), 1);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_EQ(download.resultName(), c.savedAs);
    }
}

// A disk that fills up in the middle of a segment, made with the file-size limit: the connection stops with
// the disk text, and once there is room again the download goes on from what reached the file.
TEST(VornHttpTransfer, AFullDiskMidwayLosesNothingOnceThereIsRoom) {
    const std::string content = randomBytes(1000000, 11);
    ScriptedHttpServer server(
        [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
    server.start();
    Download download;
    FullDisk disk(300000);
    ASSERT_TRUE(disk.active());
    std::atomic<bool> done{false};
    std::atomic<bool> sawDiskFull{false};
    std::thread room([&] {
        while (!done && download.log().find("Failed To Write Data On Disk. Seems Disk is full.") ==
                            std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        sawDiskFull = !done;
        disk.lift();
    });
    download.run(server.url("/data/blob.bin"), 1);
    done = true;
    room.join();
    EXPECT_TRUE(sawDiskFull);
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    EXPECT_GE(server.requests().size(), 2u);
}

TEST(VornHttpTransfer, ChunkedBodyWithAwkwardBoundariesArrivesWhole) {
    const std::string content = randomBytes(50000, 3);
    std::string body;
    for (size_t at = 0, size = 1; at < content.size(); at += size, size = size * 3 % 4099 + 1) {
        const std::string piece = content.substr(at, size);
        char line[16];
        std::snprintf(line, sizeof line, "%zx\r\n", piece.size());
        body += line + piece + "\r\n";
    }
    body += "0\r\n\r\n";
    ScriptedReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + body;
    reply.trickle = 1021;
    ScriptedHttpServer server({reply});
    server.start();
    Download download;
    download.run(server.url("/chunked.bin"), 1);
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
}

class VornHttpsTransfer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(certificates().ok()); }
};

TEST_F(VornHttpsTransfer, VerifiedServerGivesTheFileAndTrickledRecordsAreReassembled) {
    const std::string content = randomBytes(300000, 11);
    ScriptedHttpServer server([&](const ScriptedRequest& r, size_t index) {
        ScriptedReply reply = ScriptedReply::file(r, content);
        // The first reply goes out a few bytes at a time, so records arrive in pieces.
        if (index == 0) {
            reply.trickle = 7;
            reply.bytes = reply.bytes.substr(0, reply.bytes.find("\r\n\r\n") + 4 + 3000);
        }
        return reply;
    });
    server.useTls(certificates().serverCert(), certificates().serverKey());
    server.start();
    Download download;
    download.run(server.url("/secure/file.bin"), 2);
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    EXPECT_NE(download.log().find("SslHandShake OK for Socket ( 1 )"), std::string::npos);
}

TEST_F(VornHttpsTransfer, UntrustedCertificatesAreRefusedUnlessVerificationIsOff) {
    struct Case {
        const char* name;
        bool selfSigned;
        bool verify;
        const char* reason;
    };
    const Case cases[] = {
        {"self-signed refused", true, true, "self-signed certificate"},
        {"address mismatch refused", false, true, "IP address mismatch"},
        {"self-signed accepted with verification off", true, false, nullptr},
        {"address mismatch accepted with verification off", false, false, nullptr},
    };
    for (const Case& c : cases) {
        const std::string content = randomBytes(5000, 5);
        ScriptedHttpServer server(
            [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
        const auto& certs = certificates();
        server.useTls(c.selfSigned ? certs.selfSignedCert() : certs.otherHostCert(),
                      c.selfSigned ? certs.selfSignedKey() : certs.otherHostKey());
        server.start();
        Download download;
        ASSERT_TRUE(VornSettings::writeFlag12("VerifyCertificates", c.verify));
        download.run(server.url("/f.bin"), 1);
        if (c.reason == nullptr) {
            EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << c.name << ": " << download.error();
            EXPECT_TRUE(download.result() == content) << c.name;
        } else {
            EXPECT_EQ(download.state(), ENGINE_STATE_ERROR) << c.name;
            EXPECT_NE(download.error().find(c.reason), std::string::npos)
                << c.name << ": " << download.error();
            // Refused at once: a certificate does not get better by asking again.
            EXPECT_EQ(server.requests().size(), 0u) << c.name;
        }
    }
}

TEST_F(VornHttpsTransfer, RequestLargerThanOneRecordIsSentWhole) {
    const std::string body(40000, 'p');
    ScriptedHttpServer server({ScriptedReply::status(200, "OK", "posted")});
    server.useTls(certificates().serverCert(), certificates().serverKey());
    server.start();
    Download download;
    download.run(server.url("/form"), 1, nullptr, [&](VornDownloadRecord& record) {
        record.method = "POST";
        record.postData = body;
        record.requestHeaders.push_back("Content-Length: " + std::to_string(body.size()));
    });
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_EQ(download.result(), "posted");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].raw.substr(server.requests()[0].raw.size() - body.size()), body);
}

TEST_F(VornHttpsTransfer, NginxOverHttpsWithOneAndEightConnections) {
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    NginxServer::Options options;
    options.certificateFile = certificates().serverCert();
    options.keyFile = certificates().serverKey();
    NginxServer nginx(options);
    ASSERT_TRUE(nginx.start()) << nginx.error();
    const auto file = nginx.writeRandomFile("big.bin", 3 * 1024 * 1024, 9);
    const std::string expected = readWholeFile(file);
    for (uint8_t connections : {uint8_t(1), uint8_t(8)}) {
        Download download;
        download.run(nginx.url("/big.bin"), connections);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == expected) << int(connections) << " connections";
    }
}

class VornProxyTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificates().ok());
        if (!TinyProxyServer::available()) {
            GTEST_SKIP() << "tinyproxy is not installed";
        }
        ASSERT_TRUE(m_proxy.start()) << m_proxy.error();
    }
    TinyProxyServer m_proxy;
};

TEST_F(VornProxyTransfer, PlainAndTunnelledDownloadsThroughTinyproxy) {
    const std::string content = randomBytes(400000, 13);
    for (bool secure : {false, true}) {
        ScriptedHttpServer server(
            [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
        if (secure) {
            server.useTls(certificates().serverCert(), certificates().serverKey());
        }
        server.start();
        Download download;
        const VornEngineProxy proxy = httpProxy(m_proxy.port());
        download.run(server.url("/p/file.bin"), 4, &proxy);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content) << (secure ? "CONNECT" : "plain");
        ASSERT_FALSE(server.requests().empty());
        // Behind the tunnel the request names only its path; through the plain proxy the server sees it too.
        EXPECT_EQ(server.requests()[0].target, "/p/file.bin");
        if (secure) {
            EXPECT_NE(server.requests()[0].raw.find("Proxy-Connection: keep-alive"), std::string::npos);
        }
    }
    EXPECT_NE(m_proxy.log().find("CONNECT"), std::string::npos);
}

TEST(VornProxyAuthentication, BasicProxyCredentialsAreSentAfterTheChallenge) {
    ASSERT_TRUE(certificates().ok());
    if (!TinyProxyServer::available()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    TinyProxyServer tinyproxy;
    tinyproxy.requireCredentials("proxyuser", "proxypass");
    ASSERT_TRUE(tinyproxy.start()) << tinyproxy.error();
    const std::string content = randomBytes(100000, 17);
    for (bool secure : {false, true}) {
        ScriptedHttpServer server(
            [&](const ScriptedRequest& r, size_t) { return ScriptedReply::file(r, content); });
        if (secure) {
            server.useTls(certificates().serverCert(), certificates().serverKey());
        }
        server.start();
        Download download;
        VornEngineProxy proxy = httpProxy(tinyproxy.port());
        proxy.user = "proxyuser";
        proxy.password = "proxypass";
        download.run(server.url("/auth/file.bin"), 1, &proxy);
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED)
            << (secure ? "CONNECT: " : "plain: ") << download.error();
        EXPECT_TRUE(download.result() == content);
        if (!secure) {
            // The plain request is logged, with the credentials masked.
            EXPECT_NE(download.log().find("Proxy-Authorization: Basic XXXX"), std::string::npos);
            EXPECT_EQ(download.log().find("proxypass"), std::string::npos);
        }
    }
}

TEST(VornProxyRefusal, ProxyRefusingConnectGivesTheTunnelError) {
    ScriptedHttpServer proxy({ScriptedReply::status(403, "Forbidden", "no tunnels here")});
    proxy.start();
    Download download;
    const VornEngineProxy settings = httpProxy(proxy.port());
    download.run("https://127.0.0.1:9/f.bin", 1, &settings);
    EXPECT_EQ(download.state(), ENGINE_STATE_ERROR);
    EXPECT_EQ(download.error(), "Problem on Establishing SSL Tunnel. HTTP/1.1 403 Forbidden (Via Proxy)");
    ASSERT_FALSE(proxy.requests().empty());
    EXPECT_EQ(proxy.requests()[0].raw.substr(0, 30), "CONNECT 127.0.0.1:9 HTTP/1.1\r\n");
}

} // namespace
