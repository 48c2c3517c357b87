#pragma once

#include "base/VornMessageTarget.h"
#include "base/VornThread.h"
#include "engine/VornEngineLog.h"
#include "engine/VornEngineTypes.h"
#include "engine/VornSegmentHost.h"
#include "mkv/VornMuxReporter.h"
#include "storage/VornDownloadRecord.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VornAuth;
class VornEngineSocket;
class VornKQueue;
class VornSegmentManager;
class VornSpeedMeter;

// The engine's own copy of a proxy record: type 0 HTTP proxy, 1 SOCKS proxy.
struct VornEngineProxy {
    int32_t type = 0;
    bool enabled = false;
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;
};

// Runs one download on a thread of its own: its readiness loop, its connections, its segment manager,
// its speed meter and its log. It reports to its window only through posted messages; every failure
// ends as a connection retry, a download failure or a renewal request, and nothing is thrown across
// the thread boundary.
class VornDownloadEngine : public VornThread, public VornSegmentHost, public VornMuxReporter {
public:
    // Both folders are paths ending with a separator. Throws VornException (code 4, "TempFilesPath")
    // when the temporary folder cannot be created.
    VornDownloadEngine(VornMessageTarget* window, const VornDownloadRecord& record,
                       const std::wstring& temporaryFolder, const std::wstring& destinationFolder,
                       bool resume);
    // Waits for the thread: the owner stops the engine first (a merge runs to its end).
    ~VornDownloadEngine() override;
    VornDownloadEngine(const VornDownloadEngine&) = delete;
    VornDownloadEngine& operator=(const VornDownloadEngine&) = delete;

    // --- for the owner (another thread) ---
    bool Start();
    void Stop();
    // Ends the engine at its next test without posting anything more (set before destroying it).
    void SetQuit();
    // Blocks until the thread body has returned (false on timeout).
    bool WaitFinished(int64_t timeoutMillis);
    void SetMaxConnections(uint8_t maximum);
    void LeavePairMode();
    VornDownloadRecord GetRecord() const;
    void SetProxySettings(const VornEngineProxy& proxy);
    VornEngineProxy GetProxySettings() const;
    void SetCredentials(const std::string& user, const std::string& password);
    void SetConnectionsAtOnce(bool atOnce);
    void SetSocksVersionSelector(int32_t selector);
    // Replaces the record's speed limit while running (bytes per millisecond, i.e. kilobytes a second).
    void SetSpeedLimit(int64_t limit);
    int64_t SpeedLimit() const;
    // Where the engine reads the proxy record for a URL kind after a redirect changed the kind.
    void SetProxyReloader(std::function<VornEngineProxy(int32_t)> reloader);
    // Where the engine reads the "CategoryFolders" setting (1 on, 2 off); without a reader it is on.
    void SetCategoryFoldersReader(std::function<int()> reader);

    // --- for the connections and the segment manager (engine thread) ---
    void Log(int level, const std::string& text) override;
    void PostProgress(const std::string& text);
    void PostEvent(int code, const std::string& payload) override;
    void PostError();
    void HandleConnectionError(VornEngineSocket* connection, bool retryNow, const std::wstring& text);
    void FailDownload(const std::wstring& text);
    void RenewRequired(const std::string& serverReply);
    void ReportAuthFailure(VornEngineSocket* connection, int32_t kind, const std::string& detail);
    void SetResumability(int32_t resumability);
    bool SetFileSize(int64_t size) override;
    void SetFileName(const std::wstring& name) override;
    void UpdateUrl(const VornUrl& url);
    void OnReceivingChanged(int32_t delta);
    void StartTransfer(VornEngineSocket* connection);
    bool ResolveHost();
    bool ResolveProxy();
    void CreateConnections();
    void SetState(int32_t state);
    // The bandwidth limit as body reads meet it: how much the next read may take (0: none now), and what
    // a read took.
    int64_t ReadAllowance();
    void ReadDone(int64_t bytes);

    // What the segment manager asks of its engine.
    std::wstring DerivedFileName() const override;
    void EnterMerging() override;
    bool MergeCancelled() const override;
    bool DownloadCompleted() const override;
    bool IsFtpDownload() const override;
    bool IsChunked() const override { return m_chunked; }
    int CategoryFoldersSetting() const override;
    std::wstring CategoryOf(const std::wstring& fileName) const override;
    std::wstring UniqueFileName(const std::wstring& name, const std::wstring& folder) const override;

    // Fields the protocols read and write directly.
    int32_t State() const { return m_state.load(); }
    bool QuitRequested() const { return quit(); }
    int32_t Mode() const { return m_mode; }
    int32_t Resumability() const { return m_resumability; }
    int64_t FileSize() const { return m_fileSize; }
    int32_t ReceivingCount() const { return m_receivingConnections; }
    std::vector<std::unique_ptr<VornEngineSocket>>& Connections() { return m_connections; }
    VornDownloadRecord& Record() { return m_record; }
    const VornEngineProxy& ProxySettings() const { return m_proxy; }
    bool ProxyEnabled() const { return m_proxy.enabled; }
    const std::string& ServerUser() const { return m_serverUser; }
    const std::string& ServerPassword() const { return m_serverPassword; }
    const sockaddr_in& ServerAddress() const { return m_serverAddress; }
    const sockaddr_in& ProxyAddress() const { return m_proxyAddress; }
    int32_t& SocksVersionSelector() { return m_socksVersion; }
    std::unique_ptr<VornAuth>& ProxyAuth() { return m_proxyAuth; }
    std::unique_ptr<VornAuth>& ServerAuth() { return m_serverAuth; }
    int32_t& ProxyAuthType() { return m_proxyAuthType; }
    int32_t& ServerAuthType() { return m_serverAuthType; }
    int32_t AcceptRanges() const { return m_acceptRanges; }
    void SetAcceptRanges(int32_t value) { m_acceptRanges = value; }
    void SetChunked(bool chunked) { m_chunked = chunked; }
    bool PairMode() const { return m_pairMode.load(); }
    bool IsPrimary() const { return m_primary; }
    bool ConnectionsAtOnce() const { return m_connectionsAtOnce; }
    VornKQueue* EventQueue() { return m_eventQueue.get(); }
    VornSegmentManager* SegmentManager() { return m_segmentManager.get(); }
    VornSpeedMeter* SpeedMeter() { return m_speedMeter.get(); }
    void SetLastWatchdogTime(int64_t millis) { m_lastWatchdogTime = millis; }
    int32_t RetriesLeft() const { return m_retriesLeft; }
    void SetRetriesLeft(int32_t retries) { m_retriesLeft = retries; }
    int32_t ErrorCode() const { return m_errorCode; }
    void SetErrorCode(int32_t code) { m_errorCode = code; }
    bool ResumeRequested() const { return m_resumeRequested; }
    std::wstring ErrorText() const;
    const std::wstring& TemporaryFolder() const { return m_temporaryFolder; }
    const std::wstring& DestinationFolder() const { return m_destinationFolder; }

    static int64_t NowMillis();

protected:
    // The thread body; also callable directly by tests that drive an engine on their own thread.
    void Run();
    // The thread's body and its hooks: the owner's stop, and a failure that escaped the body.
    void run() override { Run(); }
    void onStop() override { Stop(); }
    void onException(const std::string& text) override;
    // Creates the connection object for the record's URL (HTTP, or FTP without an HTTP proxy).
    virtual std::unique_ptr<VornEngineSocket> MakeConnection(uint16_t number);

private:
    bool StoreState(int32_t state);
    bool RunPlaylistPhase();
    void LoadForResume();
    void PrepareConnections();
    void MainLoop();
    bool LoopPass(int64_t& tickStart);
    // Waits for the bandwidth limit, or less when the download is stopped or quit meanwhile.
    void WaitForLimit(double millis);
    void ApplyConnectionsChange();
    void GrowConnections(uint8_t oldMaximum);
    void Watchdog();
    void FinishRun();
    void FinishMerging();
    void MuxPair();
    void FailUndefined();
    uint8_t MaximumConnections() const;
    int64_t TsPiecesLeft(int64_t connections) const;
    std::string TsSegmentsText();
    void AddConnection();
    void RemoveLastConnection();
    void ConnectConnection(VornEngineSocket* connection);
    bool ResolveInto(const std::string& host, uint16_t port, sockaddr_in& address);
    void PostToWindow(bool progress, std::string text);
    std::string ProxyDescription() const;
    std::string CurrentStateLabel() const;
    int64_t UsefulConnections();
    bool CanSplit();

    VornMessageTarget* m_window;
    std::wstring m_temporaryFolder;
    std::wstring m_destinationFolder;
    std::function<VornEngineProxy(int32_t)> m_proxyReloader;
    std::function<int()> m_categoryFoldersReader;
    // Guards the maximum connection count and the connection vector against the owner's changes.
    std::recursive_mutex m_connectionsLock;
    mutable std::mutex m_recordLock;
    std::atomic<bool> m_stopRequested{false};
    // Wakes a wait for the bandwidth limit when the owner stops or quits the engine.
    std::mutex m_wakeLock;
    std::condition_variable m_wake;

    std::string m_serverUser;
    std::string m_serverPassword;
    int32_t m_mode = ENGINE_MODE_NORMAL;
    sockaddr_in m_serverAddress{};
    sockaddr_in m_proxyAddress{};
    int32_t m_socksVersion = 2;
    std::unique_ptr<VornAuth> m_proxyAuth;
    std::unique_ptr<VornAuth> m_serverAuth;
    int32_t m_proxyAuthType = 4;
    int32_t m_serverAuthType = 4;
    int32_t m_acceptRanges = 0;
    int32_t m_resumability = RESUMABILITY_UNKOWN;
    bool m_chunked = false;
    VornDownloadRecord m_record;
    int64_t m_fileSize = UNKNOWN_FILE_SIZE;
    std::atomic<int64_t> m_progressInterval{88};
    int64_t m_lastWatchdogTime = 0;
    std::atomic<int32_t> m_state{0};
    VornEngineProxy m_proxy;
    std::unique_ptr<VornSegmentManager> m_segmentManager;
    bool m_connectionsAtOnce = true;
    bool m_primary = true;
    std::atomic<bool> m_pairMode{false};
    std::wstring m_errorText;
    int32_t m_errorCode = ENGINE_ERROR_NONE;
    std::atomic<uint8_t> m_receivingConnections{0};
    bool m_resumeRequested;
    std::unique_ptr<VornKQueue> m_eventQueue;
    std::unique_ptr<VornSpeedMeter> m_speedMeter;
    VornEngineLog m_log;
    std::vector<std::unique_ptr<VornEngineSocket>> m_connections;
    int32_t m_retriesLeft = 3;
    std::atomic<bool> m_connectionsChanged{false};
    std::atomic<uint8_t> m_requestedMaximum{0};
};
