#pragma once

#include "app/brellin-get/VornGetOptions.h"
#include "app/brellin-get/VornGetProgress.h"
#include "base/VornFolderLock.h"
#include "base/VornMessageTarget.h"
#include "storage/VornDatabase.h"
#include "storage/VornDownloadRecord.h"

#include <csignal>
#include <memory>
#include <string>

class VornDownloadEngine;

// One run of brellin-get: finds or creates the download in the database, drives an engine over a
// message queue as the download window would, stores what the engine reports, draws the progress
// line, and answers the exit status.
class VornGetSession {
public:
    // Exit statuses.
    static constexpr int kComplete = 0;
    static constexpr int kFailed = 1;
    static constexpr int kBadArguments = 2;
    static constexpr int kInterrupted = 130;

    explicit VornGetSession(const VornGetOptions& options);
    ~VornGetSession();

    int Run();

    // Set from a signal handler: the next pass stops the engine (its segment table stays).
    static volatile std::sig_atomic_t s_stopRequested;

private:
    bool Prepare(std::string& error);
    bool ChooseDestination(std::string& error);
    bool FindOrCreateDownload(std::string& error);
    // True when a stored download's folder is where this run saves: the folder itself, or below it
    // the category folder the engine stored.
    bool SameDestination(const std::wstring& stored) const;
    // Takes the download's work folder for this process, before anything of the download is changed.
    bool LockWorkFolder(std::string& error);
    bool StartEngine(std::string& error);
    int Drive();
    bool Handle(const VornMessage& message);
    bool HandleEvent(int code, const std::string& payload);
    void StoreStatus(const std::string& word);
    void DrawProgress(bool force);
    void EndProgressLine();
    void Say(const std::string& text) const;
    int PercentageWhole() const;

    VornGetOptions m_options;
    VornDatabase m_database;
    VornMessageQueue m_queue;
    VornDownloadRecord m_record;
    std::wstring m_destination;
    std::wstring m_workFolder;
    // Credentials given in the URL, for this run (they are stored scrambled, the URL without them).
    std::string m_urlUser;
    std::string m_urlPassword;
    bool m_customFolder = false;
    bool m_resume = false;
    VornFolderLock m_workLock;
    std::unique_ptr<VornDownloadEngine> m_engine;
    VornGetProgress m_progress;
    bool m_terminal = false;
    bool m_lineDrawn = false;
    int64_t m_lastDraw = 0;
    std::wstring m_targetFolder;
    std::wstring m_errorText;
    int m_outcome = -1;
};
