// Downloads that must authenticate, through a real engine thread against real servers (nginx
// auth_basic, lighttpd Digest, tinyproxy BasicAuth) and against the scripted AuthServer for what real
// servers do not do. Refused credentials must end the download, counted on the server.
#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "tests/support/AuthServer.h"
#include "tests/support/LighttpdServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TinyProxyServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
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

struct Credentials {
    std::string user;
    std::string password;
};

// One download through a real engine thread, with server credentials and optionally a proxy.
class Download {
public:
    Download() { m_env.set("SSL_CERT_FILE", certificates().caFile().string()); }
    ~Download() {
        if (m_engine) {
            m_engine->Stop();
            m_engine.reset();
        }
    }

    void run(const std::string& url, uint8_t connections, const Credentials& server,
             const VornEngineProxy* proxy = nullptr) {
        VornDownloadRecord record(1, url, "", connections, 0, "normal");
        const std::wstring work = vornUtf8ToWide((m_dir.path() / "work").string() + "/");
        const std::wstring done = vornUtf8ToWide((m_dir.path() / "done").string() + "/");
        m_engine = std::make_unique<VornDownloadEngine>(&m_window, record, work, done, false);
        m_engine->SetCredentials(server.user, server.password);
        if (proxy != nullptr) {
            m_engine->SetProxySettings(*proxy);
        }
        ASSERT_TRUE(m_engine->Start());
        ASSERT_TRUE(m_engine->WaitFinished(180000)) << "the download did not end";
        m_state = m_engine->State();
        m_error = vornWideToUtf8(m_engine->ErrorText());
    }

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

VornEngineProxy httpProxy(uint16_t port, const std::string& user, const std::string& password) {
    VornEngineProxy proxy;
    proxy.enabled = true;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = port;
    proxy.user = user;
    proxy.password = password;
    return proxy;
}

// Whatever a looping client would still send arrives within this pause.
void letStragglersArrive() {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace

// A refused password used to be sent again for ever (108,331 requests in 10 s).
TEST(VornHttpAuthRefusal, RefusedBasicCredentialsEndAfterExactlyTwoRequests) {
    ASSERT_TRUE(certificates().ok());
    struct Case {
        const char* name;
        bool proxy;
        bool secure;
        const char* expected;
    };
    const Case cases[] = {
        {"server", false, false, "Server Authenticate Failed for first Connection.@files"},
        {"proxy", true, false, "Proxy  Authenticate Failed for first Connection.@gate"},
        {"proxy CONNECT", true, true, "Proxy  Authenticate Failed for first Connection.@gate"},
    };
    for (const Case& c : cases) {
        const ScriptedReply refusal =
            c.proxy ? ScriptedReply::status(407, "Proxy Authentication Required", "no",
                                            {"Proxy-Authenticate: Basic realm=\"gate\""})
                    : ScriptedReply::status(401, "Unauthorized", "no",
                                            {"WWW-Authenticate: Basic realm=\"files\""});
        ScriptedHttpServer server({refusal});
        server.start();
        Download download;
        const VornEngineProxy proxy = httpProxy(server.port(), "pu", "wrong");
        const std::string url = c.proxy ? std::string(c.secure ? "https" : "http") + "://127.0.0.1:9/f.bin"
                                        : server.url("/f.bin");
        download.run(url, 1, {"u", "wrong"}, c.proxy ? &proxy : nullptr);
        letStragglersArrive();
        EXPECT_EQ(download.state(), ENGINE_STATE_ERROR) << c.name;
        EXPECT_EQ(download.error(), c.expected) << c.name;
        const std::vector<ScriptedRequest> requests = server.requests();
        ASSERT_EQ(requests.size(), 2u) << c.name;
        const char* field = c.proxy ? "Proxy-Authorization" : "Authorization";
        EXPECT_FALSE(requests[0].header(field)) << c.name;
        EXPECT_EQ(requests[1].header(field).value_or(""),
                  c.proxy ? "Basic cHU6d3Jvbmc=" : "Basic dTp3cm9uZw==")
            << c.name;
    }
}

TEST(VornHttpAuthRefusal, RefusedDigestCredentialsEndAfterExactlyTwoRequests) {
    if (!AuthServer::available()) {
        GTEST_SKIP() << "python3-ntlm-auth is not installed";
    }
    for (const char* scheme : {"digest", "ntlm"}) {
        AuthServer::Options options;
        options.scheme = scheme;
        AuthServer server(options);
        ASSERT_TRUE(server.start("content")) << server.error();
        Download download;
        download.run(server.url("/f.bin"), 1, {"alice", "wrong"});
        letStragglersArrive();
        EXPECT_EQ(download.state(), ENGINE_STATE_ERROR) << scheme;
        EXPECT_EQ(download.error(), std::string("Server Authenticate Failed for first Connection.@") +
                                        (std::string(scheme) == "digest" ? "files" : " - "))
            << scheme;
        // Digest: the bare request and one answer; NTLM: the bare request, negotiate, authenticate.
        EXPECT_EQ(server.requests().size(), std::string(scheme) == "digest" ? 2u : 3u) << scheme;
    }
}

TEST(VornHttpAuthNginx, BasicAuthWithOneAndEightConnectionsAndARefusedPassword) {
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    TempDir secrets;
    const auto users = secrets.path() / "htpasswd";
    std::ofstream(users) << "reader:{PLAIN}open sesame\n";
    NginxServer::Options options;
    options.extraServerConfig =
        "location /auth/ { auth_basic \"files\"; auth_basic_user_file " + users.string() + "; }\n";
    NginxServer nginx(options);
    ASSERT_TRUE(nginx.start()) << nginx.error();
    const auto file = nginx.writeRandomFile("auth/big.bin", 3 * 1024 * 1024 + 17, 5);
    const std::string content = readWholeFile(file);
    for (uint8_t connections : {1, 8}) {
        Download download;
        download.run(nginx.url("/auth/big.bin"), connections, {"reader", "open sesame"});
        EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
        EXPECT_TRUE(download.result() == content) << int(connections);
        EXPECT_EQ(download.log().find("open sesame"), std::string::npos);
    }
    const size_t before = nginx.requests().size();
    Download refused;
    refused.run(nginx.url("/auth/big.bin"), 8, {"reader", "wrong"});
    EXPECT_EQ(refused.state(), ENGINE_STATE_ERROR);
    EXPECT_EQ(refused.error(), "Server Authenticate Failed for first Connection.@files");
    nginx.settledBytesSent();
    EXPECT_EQ(nginx.requests().size() - before, 2u);
}

TEST(VornHttpAuthTinyproxy, RefusedProxyPasswordEndsAfterTwoRequests) {
    if (!TinyProxyServer::available()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    TinyProxyServer tinyproxy;
    tinyproxy.requireCredentials("proxyuser", "proxypass");
    ASSERT_TRUE(tinyproxy.start()) << tinyproxy.error();
    ScriptedHttpServer origin({ScriptedReply::status(200, "OK", "never")});
    origin.start();
    Download download;
    const VornEngineProxy proxy = httpProxy(tinyproxy.port(), "proxyuser", "wrong");
    download.run(origin.url("/f.bin"), 1, {}, &proxy);
    letStragglersArrive();
    EXPECT_EQ(download.state(), ENGINE_STATE_ERROR);
    // tinyproxy answers refused proxy credentials with 401 and WWW-Authenticate, so the failure names the
    // server; what matters is that it ends.
    EXPECT_NE(download.error().find(" Authenticate Failed for first Connection.@Tinyproxy"),
              std::string::npos)
        << download.error();
    EXPECT_TRUE(origin.requests().empty());
    // The engine's log shows every request it sent: the bare one and one with the (masked) password.
    EXPECT_EQ(count(download.log(), "GET Sent :"), 2u);
    EXPECT_EQ(count(download.log(), "Proxy-Authorization: Basic XXXX"), 1u);
}

TEST(VornHttpAuthLighttpd, DigestOverEightConnectionsGivesTheIdenticalFile) {
    if (!LighttpdServer::available()) {
        GTEST_SKIP() << "lighttpd is not installed";
    }
    LighttpdServer lighttpd("alice", "s3cret", "files");
    const std::string content = randomBytes(6 * 1024 * 1024 + 3, 21);
    std::ofstream(lighttpd.root() / "auth" / "f.bin", std::ios::binary) << content;
    ASSERT_TRUE(lighttpd.start()) << lighttpd.error();
    Download download;
    download.run(lighttpd.url("/auth/f.bin"), 8, {"alice", "s3cret"});
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    // Only the very first request, sent before any challenge, is refused.
    lighttpd.stop(); // flushes the access log
    const std::string log = lighttpd.accessLog();
    EXPECT_EQ(count(log, "\" 401 "), 1u) << log;
    EXPECT_GE(count(log, "\" 206 ") + count(log, "\" 200 "), 2u) << log;

    ASSERT_TRUE(lighttpd.start()) << lighttpd.error();
    Download refused;
    refused.run(lighttpd.url("/auth/f.bin"), 8, {"alice", "wrong"});
    EXPECT_EQ(refused.state(), ENGINE_STATE_ERROR);
    EXPECT_EQ(refused.error(), "Server Authenticate Failed for first Connection.@files");
}

// The scripted server checks every Digest answer (nonce count replays included) and every NTLM
// authenticate message itself; curl --digest / --ntlm pass the same checks.
struct ScriptedCase {
    const char* name;
    const char* scheme;
    const char* mode;
    bool splitBody;
    bool closeAfterChallenge;
    uint8_t connections;
};

class VornHttpAuthScripted : public ::testing::TestWithParam<ScriptedCase> {};

TEST_P(VornHttpAuthScripted, DownloadsTheIdenticalFile) {
    if (!AuthServer::available()) {
        GTEST_SKIP() << "python3-ntlm-auth is not installed";
    }
    const ScriptedCase& c = GetParam();
    AuthServer::Options options;
    options.scheme = c.scheme;
    options.mode = c.mode;
    options.splitBody = c.splitBody;
    options.closeAfterChallenge = c.closeAfterChallenge;
    AuthServer server(options);
    const std::string content = randomBytes(4 * 1024 * 1024 + 5, 3);
    ASSERT_TRUE(server.start(content)) << server.error();
    Download download;
    download.run(server.url("/d/file.bin"), c.connections, {"alice", "s3cret"});
    EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << download.error();
    EXPECT_TRUE(download.result() == content);
    // The challenge's page (text/html) names nothing: the reply without a type keeps the URL's name.
    EXPECT_EQ(download.resultName(), "file.bin");

    const std::vector<AuthServer::Request> requests = server.requests();
    ASSERT_FALSE(requests.empty());
    std::set<int> served;
    for (const AuthServer::Request& request : requests) {
        if (request.status != 401) {
            served.insert(request.connection);
        }
    }
    std::string table;
    for (const AuthServer::Request& request : requests) {
        table += std::to_string(request.connection) + " " + std::to_string(request.status) + " " +
                 request.authorization.substr(0, 40) + "\n";
    }
    EXPECT_GE(served.size(), c.connections >= 4 ? 2u : 1u) << "connections that received content\n" << table;
    if (std::string(c.scheme) == "digest" && std::string(c.mode) != "noqop") {
        // Nonce counts grow over the whole download, across connections, and never repeat.
        std::map<std::string, std::set<unsigned long>> counts;
        size_t answers = 0;
        const std::regex fields("nonce=\"([^\"]*)\".*nc=([0-9a-f]{8}), cnonce=\"([^\"]*)\"");
        for (const AuthServer::Request& request : requests) {
            std::smatch match;
            if (std::regex_search(request.authorization, match, fields)) {
                ++answers;
                counts[match[1].str() + "/" + match[3].str()].insert(std::stoul(match[2].str(), nullptr, 16));
            }
        }
        size_t distinct = 0;
        unsigned long highest = 0;
        for (const auto& [key, values] : counts) {
            distinct += values.size();
            highest = std::max(highest, *values.rbegin());
        }
        EXPECT_EQ(distinct, answers) << "a nonce count was sent twice\n" << table;
        if (std::string(c.mode) != "stale" && !c.closeAfterChallenge) {
            EXPECT_GE(highest, answers) << "one count over all connections\n" << table;
        }
    }
    if (std::string(c.scheme) == "ntlm") {
        // The first connection: the bare request, negotiate, authenticate, all on one connection (other
        // connections' requests come in between).
        std::vector<AuthServer::Request> first;
        for (const AuthServer::Request& request : requests) {
            if (request.connection == requests[0].connection) {
                first.push_back(request);
            }
        }
        ASSERT_EQ(first.size(), 3u) << table;
        EXPECT_EQ(first[0].authorization, "-");
        EXPECT_EQ(first[1].authorization, "NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=");
        EXPECT_NE(first[2].status, 401) << table;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, VornHttpAuthScripted,
    ::testing::Values(ScriptedCase{"Digest", "digest", "", false, false, 8},
                      ScriptedCase{"DigestMd5Sess", "digest", "sess", false, false, 4},
                      ScriptedCase{"DigestWithoutQop", "digest", "noqop", false, false, 4},
                      ScriptedCase{"DigestStale", "digest", "stale", false, false, 4},
                      ScriptedCase{"DigestChallengeThenClose", "digest", "", false, true, 2},
                      ScriptedCase{"DigestChallengeBodyInTwoWrites", "digest", "", true, false, 2},
                      ScriptedCase{"NtlmV2", "ntlm", "", false, false, 4},
                      ScriptedCase{"NtlmV1", "ntlm", "v1", false, false, 4},
                      ScriptedCase{"NtlmOfferedBesideNegotiate", "ntlm", "combined", false, false, 1},
                      ScriptedCase{"NtlmChallengeBodyInTwoWrites", "ntlm", "", true, false, 4}),
    [](const ::testing::TestParamInfo<ScriptedCase>& info) { return std::string(info.param.name); });

// Digest and NTLM towards a proxy: plain requests carry the full URL, a CONNECT signs host:port, and
// the NTLM exchange stays on the connection that the CONNECT opened.
TEST(VornHttpAuthScriptedProxy, DigestAndNtlmProxiesForPlainAndTunnelledDownloads) {
    if (!AuthServer::available()) {
        GTEST_SKIP() << "python3-ntlm-auth is not installed";
    }
    ASSERT_TRUE(certificates().ok());
    const std::string content = randomBytes(3 * 1024 * 1024 + 11, 8);
    for (const char* scheme : {"digest", "ntlm"}) {
        for (bool secure : {false, true}) {
            AuthServer::Options options;
            options.scheme = scheme;
            options.proxy = true;
            options.certificateFile = certificates().serverCert().string();
            options.keyFile = certificates().serverKey().string();
            AuthServer proxy(options);
            ASSERT_TRUE(proxy.start(content)) << proxy.error();
            Download download;
            const VornEngineProxy settings = httpProxy(proxy.port(), "alice", "s3cret");
            const std::string url = std::string(secure ? "https" : "http") + "://127.0.0.1:9/d/file.bin";
            download.run(url, 4, {}, &settings);
            const std::string name = std::string(scheme) + (secure ? " CONNECT" : " plain");
            EXPECT_EQ(download.state(), ENGINE_STATE_COMPLETED) << name << ": " << download.error();
            EXPECT_TRUE(download.result() == content) << name;
            bool answered = false;
            for (const AuthServer::Request& request : proxy.requests()) {
                EXPECT_EQ(request.method, secure ? "CONNECT" : "GET") << name;
                if (request.status == 200 || request.status == 206) {
                    answered = true;
                    if (std::string(scheme) == "digest") {
                        const std::string uri = secure ? "uri=\"127.0.0.1:9\"" : "uri=\"" + url + "\"";
                        EXPECT_NE(request.authorization.find(uri), std::string::npos)
                            << name << ": " << request.authorization;
                    }
                }
            }
            EXPECT_TRUE(answered) << name;
        }
    }
}

TEST(VornHttpAuthScriptedRefusal, NegotiateAloneIsUnsupported) {
    if (!AuthServer::available()) {
        GTEST_SKIP() << "python3-ntlm-auth is not installed";
    }
    AuthServer::Options options;
    options.scheme = "ntlm";
    options.mode = "negotiate-only";
    AuthServer server(options);
    ASSERT_TRUE(server.start("content")) << server.error();
    Download download;
    download.run(server.url("/f.bin"), 1, {"alice", "s3cret"});
    EXPECT_EQ(download.state(), ENGINE_STATE_ERROR);
    EXPECT_EQ(download.error(), "Unsupported WWW-Authentication Scheme. ( WWW-Authenticate: Negotiate )");
    // A connection error, so the engine's few retries apply; nothing is ever answered.
    letStragglersArrive();
    EXPECT_LE(server.requests().size(), 5u);
    for (const AuthServer::Request& request : server.requests()) {
        EXPECT_EQ(request.authorization, "-");
    }
}

// curl as a second client: the scripted server's checks are those of the protocols, not of our client.
TEST(VornHttpAuthScriptedServer, CurlPassesTheSameChecks) {
    if (!AuthServer::available() || ::access("/usr/bin/curl", X_OK) != 0) {
        GTEST_SKIP() << "python3-ntlm-auth or curl is not installed";
    }
    struct Case {
        const char* scheme;
        const char* mode;
        const char* option;
        const char* user;
    };
    const Case cases[] = {{"digest", "", "--digest", "alice"},
                          {"digest", "sess", "--digest", "alice"},
                          {"ntlm", "", "--ntlm", "MYDOMAIN\\alice"},
                          {"ntlm", "v1", "--ntlm", "MYDOMAIN\\alice"}};
    for (const Case& c : cases) {
        AuthServer::Options options;
        options.scheme = c.scheme;
        options.mode = c.mode;
        AuthServer server(options);
        ASSERT_TRUE(server.start("curl's content")) << server.error();
        TempDir dir;
        const std::string out = (dir.path() / "out").string();
        for (const char* password : {"s3cret", "wrong"}) {
            const std::string command = std::string("/usr/bin/curl -s -o ") + out + " -w '%{http_code}' " +
                                        c.option + " -u '" + c.user + ":" + password + "' " +
                                        server.url("/c.bin") + " > " + (dir.path() / "code").string();
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            const std::string code = readWholeFile(dir.path() / "code");
            EXPECT_EQ(code, std::string(password) == "wrong" ? "401" : "200") << c.scheme << c.mode;
        }
    }
}
