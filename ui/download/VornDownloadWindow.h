#pragma once

#include "engine/VornEngineTypes.h"
#include "storage/VornDownloadRecord.h"
#include "storage/VornProxyRecord.h"
#include "ui/toolkit/VornBaseWindow.h"

#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class VornConnectionsTable;
class VornDownloadEngine;
class VornLabelEx;
class VornMainWindow;
class VornSegmentBar;

// One running download in a window of its own: it starts the engine from the record, shows what the
// engine posts, lets the user pause, resume, cancel and change the connection count and speed limit,
// and reports the download's fate to the main window as download events. It never waits for its
// engine: a stop is answered by the engine's cancelled event, and only then is the engine destroyed.
class VornDownloadWindow : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornDownloadWindow)

public:
    static const int kConnectionCounts[8];

    VornDownloadWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record,
                       const std::wstring& destinationFolder, const std::wstring& temporaryFolder,
                       bool resume);
    ~VornDownloadWindow() override;

    virtual void PauseOrResume();
    virtual void Cancel();
    virtual void ApplySpeedLimit();
    virtual void ApplyConnections();
    virtual bool IsRunning() const { return m_engine != nullptr; }
    virtual void Start();

    // Quitting: stop the engine as cancel does; a paused window reports closed at once.
    void CloseForExit();

    int32_t Id() const { return m_record.id; }
    const VornDownloadRecord& Record() const { return m_record; }
    double Percentage() const { return m_percentage; }
    bool StopAvailable() const { return m_stopAvailable; }
    bool Closing() const { return m_closing; }
    bool CompletionDialogWanted() const;

    // For tests and the main window's look at the window.
    QPushButton* PauseButton() const { return m_pauseButton; }
    QPushButton* CancelButton() const { return m_cancelButton; }
    QComboBox* ConnectionCombo() const { return m_connectionCombo; }
    QLineEdit* SpeedLimitBox() const { return m_limitBox; }
    QProgressBar* ProgressBar() const { return m_progressBar; }
    VornSegmentBar* SegmentBar() const { return m_segmentBar; }
    QTabWidget* Tabs() const { return m_tabs; }
    QString StateText() const;

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnEngineProgress(const std::string& text) override;
    void OnEngineEvent(const std::string& text) override;

private:
    QWidget* BuildDownloadTab();
    QWidget* BuildOptionsTab();
    QWidget* BuildConnectionsTab();
    void DisableControls();
    void RaiseEvent(int code, const std::string& text = std::string());
    void UpdateTitle(bool force);
    void SetProgressTotal(int64_t total);
    void SetProgressPosition(int64_t position);
    void DestroyEngine();
    void ShowConnectionsEnabled(bool enabled);
    void OnFileName(const std::string& payload);
    void OnFileSize(const std::string& payload);
    void OnResumability(const std::string& payload);
    void OnTsStart(const std::string& payload);
    void OnCanceled();
    void OnError(const std::string& payload);
    void OnSegments(const std::string& payload);

    VornMainWindow* m_main;
    VornDownloadRecord m_record;
    std::wstring m_temporaryFolder;
    std::wstring m_destinationFolder;
    VornProxyRecord m_proxy;
    std::string m_serverUser;
    std::string m_serverPassword;
    std::unique_ptr<VornDownloadEngine> m_engine;
    double m_percentage = 0;
    int m_titlePercentage = -1;
    bool m_resume;
    bool m_closing = false;
    bool m_stopAvailable = true;
    bool m_hls = false;
    int32_t m_connections = 8;
    int64_t m_progressTotal = 0;
    std::string m_state;

    QTabWidget* m_tabs = nullptr;
    VornLabelEx* m_urlLabel = nullptr;
    QLabel* m_stateLabel = nullptr;
    QLabel* m_sizeValue = nullptr;
    QLabel* m_downloadedValue = nullptr;
    QLabel* m_speedValue = nullptr;
    QLabel* m_timeLeftValue = nullptr;
    QLabel* m_resumableValue = nullptr;
    QLabel* m_fileIcon = nullptr;
    QLineEdit* m_limitBox = nullptr;
    QPushButton* m_limitApply = nullptr;
    QCheckBox* m_limitRemember = nullptr;
    QCheckBox* m_completionBox = nullptr;
    VornConnectionsTable* m_connectionsTable = nullptr;
    QComboBox* m_connectionCombo = nullptr;
    QPushButton* m_connectionApply = nullptr;
    QCheckBox* m_connectionRemember = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_segmentLabel = nullptr;
    VornSegmentBar* m_segmentBar = nullptr;
    QPushButton* m_pauseButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};
