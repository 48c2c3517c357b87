// brellin-get as a user runs it: a real process against nginx on loopback, its exit status, its
// output, the database row it leaves, and resuming after it was killed.
#include "base/VornKnownFolders.h"
#include "base/VornText.h"
#include "storage/VornDatabase.h"

#include "tests/support/AuthServer.h"
#include "tests/support/EngineRun.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sqlite3.h>
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
        {{"http://127.0.0.1/x\r\nX-Injected: 1"}, "holds a line break"},
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

TEST_F(BrellinGet, WithoutAHomeFolderItRefusesAndWritesNothing) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become a user without a password-database entry";
    }
    TempDir current;
    std::filesystem::permissions(current.path(), std::filesystem::perms::all);
    const std::filesystem::path err = m_logs / "nohome-err.txt";
    pid_t child = fork();
    if (child == 0) {
        const uid_t stranger = 54321; // no entry in the password database
        int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(fd, STDERR_FILENO);
        if (chdir(current.path().c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(stranger) != 0 ||
            setuid(stranger) != 0) {
            _exit(126);
        }
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
            unsetenv(name);
        }
        const std::string url = m_server->url("/nohome.bin");
        execl(kGetter.c_str(), kGetter.c_str(), url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 127 || WEXITSTATUS(status) == 126) {
        GTEST_SKIP() << "the test user cannot run " << kGetter;
    }
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(readWholeFile(err).find("no home folder is known"), std::string::npos) << readWholeFile(err);
    EXPECT_TRUE(std::filesystem::is_empty(current.path()));
}

TEST_F(BrellinGet, AFolderThatCannotBeWrittenIsRefusedBeforeTheFirstRequest) {
    m_server->writeRandomFile("big.iso", 200000, 3);
    // Not even root can make a file in /proc.
    Outcome outcome = run({m_server->url("/big.iso"), "-o", "/proc"}, m_logs.path());
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("cannot write into the folder /proc"), std::string::npos) << outcome.err;
    EXPECT_TRUE(m_server->requests().empty());
}

TEST_F(BrellinGet, AFolderNameWithPercentSignsIsKeptAsGiven) {
    std::filesystem::path served = m_server->writeRandomFile("sheet.bin", 50000, 9);
    const std::filesystem::path out = m_dir / "out%41b";
    Outcome outcome = run({m_server->url("/sheet.bin"), "-c", "2", "-o", out.string()}, m_logs.path());
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(lastLine(outcome.out), (std::filesystem::canonical(out) / "sheet.bin").string());
    EXPECT_EQ(fileSha256(out / "sheet.bin"), fileSha256(served));
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

// The engine stores the category folder as the download's folder once the name is known; a stopped
// download must still be found by the folder the user asked for.
TEST_F(BrellinGet, AStoppedDownloadIsFoundAgainBelowItsCategoryFolder) {
    std::filesystem::path served = m_server->writeRandomFile("slow/clip.mp4", 2 * 1024 * 1024, 5);
    Process first = launch({m_server->url("/slow/clip.mp4"), "-c", "2", "-q"}, m_logs.path());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(workFolder(1) / "segments.bin") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(first.pid, SIGTERM);
    waitFor(first);
    const std::filesystem::path video = m_home.home() / "Downloads" / "Video";
    {
        VornDatabase database;
        ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
        database.setColumn(1, "folderpath", vornUtf8ToWide("'" + video.string() + "/'"));
    }
    Outcome second = run({m_server->url("/slow/clip.mp4"), "-c", "8", "-q"}, m_logs.path());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(fileSha256(video / "clip.mp4"), fileSha256(served));
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(database.largestDownloadId(), 1);
    EXPECT_FALSE(std::filesystem::exists(workFolder(2)));
}

TEST_F(BrellinGet, ASecondProcessOnTheSameDownloadRefusesAndTouchesNothing) {
    std::filesystem::path served = m_server->writeRandomFile("slow/shared.zip", 1024 * 1024, 6);
    const std::string out = (m_dir / "out").string();
    Process first = launch({m_server->url("/slow/shared.zip"), "-c", "2", "-o", out}, m_logs.path());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(workFolder(1) / "segments.bin") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Outcome second = run({m_server->url("/slow/shared.zip"), "-c", "8", "-o", out}, m_logs.path());
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("is running in another process"), std::string::npos) << second.err;
    EXPECT_EQ(waitFor(first), 0);
    EXPECT_EQ(fileSha256(m_dir / "out" / "shared.zip"), fileSha256(served));
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(database.largestDownloadId(), 1);
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "connections")), "2"); // the second run changed nothing
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "status")), "Complete");
}

TEST_F(BrellinGet, ADownloadThatCannotBeStoredIsRefusedBeforeAnythingIsFetched) {
    m_server->writeRandomFile("kept.bin", 1000, 1);
    Outcome first = run({m_server->url("/kept.bin"), "-q", "-o", (m_dir / "out").string()}, m_logs.path());
    ASSERT_EQ(first.status, 0) << first.err;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((VornKnownFolders::dataFolder() / "VornDB.db").c_str(), &db), SQLITE_OK);
        const int result = sqlite3_exec(db,
                                        "create trigger refuse before insert on downloads "
                                        "begin select raise(abort, 'refused'); end",
                                        nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_EQ(result, SQLITE_OK);
    }
    // The settings store no longer hands out fresh ids either: it is a folder now.
    std::filesystem::path settings = VornKnownFolders::settingsFolder() / "settings.conf";
    std::filesystem::remove(settings);
    std::filesystem::create_directories(settings);
    const size_t before = m_server->requests().size();
    Outcome second = run({m_server->url("/other.bin"), "-o", (m_dir / "out").string()}, m_logs.path());
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("cannot store the download"), std::string::npos) << second.err;
    EXPECT_EQ(m_server->requests().size(), before);
    VornDatabase database;
    ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
    EXPECT_EQ(vornWideToUtf8(database.columnText(1, "status")), "Complete");
    EXPECT_EQ(database.loadRecord(1).url.givenText(), m_server->url("/kept.bin"));
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
    // The password is kept scrambled in the site credentials; the stored URL keeps only the user.
    const std::string databaseBytes = readWholeFile(VornKnownFolders::dataFolder() / "VornDB.db");
    EXPECT_EQ(databaseBytes.find("secret"), std::string::npos);
    {
        VornDatabase database;
        ASSERT_TRUE(database.open(VornKnownFolders::dataFolder()));
        EXPECT_EQ(database.loadRecord(2).url.givenText(),
                  "http://alice@" + url.substr(std::string("http://").size()));
        std::string user;
        std::string password;
        ASSERT_TRUE(database.findCredentials(database.loadRecord(2), user, password));
        EXPECT_EQ(user, "alice");
        EXPECT_EQ(password, "secret");
    }

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

// As a new user would try it: a wrong password in the URL used to be sent again for ever.
TEST(BrellinGetAuth, ARefusedPasswordEndsAfterTwoRequestsAndNtlmWorksFromTheUrl) {
    if (!NginxServer::available() || !AuthServer::available()) {
        GTEST_SKIP() << "nginx or python3-ntlm-auth is not installed";
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
    server.writeRandomFile("private/doc.bin", 50000, 17);
    const std::string hostPath = server.url("/private/doc.bin").substr(std::string("http://").size());

    Outcome refused = run({"http://alice:wrong@" + hostPath, "-o", (dir / "a").string()}, logs.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Server Authenticate Failed for first Connection. (realm: Private)"),
              std::string::npos)
        << refused.err;
    server.settledBytesSent();
    EXPECT_EQ(server.requests().size(), 2u);

    AuthServer::Options ntlm;
    ntlm.scheme = "ntlm";
    ntlm.user = "alice";
    ntlm.password = "p\xc3\xa4ss word";
    AuthServer scripted(ntlm);
    const std::string content(700000, 'n');
    ASSERT_TRUE(scripted.start(content)) << scripted.error();
    const std::string url = "http://alice:p%C3%A4ss%20word@" + scripted.url("/n/file.bin").substr(7);
    Outcome fetched = run({url, "-c", "4", "-o", (dir / "b").string()}, logs.path());
    ASSERT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_TRUE(readWholeFile(dir / "b" / "file.bin") == content) << folderEntries(dir / "b").size();
}
