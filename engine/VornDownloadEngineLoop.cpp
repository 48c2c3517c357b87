// The engine thread's body: the run, the main loop with its watchdog and progress ticks, and the end.
#include "engine/VornDownloadEngine.h"

#include "base/VornFileName.h"
#include "base/VornKnownFolders.h"
#include "base/VornMime.h"
#include "base/VornText.h"
#include "engine/VornEngineReports.h"
#include "engine/VornEngineSocket.h"
#include "engine/VornKQueue.h"
#include "engine/VornSegmentManager.h"
#include "engine/VornSpeedMeter.h"
#include "mkv/VornMKVMuxer.h"
#include "protocols/VornAuth.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace {
constexpr int64_t kWatchdogMillis = 5000;
} // namespace

std::string VornDownloadEngine::ProxyDescription() const {
    return std::string(" ") + (m_proxy.type == 1 ? "SOCKS-Proxy" : "HTTP-Proxy") + " at " + m_proxy.host +
           ":" + std::to_string(m_proxy.port);
}

void VornDownloadEngine::Run() {
    Log(LOG_LEVEL_DEBUG, "DownloadEngine is Starting...");
    Log(LOG_LEVEL_INFO, std::string("Trying to ") + (m_resumeRequested ? "Resume" : "Start") +
                            " Download for -> " + m_record.url.fullUrl());
    if (m_proxy.enabled) {
        Log(LOG_LEVEL_INFO, "Via " + ProxyDescription());
    }
    Log(LOG_LEVEL_INFO,
        "DownloadID = " + std::to_string(m_record.id) + " , Protocol = " + m_record.url.protocolName());
    if (m_mode == ENGINE_MODE_HLS_PLAYLIST && !RunPlaylistPhase()) {
        return;
    }
    MainLoop();
}

bool VornDownloadEngine::RunPlaylistPhase() {
    // The playlist connection arrives with HLS support; until then such a download ends as a failure
    // with the playlist phase's own texts.
    m_record.fileName = m_record.derivedFileName();
    if (m_errorText.empty()) {
        m_errorText = L"Error in Downloading HLS file.";
    }
    if (State() == ENGINE_STATE_STOPPED) {
        Log(LOG_LEVEL_INFO, "HLS-File  Download Canceled By User.");
        PostEvent(ENGINE_EVENT_CANCELED, "");
        return false;
    }
    Log(LOG_LEVEL_ERROR, "Error in Downloading HLS File. " + vornWideToAscii(m_errorText));
    m_state = ENGINE_STATE_ERROR;
    PostError();
    return false;
}

void VornDownloadEngine::LoadForResume() {
    if (!m_segmentManager->LoadSegments()) {
        m_resumeRequested = false;
        m_record.freshRestart = 1;
        Log(LOG_LEVEL_INFO, "Resume failed.DownloadEngine will Try a fresh Redownload silently ...");
    }
    if (State() != ENGINE_STATE_ERROR && !quit()) {
        PostProgress(m_segmentManager->ProgressReport(true, 0, "Unkown"));
    }
}

std::string VornDownloadEngine::TsSegmentsText() {
    std::string completed = std::to_string(m_segmentManager->CompletedCount());
    return completed + "@Segments : " + std::to_string(m_segmentManager->SegmentCount()) +
           "     Completed : " + completed;
}

void VornDownloadEngine::PrepareConnections() {
    if (m_mode == ENGINE_MODE_TS) {
        auto pieces = static_cast<int64_t>(m_segmentManager->SegmentCount());
        PostEvent(ENGINE_EVENT_TS_START, std::to_string(pieces) + "@" + m_segmentManager->DurationText());
        m_record.fileSize = -pieces;
        PostEvent(ENGINE_EVENT_SEGMENTS, TsSegmentsText());
    }
    CreateConnections();
    if (State() >= ENGINE_STATE_STOPPED || quit()) {
        return;
    }
    if (!m_proxy.enabled) {
        if (!ResolveHost()) {
            FailDownload(L"No Internet Connection or DNS Failed.");
        }
    } else if (!ResolveProxy()) {
        FailDownload(L"No Network Connection or DNS Error.Proxy-Server is not Reachable.");
    }
}

void VornDownloadEngine::MainLoop() {
    SetState(ENGINE_STATE_STARTING);
    if (m_resumeRequested) {
        LoadForResume();
    }
    if (State() < ENGINE_STATE_STOPPED && !quit()) {
        PrepareConnections();
    }
    m_lastWatchdogTime = 0;
    int64_t tickStart = NowMillis();
    while (State() < ENGINE_STATE_STOPPED) {
        if (quit()) {
            break;
        }
        if (!LoopPass(tickStart)) {
            break;
        }
    }
    FinishRun();
}

bool VornDownloadEngine::LoopPass(int64_t& tickStart) {
    if (m_connectionsChanged) {
        ApplyConnectionsChange();
    }
    Watchdog();
    if (State() > ENGINE_STATE_DOWNLOADING || quit()) {
        return false;
    }
    // Under the bandwidth limit the sockets stay unread until the budget allows more; the wait is short
    // (the progress ticks go on) and a stop ends it at once.
    double wait = m_speedMeter->LimitWaitMillis(static_cast<double>(SpeedLimit()));
    if (wait > 0) {
        WaitForLimit(std::min<double>(wait, 50.0));
    } else {
        m_eventQueue->Poll();
    }
    if (NowMillis() - tickStart >= m_progressInterval) {
        if (State() >= ENGINE_STATE_STOPPED) {
            return false;
        }
        if (!quit()) {
            tickStart = NowMillis();
            if (State() == ENGINE_STATE_DOWNLOADING) {
                PostProgress(m_speedMeter->Tick(static_cast<double>(SpeedLimit())));
                m_segmentManager->Flush(false);
            }
        }
    }
    return true;
}

void VornDownloadEngine::WaitForLimit(double millis) {
    std::unique_lock<std::mutex> lock(m_wakeLock);
    m_wake.wait_for(lock, std::chrono::duration<double, std::milli>(millis),
                    [this] { return State() >= ENGINE_STATE_STOPPED || quit(); });
}

void VornDownloadEngine::Watchdog() {
    int64_t now = NowMillis();
    if (now - m_lastWatchdogTime < kWatchdogMillis) {
        return;
    }
    m_lastWatchdogTime = now;
    // Handling a connection's error never removes a connection, so indexes stay valid.
    for (size_t i = 0; i < m_connections.size() && State() < ENGINE_STATE_STOPPED; ++i) {
        VornEngineSocket* connection = m_connections[i].get();
        if (connection->SocketState() == SOCKET_STATE_IDLE) {
            ConnectConnection(connection);
        } else if (connection->IsSuspended()) {
            connection->RetrieveFromSuspend();
        } else if (connection->isIdle()) {
            HandleConnectionError(connection, true, L"Connection Timed Out.");
        }
    }
}

void VornDownloadEngine::FinishRun() {
    int32_t state = State();
    if (state != ENGINE_STATE_MERGING) {
        // A stopped or failed download resumes from everything written so far.
        m_segmentManager->Flush(true);
    }
    if (state == ENGINE_STATE_STOPPED || quit()) {
        if (quit()) {
            m_state = ENGINE_STATE_STOPPED;
        } else {
            PostEvent(ENGINE_EVENT_CANCELED, "");
            Log(LOG_LEVEL_INFO, "Download Canceled By User.");
        }
    } else if (state == ENGINE_STATE_ERROR) {
        Log(LOG_LEVEL_ERROR, "Error Occurred. " + vornWideToAscii(m_errorText));
        PostError();
    } else if (state == ENGINE_STATE_MERGING) {
        FinishMerging();
    } else {
        FailUndefined();
    }
}

void VornDownloadEngine::FinishMerging() {
    // The connections are done; closing them now lets nothing write while the files are joined.
    for (auto& connection : m_connections) {
        connection->close();
    }
    if (m_segmentManager->MergeSegments()) {
        SetState(ENGINE_STATE_COMPLETED);
        if (quit()) {
            return;
        }
        if (m_pairMode && m_primary) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        PostEvent(ENGINE_EVENT_COMPLETED, "");
        if (m_record.hasSecondUrl() && !m_pairMode && !quit()) {
            PostProgress(m_segmentManager->ProgressReport(true, 0, "Unkown"));
            PostEvent(ENGINE_EVENT_SEGMENTS, "");
            MuxPair();
        }
        return;
    }
    m_errorText = L"Error In Merging Segments.";
    if (State() == ENGINE_STATE_STOPPED) {
        if (!quit()) {
            PostEvent(ENGINE_EVENT_CANCELED, "");
        }
    } else if (!quit()) {
        SetState(ENGINE_STATE_ERROR);
        PostError();
    } else {
        m_state = ENGINE_STATE_STOPPED;
    }
}

void VornDownloadEngine::MuxPair() {
    std::wstring folder = vornUtf8ToWide(VornKnownFolders::downloadsFolder().string());
    if (folder.empty())
        folder = L"/";
    if (folder.back() != L'/')
        folder += L'/';
    if (CategoryFoldersSetting() <= 1)
        folder += vornUtf8ToWide(CATEGORY_VIDEO) + L"/";
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(vornWideToUtf8(folder)), ignored);
    PostEvent(ENGINE_EVENT_TARGET_FOLDER, VornEngineReports::EncodeText(folder));

    if (std::filesystem::exists(std::filesystem::path(vornWideToUtf8(folder + m_record.fileName)), ignored)) {
        m_record.fileName = vornUniqueFileName(m_record.fileName, folder);
        PostEvent(ENGINE_EVENT_FILE_NAME, VornEngineReports::EncodeText(m_record.fileName));
    }

    // The two engines of the pair merged their streams into this engine's destination folder.
    VornMKVMuxer muxer(this, m_destinationFolder + L"Video.webm", m_destinationFolder + L"Audio.webm",
                       folder + m_record.fileName);
    bool muxed = false;
    try {
        muxed = muxer.run();
    } catch (const std::exception&) {
        muxed = false;
    }
    if (muxed) {
        PostEvent(ENGINE_EVENT_MUX_DONE, "");
        return;
    }
    m_errorText = muxer.errorText();
    PostError();
}

void VornDownloadEngine::FailUndefined() {
    Log(LOG_LEVEL_ERROR, "Error Occurred. DownloadEngine Finished Working but Situation is Undefined.");
    m_state = ENGINE_STATE_ERROR;
    m_errorCode = ENGINE_ERROR_UNDEFINED;
    m_errorText = L"DownloadEngine Unkown Error.";
    if (!quit()) {
        PostError();
    }
}
