// brellin-get as a user runs it: a real process against nginx on loopback, its exit status, its
// output, the database row it leaves, and resuming after it was killed.
#include "base/VornKnownFolders.h"
#include "base/VornText.h"
#include "storage/VornDatabase.h"

#include "tests/support/EngineRun.h"
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
    std::string out;
    std::string err;
};

Outcome run(const std::vector<std::string>& arguments, const std::filesystem::path& logs) {
    Process process = launch(arguments, logs);
    Outcome outcome;
    outcome.status = waitFor(process);
    outcome.out = readWholeFile(process.out);
    outcome.err = readWholeFile(process.err);
    return outcome;
}

std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') {
        trimmed.pop_back();
    }
    size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
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

class BrellinGet : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access(kGetter.c_str(), X_OK), 0) << kGetter << " is not built";
        if (!NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        NginxServer::Options options;
        options.slowRateBytes = 256 * 1024;
        m_server = std::make_unique<NginxServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    std::filesystem::path workFolder(int id) const {
        return VornKnownFolders::dataFolder() / std::to_string(id);
    }

    TempHome m_home;
    TempDir m_logs;
    TempDir m_dir;
    std::unique_ptr<NginxServer> m_server;
};

TEST_F(BrellinGet, BadArgumentsAreRefusedWithAMessage) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "no URL given"},
        {{"http://127.0.0.1/x", "-c", "3"}, "-c must be one of"},
        {{"http://127.0.0.1/x", "-c"}, "needs a value"},
        {{"http://127.0.0.1/x", "--limit", "fast"}, "--limit must be"},
        {{"http://127.0.0.1/x", "-z"}, "unknown option -z"},
        {{"http://127.0.0.1/x", "http://127.0.0.1/y"}, "only one URL"},
        {{"ftp://127.0.0.1/x"}, "unsupported URL"},
        {{"gopher://127.0.0.1/x"}, "unsupported URL"},
    };
    for (const Case& c : cases) {
        Outcome outcome = run(c.arguments, m_logs.path());
        EXPECT_EQ(outcome.status, 2) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    }
}

TEST_F(BrellinGet, SavesIntoTheGivenFolderAndStoresTheDownload) {
    // Resumability is proven by the first ranged reply of a second connection. Served at the slow rate,
    // the first connection cannot fetch the whole file before that reply arrives, however loaded the
    // machine, so the stored resumable flag does not depend on timing.
    std::filesystem::path served = m_server->writeRandomFile("slow/data.bin", 3 * 1000 * 1000, 21);
    std::filesystem::path out = m_dir / "out";
    Outcome outcome = run({m_server->url("/slow/data.bin"), "-c", "8", "-o", out.string()}, m_logs.path());
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(lastLine(outcome.out), (std::filesystem::canonical(out) / "data.bin").string());
    EXPECT_EQ(fileSha256(out / "data.bin"), fileSha256(served));

    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    VornDownloadRecord record = database.loadRecord(1);
    EXPECT_EQ(record.url.givenText(), m_server->url("/slow/data.bin"));
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "status")), "Complete");
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "filesize")), "3000000");
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "resumable")), "1");
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "filename")), "data.bin");
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "connections")), "8");
    EXPECT_EQ(vornWideToUtf8(database.folderPath(1)), std::filesystem::canonical(out).string() + "/");
    EXPECT_EQ(folderEntries(workFolder(1)), std::vector<std::string>{"LogFile.txt"});
}

TEST_F(BrellinGet, WithoutAFolderTheFileGoesToItsCategoryInDownloads) {
    std::filesystem::path served = m_server->writeRandomFile("music.mp3", 100000, 2);
    Outcome outcome = run({m_server->url("/music.mp3"), "-q"}, m_logs.path());
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, ""); // -q prints nothing but errors
    std::filesystem::path saved = m_home.home() / "Downloads" / "Audio" / "music.mp3";
    EXPECT_EQ(fileSha256(saved), fileSha256(served));
}

TEST_F(BrellinGet, AFailedDownloadExitsNonZeroWithTheEngineText) {
    Outcome outcome =
        run({m_server->url("/nothing-here.bin"), "-o", (m_dir / "out").string()}, m_logs.path());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("HTTP/1.1 404 Not Found"), std::string::npos) << outcome.err;
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "errortext")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "status")).rfind("Error", 0), 0u);
}

// Kills brellin-get once the segment table claims part of the file, runs it again, and checks that the
// second run completes the same download byte for byte, fetching only what was missing.
void killAndResume(NginxServer& server, const std::filesystem::path& logs, const std::filesystem::path& dir,
                   const std::filesystem::path& work) {
    const int64_t size = 4 * 1024 * 1024;
    std::filesystem::path served = server.writeRandomFile("slow/movie.mp4", size, 8);
    std::string out = (dir / "out").string();
    Process first = launch({server.url("/slow/movie.mp4"), "-c", "2", "-o", out}, logs);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (segmentBytes(work) < 512 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(first.pid, SIGKILL);
    waitFor(first);
    int64_t written = segmentBytes(work);
    ASSERT_GE(written, 512 * 1024);
    ASSERT_LT(written, size);

    Outcome second = run({server.url("/slow/movie.mp4"), "-c", "2", "-o", out}, logs);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(fileSha256(dir / "out" / "movie.mp4"), fileSha256(served));
    // One download, resumed: the same record, and the server sent less than the file twice over.
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(database.largestDownloadId(), 1);
    EXPECT_LT(server.settledBytesSent() - size, written);
}

TEST_F(BrellinGet, AKilledDownloadResumesAndFetchesOnlyWhatWasMissing) {
    killAndResume(*m_server, m_logs.path(), m_dir.path(), workFolder(1));
}

TEST(BrellinGetHttps, AKilledHttpsDownloadResumesAndFetchesOnlyWhatWasMissing) {
    ASSERT_EQ(access(kGetter.c_str(), X_OK), 0) << kGetter << " is not built";
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    TempHome home;
    TempDir logs;
    TempDir dir;
    TestCertificates certificates;
    ScopedEnv env;
    env.set("SSL_CERT_FILE", certificates.caFile().string());
    NginxServer::Options options;
    options.slowRateBytes = 256 * 1024;
    options.certificateFile = certificates.serverCert();
    options.keyFile = certificates.serverKey();
    NginxServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_EQ(server.url("/x").rfind("https://", 0), 0u);
    killAndResume(server, logs.path(), dir.path(), VornKnownFolders::dataFolder() / "1");
}

TEST_F(BrellinGet, SigtermStopsCleanlyAndKeepsTheSegmentTable) {
    std::filesystem::path served = m_server->writeRandomFile("slow/paper.pdf", 3 * 1024 * 1024, 4);
    std::string out = (m_dir / "out").string();
    Process first = launch({m_server->url("/slow/paper.pdf"), "-c", "1", "-o", out}, m_logs.path());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (segmentBytes(workFolder(1)) < 256 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(first.pid, SIGTERM);
    EXPECT_EQ(waitFor(first), 130);
    EXPECT_TRUE(std::filesystem::exists(workFolder(1) / "segments.bin"));
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "status")).rfind("Paused (", 0), 0u);

    Outcome second = run({m_server->url("/slow/paper.pdf"), "-c", "8", "-o", out}, m_logs.path());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(fileSha256(m_dir / "out" / "paper.pdf"), fileSha256(served));
}

TEST(BrellinGetAuth, CredentialsComeFromTheUrlOrTheStoredSiteCredentials) {
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    TempHome home;
    TempDir logs;
    TempDir dir;
    writeWholeFile(dir / "users", "alice:{PLAIN}secret\n");
    NginxServer::Options options;
    options.extraServerConfig = "    location /private/ { auth_basic \"Private\"; auth_basic_user_file " +
                                (dir / "users").string() + "; }\n";
    NginxServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    std::filesystem::path served = server.writeRandomFile("private/doc.bin", 50000, 17);
    std::string url = server.url("/private/doc.bin");
    std::string withUser = "http://alice:secret@" + url.substr(std::string("http://").size());

    Outcome refused = run({url, "-o", (dir / "a").string()}, logs.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Server Authenticate Failed for first Connection. (realm: Private)"),
              std::string::npos)
        << refused.err;

    Outcome fromUrl = run({withUser, "-o", (dir / "b").string()}, logs.path());
    ASSERT_EQ(fromUrl.status, 0) << fromUrl.err;
    EXPECT_EQ(fileSha256(dir / "b" / "doc.bin"), fileSha256(served));

    {
        VornDatabase database;
        ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
        VornDownloadRecord site(99, url, "", 1, 0, "normal");
        database.saveCredentials(site, "alice", "secret");
    }
    Outcome stored = run({url, "-o", (dir / "c").string()}, logs.path());
    ASSERT_EQ(stored.status, 0) << stored.err;
    EXPECT_EQ(fileSha256(dir / "c" / "doc.bin"), fileSha256(served));
}

TEST_F(BrellinGet, OnATerminalOneProgressLineRedrawsInPlace) {
    if (access("/usr/bin/script", X_OK) != 0) {
        GTEST_SKIP() << "script(1) is not installed";
    }
    m_server->writeRandomFile("slow/shown.bin", 600 * 1024, 12);
    std::string out = (m_dir / "out").string();
    // script(1) gives brellin-get a terminal of its own.
    std::string command = kGetter + " " + m_server->url("/slow/shown.bin") + " -c 2 -o " + out;
    std::filesystem::path captured = m_logs / "terminal.txt";
    std::string shell = "script -qec '" + command + "' /dev/null < /dev/null > " + captured.string();
    ASSERT_EQ(std::system(shell.c_str()), 0);
    std::string screen = readWholeFile(captured);
    EXPECT_NE(screen.find('\r'), std::string::npos);
    EXPECT_NE(screen.find("100.0%"), std::string::npos) << screen;
    EXPECT_NE(screen.find("connection"), std::string::npos);
    EXPECT_NE(screen.find("\x1b[K"), std::string::npos);
    EXPECT_NE(screen.find(out + "/shown.bin"), std::string::npos);
}

} // namespace
