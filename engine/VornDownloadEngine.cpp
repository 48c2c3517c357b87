#include "engine/VornDownloadEngine.h"

#include "base/VornException.h"
#include "base/VornFileName.h"
#include "base/VornMime.h"
#include "base/VornNativePath.h"
#include "base/VornText.h"
#include "engine/VornEngineReports.h"
#include "engine/VornEngineSocket.h"
#include "engine/VornKQueue.h"
#include "engine/VornSegmentManager.h"
#include "engine/VornSpeedMeter.h"
#include "protocols/VornAuth.h"
#include "storage/VornSettings.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace {

std::filesystem::path NativePath(const std::wstring& path) {
    return std::filesystem::path(vornNativePath(path).value_or(std::string()));
}

bool FolderExists(const std::wstring& folder) {
    std::error_code error;
    std::filesystem::path native = NativePath(folder);
    return !native.empty() && std::filesystem::is_directory(native, error);
}

std::wstring WithMkvExtension(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    return (dot == std::wstring::npos ? name : name.substr(0, dot)) + L".mkv";
}

} // namespace

int64_t VornDownloadEngine::NowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

VornDownloadEngine::VornDownloadEngine(VornMessageTarget* window, const VornDownloadRecord& record,
                                       const std::wstring& temporaryFolder,
                                       const std::wstring& destinationFolder, bool resume)
    : m_window(window), m_temporaryFolder(temporaryFolder), m_destinationFolder(destinationFolder),
      m_record(record), m_resumeRequested(resume) {
    m_lastWatchdogTime = NowMillis();
    m_eventQueue = std::make_unique<VornKQueue>(1);
    if (!FolderExists(m_temporaryFolder)) {
        std::error_code error;
        std::filesystem::create_directories(NativePath(m_temporaryFolder), error);
        if (!FolderExists(m_temporaryFolder)) {
            VORN_THROW(4, error.value(), "TempFilesPath");
        }
    }
    m_log.Open(NativePath(m_temporaryFolder + L"LogFile.txt"));
    Log(LOG_LEVEL_INFO, "Opening LogFile...");
    if (m_record.hasSecondUrl()) {
        m_pairMode = true;
        m_progressInterval = 176;
        m_record.bandwidthLimit /= 2;
    }
    if (m_record.linkType == "hls") {
        m_mode = ENGINE_MODE_HLS_PLAYLIST;
    }
    m_primary = m_record.url.givenText() != m_record.secondUrl.givenText();
    m_segmentManager =
        std::make_unique<VornSegmentManager>(this, m_temporaryFolder, m_destinationFolder, m_pairMode.load());
    if (m_pairMode) {
        m_segmentManager->SetFileName(m_primary ? L"Video.webm" : L"Audio.webm");
    } else if (m_record.url.kind() == 3) {
        SetFileName(m_record.derivedFileName());
    }
    m_speedMeter = std::make_unique<VornSpeedMeter>(static_cast<double>(m_record.bandwidthLimit),
                                                    m_segmentManager.get());
    SetState(ENGINE_STATE_STARTING);
}

VornDownloadEngine::~VornDownloadEngine() {
    Log(LOG_LEVEL_DEBUG, "DownloadEngine Is Terminating. EngineState = " + CurrentStateLabel() + ".");
    // The body uses every member below: it must have returned before any of them goes. An engine that
    // never ran has its done event signalled already.
    waitUntilDone();
    m_proxyAuth.reset();
    m_serverAuth.reset();
    m_connections.clear();
    m_speedMeter.reset();
    m_segmentManager.reset();
    m_eventQueue.reset();
    Log(LOG_LEVEL_INFO, "Closing LogFile.");
    m_log.WriteRaw("\r\n\r\n\r\n\r\n\r\n\r\n");
    m_log.Close();
}

bool VornDownloadEngine::Start() {
    return start();
}

void VornDownloadEngine::onException(const std::string&) {
    m_errorText = L"DownloadEngine Internal Error : Sorry, Something went wrong. ";
    SetState(ENGINE_STATE_ERROR);
    PostError();
}

bool VornDownloadEngine::WaitFinished(int64_t timeoutMillis) {
    return doneEvent().wait(std::chrono::milliseconds(timeoutMillis));
}

void VornDownloadEngine::Stop() {
    // A finished download stays Completed (its work files are deleted on that condition), a failed one
    // stays failed; only a download still on its way is stopped.
    int32_t state = State();
    if (state < ENGINE_STATE_STOPPED || state == ENGINE_STATE_MERGING) {
        m_stopRequested = true;
        SetState(ENGINE_STATE_STOPPED);
    }
    std::lock_guard<std::mutex> guard(m_wakeLock);
    m_wake.notify_all();
}

void VornDownloadEngine::SetQuit() {
    setQuit(true);
    std::lock_guard<std::mutex> guard(m_wakeLock);
    m_wake.notify_all();
}

int64_t VornDownloadEngine::ReadAllowance() {
    return m_speedMeter->ReadAllowance(static_cast<double>(SpeedLimit()),
                                       std::max<int>(m_receivingConnections.load(), 1));
}

void VornDownloadEngine::ReadDone(int64_t bytes) {
    m_speedMeter->ReadDone(bytes);
}

void VornDownloadEngine::SetMaxConnections(uint8_t maximum) {
    std::lock_guard<std::recursive_mutex> guard(m_connectionsLock);
    m_requestedMaximum = maximum;
    m_connectionsChanged = true;
}

void VornDownloadEngine::LeavePairMode() {
    m_pairMode = false;
    m_progressInterval = 88;
    std::lock_guard<std::mutex> guard(m_recordLock);
    m_record.bandwidthLimit *= 2;
}

VornDownloadRecord VornDownloadEngine::GetRecord() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_record;
}

void VornDownloadEngine::SetProxySettings(const VornEngineProxy& proxy) {
    m_proxy = proxy;
}

VornEngineProxy VornDownloadEngine::GetProxySettings() const {
    return m_proxy;
}

void VornDownloadEngine::SetCredentials(const std::string& user, const std::string& password) {
    m_serverUser = user;
    m_serverPassword = password;
}

void VornDownloadEngine::SetConnectionsAtOnce(bool atOnce) {
    m_connectionsAtOnce = atOnce;
}

void VornDownloadEngine::SetSocksVersionSelector(int32_t selector) {
    m_socksVersion = selector;
}

void VornDownloadEngine::SetSpeedLimit(int64_t limit) {
    std::lock_guard<std::mutex> guard(m_recordLock);
    m_record.bandwidthLimit = m_pairMode ? limit / 2 : limit;
}

int64_t VornDownloadEngine::SpeedLimit() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_record.bandwidthLimit;
}

std::wstring VornDownloadEngine::ErrorText() const {
    return m_errorText;
}

// --- reports ---

void VornDownloadEngine::Log(int level, const std::string& text) {
    m_log.Log(level, text);
}

void VornDownloadEngine::PostToWindow(bool progress, std::string text) {
    if (quit() || m_window == nullptr) {
        return;
    }
    uint32_t id = progress ? (m_primary ? WM_ENGINE_PROGRESS : WM_ENGINE_PROGRESS_AUDIO)
                           : (m_primary ? WM_ENGINE_EVENT : WM_ENGINE_EVENT_AUDIO);
    m_window->post(id, std::move(text));
}

void VornDownloadEngine::PostProgress(const std::string& text) {
    PostToWindow(true, text);
}

void VornDownloadEngine::PostEvent(int code, const std::string& payload) {
    PostToWindow(false, VornEngineReports::EventText(code, payload));
}

void VornDownloadEngine::PostError() {
    PostToWindow(false, VornEngineReports::ErrorEventText(m_errorCode, m_errorText));
}

std::string VornDownloadEngine::CurrentStateLabel() const {
    return VornEngineReports::StateLabel(State(), m_retriesLeft, m_mode);
}

bool VornDownloadEngine::StoreState(int32_t state) {
    // The owner's Stop and the engine thread's own changes can cross: a stopped download must never
    // be moved back to Starting or Downloading by the engine thread, or the stop would be lost.
    int32_t current = m_state.load();
    do {
        if (state < ENGINE_STATE_STOPPED && current == ENGINE_STATE_STOPPED && m_stopRequested) {
            return false;
        }
    } while (!m_state.compare_exchange_weak(current, state));
    return true;
}

void VornDownloadEngine::SetState(int32_t state) {
    std::string oldLabel = CurrentStateLabel();
    if (!StoreState(state)) {
        return;
    }
    std::string newLabel = CurrentStateLabel();
    if (oldLabel != newLabel) {
        Log(LOG_LEVEL_INFO, "DownloadEngine State Changed : " + oldLabel + " -> " + newLabel);
    }
    if (state == ENGINE_STATE_STARTING) {
        m_receivingConnections = 0;
        m_fileSize = UNKNOWN_FILE_SIZE;
        m_resumability = RESUMABILITY_UNKOWN;
        m_chunked = false;
    }
    if (state == ENGINE_STATE_MERGING && !quit()) {
        PostEvent(ENGINE_EVENT_FILE_SIZE, std::to_string(m_fileSize));
        PostProgress(m_segmentManager->ProgressReport(true, 0, "Unkown"));
        if (m_mode == ENGINE_MODE_NORMAL) {
            PostEvent(ENGINE_EVENT_SEGMENTS, "");
        }
        PostProgress(m_segmentManager->ProgressReport(true, 0, "Unkown"));
    }
    if (!quit() && !(m_mode == ENGINE_MODE_HLS_PLAYLIST && state == ENGINE_STATE_DOWNLOADING)) {
        PostEvent(ENGINE_EVENT_STATE, newLabel);
    }
}

// --- what connections and the segment manager change ---

void VornDownloadEngine::FailDownload(const std::wstring& text) {
    Log(LOG_LEVEL_ERROR, vornWideToAscii(text));
    m_errorText = text;
    if (m_proxy.enabled && m_errorCode != ENGINE_ERROR_SERVER_AUTH &&
        m_errorCode != ENGINE_ERROR_PROXY_AUTH) {
        m_errorText += L" (Via Proxy)";
    }
    m_retriesLeft = 0;
    SetState(ENGINE_STATE_ERROR);
}

void VornDownloadEngine::RenewRequired(const std::string& serverReply) {
    m_errorCode = ENGINE_ERROR_RENEW;
    FailDownload(L"Download Must be Renewed. Server Reply is :" + vornUtf8ToWide(serverReply));
}

void VornDownloadEngine::ReportAuthFailure(VornEngineSocket* connection, int32_t kind,
                                           const std::string& detail) {
    std::string word = kind == 2 ? "Server" : "Proxy ";
    if (State() == ENGINE_STATE_DOWNLOADING) {
        HandleConnectionError(connection, false,
                              vornUtf8ToWide("Although other Connections have passed " + word + " Auth , " +
                                             word + " Auth Failed For this Connection."));
        return;
    }
    std::string trimmed = vornTrim(detail);
    if (trimmed.empty()) {
        trimmed = " - ";
    }
    m_errorCode = kind == 2 ? ENGINE_ERROR_SERVER_AUTH : ENGINE_ERROR_PROXY_AUTH;
    std::string before = trimmed.substr(0, trimmed.find('@'));
    FailDownload(vornUtf8ToWide(word + " Authenticate Failed for first Connection.@") +
                 vornUtf8ToWide(before));
}

void VornDownloadEngine::SetResumability(int32_t resumability) {
    if (resumability == m_resumability) {
        return;
    }
    Log(LOG_LEVEL_INFO, std::string("Resumability Changed : ") +
                            VornEngineReports::ResumabilityName(m_resumability) + " -> " +
                            VornEngineReports::ResumabilityName(resumability));
    m_resumability = resumability;
    if (resumability == RESUMABILITY_NOT_OK && m_mode != ENGINE_MODE_HLS_PLAYLIST) {
        std::lock_guard<std::recursive_mutex> guard(m_connectionsLock);
        m_record.connections = 1;
    }
    PostEvent(ENGINE_EVENT_RESUMABILITY, std::to_string(resumability));
}

bool VornDownloadEngine::SetFileSize(int64_t size) {
    if (size == 0) {
        FailDownload(L"File is Empty. (FileSize=0)");
        return false;
    }
    m_fileSize = size;
    if (m_mode == ENGINE_MODE_NORMAL) {
        m_segmentManager->SetFileSize(size);
        m_record.fileSize = size;
        PostEvent(ENGINE_EVENT_FILE_SIZE, std::to_string(size));
    }
    return true;
}

void VornDownloadEngine::SetFileName(const std::wstring& name) {
    if (m_pairMode) {
        m_record.fileName = WithMkvExtension(name);
    } else {
        m_record.fileName = name;
        m_segmentManager->SetFileName(name);
    }
    PostEvent(ENGINE_EVENT_FILE_NAME, VornEngineReports::EncodeText(m_record.fileName));
}

void VornDownloadEngine::UpdateUrl(const VornUrl& url) {
    int32_t oldKind = m_record.url.kind();
    m_record.url = url;
    PostEvent(ENGINE_EVENT_URL, url.fullUrl());
    if (url.kind() != oldKind && m_proxyReloader) {
        m_proxy = m_proxyReloader(url.kind());
        if (m_proxy.enabled) {
            ResolveProxy();
        }
    }
}

void VornDownloadEngine::SetProxyReloader(std::function<VornEngineProxy(int32_t)> reloader) {
    m_proxyReloader = std::move(reloader);
}

void VornDownloadEngine::SetCategoryFoldersReader(std::function<int()> reader) {
    m_categoryFoldersReader = std::move(reader);
}

// --- the segment manager's view of the engine ---

std::wstring VornDownloadEngine::DerivedFileName() const {
    return m_record.derivedFileName();
}

void VornDownloadEngine::EnterMerging() {
    SetState(ENGINE_STATE_MERGING);
}

bool VornDownloadEngine::MergeCancelled() const {
    return State() == ENGINE_STATE_STOPPED || quit();
}

bool VornDownloadEngine::DownloadCompleted() const {
    return State() == ENGINE_STATE_COMPLETED;
}

bool VornDownloadEngine::IsFtpDownload() const {
    return m_record.url.kind() == 3;
}

int VornDownloadEngine::CategoryFoldersSetting() const {
    return m_categoryFoldersReader ? m_categoryFoldersReader() : (VornSettings::categoryFolders() ? 1 : 2);
}

std::wstring VornDownloadEngine::CategoryOf(const std::wstring& fileName) const {
    return vornCategory(fileName);
}

std::wstring VornDownloadEngine::UniqueFileName(const std::wstring& name, const std::wstring& folder) const {
    return vornUniqueFileName(name, folder);
}
