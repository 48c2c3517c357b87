#include "base/VornTlsSession.h"
#include "tests/support/MemoryTlsServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <utility>

namespace {

const TestCertificates& certificates() {
    static TestCertificates certs;
    return certs;
}

// Runs the handshake to its end; returns the client's final status.
VornTlsStatus handshake(VornTlsSession& client, MemoryTlsServer& server) {
    std::string token;
    VornTlsStatus status = client.Start(token);
    for (int round = 0; round < 10 && status == VornTlsStatus::ContinueNeeded; ++round) {
        const std::string answer = server.feed(token);
        status = client.HandshakeStep(answer.data(), answer.size(), token);
    }
    if (!token.empty()) {
        server.keepUnsent(server.feed(token));
    }
    return status;
}

class VornTlsSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificates().ok()) << "the openssl tool could not make the test certificates";
        m_env.set("SSL_CERT_FILE", certificates().caFile().string());
        m_env.unset("SSL_CERT_DIR");
    }
    ScopedEnv m_env;
};

TEST_F(VornTlsSessionTest, CompletesHandshakeSendsSniAndCarriesDataBothWays) {
    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    ASSERT_EQ(handshake(client, server), VornTlsStatus::Ok) << client.FailureReason();
    EXPECT_TRUE(client.IsEstablished());
    EXPECT_EQ(server.serverName(), "localhost");

    std::string records;
    ASSERT_EQ(client.Encrypt("GET / HTTP/1.1\r\n\r\n", 18, records), VornTlsStatus::Ok);
    EXPECT_EQ(server.receive(records), "GET / HTTP/1.1\r\n\r\n");

    const std::string reply = server.send("HTTP/1.1 200 OK\r\n\r\nbody");
    char plain[256];
    size_t delivered = 0;
    ASSERT_EQ(client.Decrypt(reply.data(), reply.size(), plain, sizeof plain, delivered), VornTlsStatus::Ok);
    EXPECT_EQ(std::string(plain, delivered), "HTTP/1.1 200 OK\r\n\r\nbody");
}

struct VerifyCase {
    const char* name;
    int cert; // 0 CA-signed for localhost, 1 CA-signed for another host, 2 self-signed
    const char* host;
    bool verify;
    bool accepted;
    const char* reason;
};

class VornTlsVerifyTest : public VornTlsSessionTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VornTlsVerifyTest, AcceptsOrRefusesTheServerCertificate) {
    const VerifyCase& c = GetParam();
    const auto& certs = certificates();
    const std::filesystem::path* files[3][2] = {{&certs.serverCert(), &certs.serverKey()},
                                                {&certs.otherHostCert(), &certs.otherHostKey()},
                                                {&certs.selfSignedCert(), &certs.selfSignedKey()}};
    MemoryTlsServer server(*files[c.cert][0], *files[c.cert][1]);
    VornTlsSession client(c.host, c.verify);
    const VornTlsStatus status = handshake(client, server);
    if (c.accepted) {
        EXPECT_EQ(status, VornTlsStatus::Ok) << client.FailureReason();
        EXPECT_TRUE(client.FailureReason().empty());
    } else {
        EXPECT_EQ(status, VornTlsStatus::Failed);
        EXPECT_NE(client.FailureReason().find(c.reason), std::string::npos) << client.FailureReason();
        EXPECT_FALSE(client.IsEstablished());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, VornTlsVerifyTest,
    ::testing::Values(VerifyCase{"TrustedForIpAddress", 0, "127.0.0.1", true, true, ""},
                      VerifyCase{"SelfSignedRefused", 2, "localhost", true, false, "self-signed"},
                      VerifyCase{"SelfSignedAcceptedWhenOff", 2, "localhost", false, true, ""},
                      VerifyCase{"HostMismatchRefused", 1, "localhost", true, false, "hostname mismatch"},
                      VerifyCase{"IpMismatchRefused", 1, "127.0.0.1", true, false, "mismatch"},
                      VerifyCase{"HostMismatchAcceptedWhenOff", 1, "localhost", false, true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VornTlsSessionTest, UntrustedCaIsRefusedWithoutTheTestCa) {
    m_env.set("SSL_CERT_FILE", "/nonexistent/brellin-ca.pem");
    m_env.set("SSL_CERT_DIR", "/nonexistent");
    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    EXPECT_EQ(handshake(client, server), VornTlsStatus::Failed);
    EXPECT_NE(client.FailureReason().find("certificate verification failed"), std::string::npos);
}

TEST_F(VornTlsSessionTest, RecordTrickledByteByByteIsIncompleteUntilItsLastByte) {
    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    ASSERT_EQ(handshake(client, server), VornTlsStatus::Ok);
    const std::string record = server.send("0123456789");
    char plain[64];
    size_t delivered = 0;
    std::string received;
    for (size_t i = 0; i < record.size(); ++i) {
        const VornTlsStatus status = client.Decrypt(&record[i], 1, plain, sizeof plain, delivered);
        received.append(plain, delivered);
        if (i + 1 < record.size() && received.empty()) {
            ASSERT_EQ(status, VornTlsStatus::IncompleteMessage) << "at byte " << i;
        }
    }
    EXPECT_EQ(received, "0123456789");
}

TEST_F(VornTlsSessionTest, PlainBytesBeyondTheRequestedSizeAreKeptForTheNextCall) {
    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    ASSERT_EQ(handshake(client, server), VornTlsStatus::Ok);
    std::string body;
    for (int i = 0; i < 40000; ++i) {
        body.push_back(static_cast<char>('a' + i % 26));
    }
    std::string records;
    for (size_t at = 0; at < body.size(); at += 16000) {
        records += server.send(body.substr(at, 16000));
    }
    std::string received;
    char plain[700];
    size_t delivered = 0;
    ASSERT_EQ(client.Decrypt(records.data(), records.size(), plain, sizeof plain, delivered),
              VornTlsStatus::Ok);
    received.append(plain, delivered);
    EXPECT_EQ(delivered, sizeof plain);
    while (client.Decrypt(nullptr, 0, plain, sizeof plain, delivered) == VornTlsStatus::Ok) {
        received.append(plain, delivered);
    }
    EXPECT_EQ(received, body);
}

TEST_F(VornTlsSessionTest, RefusesToEncryptMoreThanOneRecordOrBeforeTheHandshake) {
    VornTlsSession unstarted("localhost", true);
    std::string records;
    EXPECT_EQ(unstarted.Encrypt("x", 1, records), VornTlsStatus::Failed);

    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    ASSERT_EQ(handshake(client, server), VornTlsStatus::Ok);
    const uint32_t maximum = client.StreamSizes().maximumMessage;
    const std::string big(maximum + 1, 'x');
    EXPECT_EQ(client.Encrypt(big.data(), big.size(), records), VornTlsStatus::Failed);
    EXPECT_EQ(client.Encrypt(big.data(), maximum, records), VornTlsStatus::Ok);
    EXPECT_EQ(server.receive(records).size(), maximum);
}

TEST_F(VornTlsSessionTest, ShutdownSendsCloseNotifyAndThePeersCloseIsReported) {
    MemoryTlsServer server(certificates().serverCert(), certificates().serverKey());
    VornTlsSession client("localhost", true);
    ASSERT_EQ(handshake(client, server), VornTlsStatus::Ok);
    const std::string notify = server.closeNotify();
    char plain[16];
    size_t delivered = 0;
    EXPECT_EQ(client.Decrypt(notify.data(), notify.size(), plain, sizeof plain, delivered),
              VornTlsStatus::Closed);

    MemoryTlsServer second(certificates().serverCert(), certificates().serverKey());
    VornTlsSession other("localhost", true);
    ASSERT_EQ(handshake(other, second), VornTlsStatus::Ok);
    std::string token;
    EXPECT_EQ(other.Shutdown(token), VornTlsStatus::Ok);
    EXPECT_FALSE(token.empty());
    EXPECT_FALSE(other.IsEstablished());
}

} // namespace
