// brellin-get through the SOCKS proxy records of the settings store: real processes against nginx behind
// microsocks and dante on loopback.
#include "base/VornKnownFolders.h"
#include "storage/VornProxyRecord.h"
#include "storage/VornSettings.h"

#include "tests/support/DanteServer.h"
#include "tests/support/MicroSocksServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

const std::string kGetter = std::string(BRELLIN_BINARY_DIR) + "/bin/brellin-get";
const std::string kSocksProblem = "Problem on SOCKS-Proxy. Check User, Password and Socks Setting.";

struct Process {
    pid_t pid = -1;
    std::filesystem::path out;
    std::filesystem::path err;
};

Process launch(const std::vector<std::string>& arguments, const std::filesystem::path& logs) {
    static int counter = 0;
    Process process;
    process.out = logs / ("out" + std::to_string(counter) + ".txt");
    process.err = logs / ("err" + std::to_string(counter++) + ".txt");
    process.pid = fork();
    if (process.pid == 0) {
        int out = ::open(process.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(process.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(kGetter.c_str())};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(kGetter.c_str(), argv.data());
        _exit(127);
    }
    return process;
}

int waitFor(const Process& process) {
    int status = 0;
    waitpid(process.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Outcome {
    int status = -1;
    std::string err;
};

Outcome run(const std::vector<std::string>& arguments, const std::filesystem::path& logs) {
    Process process = launch(arguments, logs);
    Outcome outcome;
    outcome.status = waitFor(process);
    outcome.err = readWholeFile(process.err);
    return outcome;
}

// The bytes the segment table claims are on disk: the sum of the received counts of its 32-byte records
// (little-endian, the count in the last 8 bytes).
int64_t segmentBytes(const std::filesystem::path& folder) {
    std::string table = readWholeFile(folder / "segments.bin");
    int64_t total = 0;
    for (size_t at = 0; at + 32 <= table.size(); at += 32) {
        uint64_t received = 0;
        for (int i = 7; i >= 0; --i)
            received = received << 8 | static_cast<unsigned char>(table[at + 24 + static_cast<size_t>(i)]);
        total += static_cast<int64_t>(received);
    }
    return total;
}

// The SOCKS proxy for both HTTP and HTTPS, as the settings window stores it.
void useSocksProxy(uint16_t port, const std::string& user = "", const std::string& password = "") {
    VornProxyRecord record;
    record.proxyType = VornProxyRecord::kTypeSocks;
    record.enabled = 1;
    record.address = "127.0.0.1";
    record.port = port;
    record.userName = user;
    record.password = password;
    ASSERT_TRUE(VornProxyRecord::write(1, record));
    ASSERT_TRUE(VornProxyRecord::write(2, record));
}

std::string downloadLog(int id) {
    return readWholeFile(VornKnownFolders::dataFolder() / std::to_string(id) / "LogFile.txt");
}

class BrellinGetSocks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access(kGetter.c_str(), X_OK), 0) << kGetter << " is not built";
        if (!NginxServer::available() || !MicroSocksServer::available() || !DanteServer::available()) {
            GTEST_SKIP() << "nginx, microsocks or danted is not installed";
        }
        ASSERT_TRUE(m_certificates.ok());
        m_env.set("SSL_CERT_FILE", m_certificates.caFile().string());
        NginxServer::Options plain;
        plain.slowRateBytes = 512 * 1024;
        NginxServer::Options tls = plain;
        tls.certificateFile = m_certificates.serverCert();
        tls.keyFile = m_certificates.serverKey();
        m_plain = std::make_unique<NginxServer>(plain);
        m_secure = std::make_unique<NginxServer>(tls);
        ASSERT_TRUE(m_plain->start()) << m_plain->error();
        ASSERT_TRUE(m_secure->start()) << m_secure->error();
    }

    TempHome m_home;
    TempDir m_logs;
    TempDir m_dir;
    TestCertificates m_certificates;
    ScopedEnv m_env;
    std::unique_ptr<NginxServer> m_plain;
    std::unique_ptr<NginxServer> m_secure;
};

TEST_F(BrellinGetSocks, FetchesByteIdenticalFilesThroughMicrosocksAndDante) {
    MicroSocksServer microsocks;
    ASSERT_TRUE(microsocks.start()) << microsocks.error();
    DanteServer dante;
    ASSERT_TRUE(dante.start()) << dante.error();
    const std::filesystem::path plain = m_plain->writeRandomFile("data.bin", 1500 * 1000, 41);
    const std::filesystem::path secure = m_secure->writeRandomFile("data.bin", 1500 * 1000, 42);
    struct Proxy {
        const char* name;
        uint16_t port;
    };
    int id = 0;
    for (const Proxy& proxy : {Proxy{"microsocks", microsocks.port()}, Proxy{"dante", dante.port()}}) {
        useSocksProxy(proxy.port);
        for (bool tls : {false, true}) {
            for (const char* connections : {"1", "8"}) {
                SCOPED_TRACE(std::string(proxy.name) + (tls ? " https -c " : " http -c ") + connections);
                ++id;
                const std::filesystem::path out = m_dir / ("out" + std::to_string(id));
                NginxServer& server = tls ? *m_secure : *m_plain;
                Outcome outcome = run({server.url("/data.bin"), "-c", connections, "-q", "-o", out.string()},
                                      m_logs.path());
                ASSERT_EQ(outcome.status, 0) << outcome.err;
                EXPECT_EQ(fileSha256(out / "data.bin"), fileSha256(tls ? secure : plain));
                const std::string log = downloadLog(id);
                EXPECT_NE(log.find("Via  SOCKS-Proxy at 127.0.0.1:" + std::to_string(proxy.port)),
                          std::string::npos)
                    << log;
                EXPECT_NE(log.find("Socks HandShake OK for Socket ( 1 ) using SOCKS5"), std::string::npos);
            }
        }
    }
}

TEST_F(BrellinGetSocks, AKilledDownloadResumesThroughTheProxy) {
    MicroSocksServer microsocks;
    ASSERT_TRUE(microsocks.start()) << microsocks.error();
    useSocksProxy(microsocks.port());
    const int64_t size = 4 * 1024 * 1024;
    const std::filesystem::path served = m_plain->writeRandomFile("slow/movie.mp4", size, 8);
    const std::string out = (m_dir / "out").string();
    const std::filesystem::path work = VornKnownFolders::dataFolder() / "1";
    Process first = launch({m_plain->url("/slow/movie.mp4"), "-c", "2", "-o", out}, m_logs.path());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (segmentBytes(work) < 512 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(first.pid, SIGKILL);
    waitFor(first);
    const int64_t written = segmentBytes(work);
    ASSERT_GE(written, 512 * 1024);
    ASSERT_LT(written, size);

    Outcome second = run({m_plain->url("/slow/movie.mp4"), "-c", "2", "-o", out}, m_logs.path());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(fileSha256(m_dir / "out" / "movie.mp4"), fileSha256(served));
    const std::string log = downloadLog(1);
    const size_t resumed = log.find("Trying to Resume Download");
    ASSERT_NE(resumed, std::string::npos) << log;
    EXPECT_NE(log.find("Socks HandShake OK", resumed), std::string::npos)
        << "the resumed run bypassed the proxy";
    // A resume, not a restart: the second run's first request starts where the first run's data ends.
    // (The bytes the server sent say little here: the proxy reads ahead of what the client keeps.)
    const size_t range = log.find("Range = ", resumed);
    ASSERT_NE(range, std::string::npos) << log;
    EXPECT_GT(std::atoll(log.c_str() + range + 8), 0) << log;
}

TEST_F(BrellinGetSocks, TheSocksVersionSettingPicksTheFirstVersionTried) {
    DanteServer dante;
    ASSERT_TRUE(dante.start()) << dante.error();
    useSocksProxy(dante.port());
    ASSERT_TRUE(VornSettings::setSocksVersion(4));
    const std::filesystem::path served = m_plain->writeRandomFile("four.bin", 700 * 1000, 43);
    Outcome outcome = run({m_plain->url("/four.bin"), "-q", "-o", (m_dir / "out").string()}, m_logs.path());
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(fileSha256(m_dir / "out" / "four.bin"), fileSha256(served));
    const std::string log = downloadLog(1);
    // Dante refuses 4a, the first version tried; SOCKS 5 is never tried.
    EXPECT_NE(log.find("using SOCKS4a : Failed to Establish Connection to Socks-Server."), std::string::npos)
        << log;
    EXPECT_NE(log.find("Socks HandShake OK for Socket ( 1 ) using SOCKS4\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("SOCKS5"), std::string::npos) << log;
}

TEST_F(BrellinGetSocks, RefusalsEndWithAClearTextAndANonZeroStatus) {
    MicroSocksServer microsocks;
    microsocks.requireCredentials("alice", "s3cret");
    ASSERT_TRUE(microsocks.start()) << microsocks.error();
    m_plain->writeRandomFile("never.bin", 1000, 44);
    struct Case {
        const char* name;
        std::string password;
        int socksVersion;
    };
    const Case cases[] = {
        {"wrong password", "wrong", 5},
        {"no password", "", 5},
        {"a SOCKS 5 proxy asked for SOCKS 4a and 4", "s3cret", 4},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useSocksProxy(microsocks.port(), "alice", c.password);
        ASSERT_TRUE(VornSettings::setSocksVersion(c.socksVersion));
        Outcome outcome = run(
            {m_plain->url("/never.bin"), "-q", "-o", (m_dir / std::to_string(++n)).string()}, m_logs.path());
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.err.find(kSocksProblem), std::string::npos) << outcome.err;
    }
    EXPECT_TRUE(m_plain->requests().empty());
}

} // namespace
