// The engine's own rules: the retry policy before and after the first data, not-resumable downloads,
// stopping, the quit flag, the connection-count changes, and construction failures.
#include "engine/VornDownloadEngine.h"

#include "base/VornException.h"
#include "base/VornText.h"
#include "engine/VornEngineTypes.h"

#include "tests/support/EngineRun.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace {

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string data(size, '\0');
    for (char& c : data) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return data;
}

std::wstring folderText(const std::filesystem::path& path) {
    return vornUtf8ToWide(path.string() + "/");
}

class EngineRules : public ::testing::Test {
protected:
    TempHome m_home;
    TempDir m_dir;
};

TEST_F(EngineRules, ARefusedConnectionIsRetriedThreeTimesThenFails) {
    // Nothing listens on a port just found free: every connect is refused.
    std::string url = "http://127.0.0.1:" + std::to_string(NginxServer::freeLoopbackPort()) + "/file.bin";
    EngineRunResult result = runEngine(url, m_dir / "work", m_dir / "out");
    ASSERT_TRUE(result.failed);
    EXPECT_EQ(result.errorCode, 0);
    EXPECT_FALSE(result.errorText.empty());
    std::vector<std::string> states = result.events(ENGINE_EVENT_STATE);
    for (const char* label : {"Starting ( 2 )", "Starting ( 3 )", "Starting ( 4 )", "Error"}) {
        EXPECT_NE(std::find(states.begin(), states.end(), label), states.end()) << label;
    }
    std::string log = readWholeFile(m_dir / "work" / "LogFile.txt");
    EXPECT_NE(log.find("RemainedRetryCount = 1 and Engine is going to try again."), std::string::npos);
    EXPECT_NE(log.find("Error Occurred. "), std::string::npos);
}

TEST_F(EngineRules, ADroppedConnectionDoesNotFailAResumableDownload) {
    const std::string content = randomBytes(600000, 3);
    ScriptedHttpServer server([&](const ScriptedRequest& request, size_t index) {
        ScriptedReply reply = ScriptedReply::file(request, content, {"Accept-Ranges: bytes"});
        if (index == 1) {
            reply.cutAfter = 100000; // the second connection dies in the middle of its range
        }
        return reply;
    });
    server.start();
    EngineRunOptions options;
    options.connections = 4;
    EngineRunResult result = runEngine(server.url("/file.bin"), m_dir / "work", m_dir / "out", options);
    ASSERT_TRUE(result.completed) << vornWideToUtf8(result.errorText);
    EXPECT_EQ(readWholeFile(m_dir / "out" / "file.bin"), content);
}

TEST_F(EngineRules, ANotResumableDownloadFailsAtItsFirstConnectionError) {
    const std::string content = randomBytes(400000, 4);
    // A server that ignores Range and drops the connection half way.
    ScriptedReply reply = ScriptedReply::status(200, "OK", content);
    reply.cutAfter = 150000;
    ScriptedHttpServer server(std::vector<ScriptedReply>{reply});
    server.start();
    EngineRunOptions options;
    options.connections = 8;
    EngineRunResult result = runEngine(server.url("/file.bin"), m_dir / "work", m_dir / "out", options);
    ASSERT_TRUE(result.failed);
    EXPECT_FALSE(result.completed);
    std::vector<std::string> resumability = result.events(ENGINE_EVENT_RESUMABILITY);
    ASSERT_FALSE(resumability.empty());
    EXPECT_EQ(resumability.back(), "2");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out" / "file.bin"));
    // Only one connection ever asked: the maximum was forced to 1.
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(EngineRules, StoppingADownloadReportsACancellation) {
    const std::string content = randomBytes(300000, 5);
    ScriptedHttpServer server([&](const ScriptedRequest& request, size_t) {
        ScriptedReply reply = ScriptedReply::file(request, content, {"Accept-Ranges: bytes"});
        reply.trickle = 4096;
        reply.pause = std::chrono::milliseconds(50);
        return reply;
    });
    server.start();
    EngineRunOptions options;
    options.stopAfterProgress = 3;
    EngineRunResult result = runEngine(server.url("/slow.bin"), m_dir / "work", m_dir / "out", options);
    EXPECT_TRUE(result.canceled);
    EXPECT_FALSE(result.failed);
    EXPECT_NE(readWholeFile(m_dir / "work" / "LogFile.txt").find("Download Canceled By User."),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(m_dir / "work" / "segments.bin"));
}

TEST_F(EngineRules, AStopBeforeTheThreadRunsIsNotUndoneByTheStart) {
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    NginxServer server;
    ASSERT_TRUE(server.start()) << server.error();
    server.writeRandomFile("never.bin", 100000, 1);
    VornMessageQueue queue;
    VornDownloadRecord record(1, server.url("/never.bin"), "", 8, 0, "normal");
    auto engine = std::make_unique<VornDownloadEngine>(&queue, record, folderText(m_dir / "work"),
                                                       folderText(m_dir / "out"), false);
    engine->Stop();
    ASSERT_TRUE(engine->Start());
    ASSERT_TRUE(engine->WaitFinished(60000));
    EXPECT_EQ(engine->State(), ENGINE_STATE_STOPPED);
    engine.reset();
    bool canceled = false;
    while (std::optional<VornMessage> message = queue.tryTake()) {
        canceled = canceled || message->text == "8@";
        EXPECT_NE(message->text, "9@");
    }
    EXPECT_TRUE(canceled);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out" / "never.bin"));
}

TEST_F(EngineRules, WithTheQuitFlagSetTheEnginePostsNothing) {
    VornMessageQueue queue;
    VornDownloadRecord record(1, "http://127.0.0.1:1/never.bin", "", 8, 0, "normal");
    auto engine = std::make_unique<VornDownloadEngine>(&queue, record, folderText(m_dir / "work"),
                                                       folderText(m_dir / "out"), false);
    while (queue.tryTake()) {
    }
    engine->SetQuit();
    ASSERT_TRUE(engine->Start());
    ASSERT_TRUE(engine->WaitFinished(60000));
    engine.reset();
    EXPECT_EQ(queue.size(), 0u);
}

TEST_F(EngineRules, OnlyTheExactLinkTypeHlsSelectsThePlaylistMode) {
    struct Case {
        std::string linkType;
        int32_t mode;
    };
    const Case cases[] = {
        {"hls", ENGINE_MODE_HLS_PLAYLIST}, {"HLS", ENGINE_MODE_NORMAL}, {"normal", ENGINE_MODE_NORMAL}};
    for (const Case& c : cases) {
        VornMessageQueue queue;
        VornDownloadRecord record(1, "http://127.0.0.1:1/a.m3u8", "", 8, 0, c.linkType);
        VornDownloadEngine engine(&queue, record, folderText(m_dir / c.linkType), folderText(m_dir / "out"),
                                  false);
        EXPECT_EQ(engine.Mode(), c.mode) << c.linkType;
    }
}

TEST_F(EngineRules, AnEngineThatNeverRanIsDestroyedAtOnce) {
    VornMessageQueue queue;
    VornDownloadRecord record(1, "http://127.0.0.1:1/x.bin", "", 8, 0, "normal");
    auto start = std::chrono::steady_clock::now();
    {
        VornDownloadEngine engine(&queue, record, folderText(m_dir / "work"), folderText(m_dir / "out"),
                                  false);
        EXPECT_EQ(engine.State(), ENGINE_STATE_STARTING);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(readWholeFile(m_dir / "work" / "LogFile.txt").find("Closing LogFile."), std::string::npos);
}

TEST_F(EngineRules, ATemporaryFolderThatCannotBeCreatedThrows) {
    writeWholeFile(m_dir / "plain-file", "x");
    VornMessageQueue queue;
    VornDownloadRecord record(1, "http://127.0.0.1:1/x.bin", "", 8, 0, "normal");
    try {
        VornDownloadEngine engine(&queue, record, folderText(m_dir / "plain-file" / "work"),
                                  folderText(m_dir.path()), false);
        FAIL() << "no exception";
    } catch (const VornException& failure) {
        EXPECT_EQ(failure.code(), 4);
        EXPECT_EQ(failure.context(), "TempFilesPath");
    }
}

TEST_F(EngineRules, LoweringTheMaximumWhileDownloadingIsAppliedAndTheFileStaysWhole) {
    if (!NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    NginxServer::Options serverOptions;
    serverOptions.slowRateBytes = 512 * 1024;
    NginxServer server(serverOptions);
    ASSERT_TRUE(server.start()) << server.error();
    // About 2 s over eight connections; the change comes long before the end.
    std::filesystem::path served = server.writeRandomFile("slow/fewer.bin", 8 * 1024 * 1024, 6);
    EngineRunOptions options;
    options.connections = 8;
    options.changeMaximumAfterBytes = 512 * 1024;
    options.newMaximum = 4;
    EngineRunResult result = runEngine(server.url("/slow/fewer.bin"), m_dir / "work", m_dir / "out", options);
    ASSERT_TRUE(result.completed) << vornWideToUtf8(result.errorText);
    EXPECT_EQ(fileSha256(m_dir / "out" / "fewer.bin"), fileSha256(served));
    EXPECT_FALSE(result.events(ENGINE_EVENT_CONNECTIONS_APPLIED).empty());
    std::string log = readWholeFile(m_dir / "work" / "LogFile.txt");
    EXPECT_NE(log.find("New Connections-Count ( 4 ) Applied on Engine"), std::string::npos);
}

} // namespace
