#pragma once

#include "base/VornUrl.h"
#include "storage/VornDatabase.h"
#include "storage/VornDownloadRecord.h"
#include "ui/toolkit/VornBaseWindow.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTableView;
class QToolBar;
class VornCategoryTree;
class VornDownloadListModel;
class VornDownloadListProxy;
class VornDownloadWindow;
class VornEngineReaper;
class VornQuitWindow;
class VornUrlWindow;
class VornWebSocketServer;

// The hub of the desktop program: the category tree and download table, the toolbar, the tray icon, the
// database and the browser-link server. It turns records into download windows, keeps track of them,
// and stores what their download events report.
class VornMainWindow final : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornMainWindow)

public:
    struct Options {
        // The browser link's port; 0 lets the system choose (tests).
        uint16_t browserPort = 10007;
        // False pretends no tray exists (the tests' offscreen platform has none anyway).
        bool useTray = true;
    };

    // The paused and error labels stored in the status column (fixed: the list recognises them).
    static constexpr const char* kPausedLabel = "Paused";
    static constexpr const char* kErrorLabel = "Error";

    explicit VornMainWindow(const Options& options);

    // A supported kind with a host that could be looked up: words with blanks parse as a host, but
    // a host never holds an (encoded) blank or control character.
    static bool IsDownloadableUrl(const VornUrl& url);
    ~VornMainWindow() override;

    // Download events raised by the download windows (codes 0 to 13).
    void OnDownloadEvent(int code, VornDownloadWindow* window, const std::string& text);
    // Turns a record into a running download window; nullptr when the URL cannot be downloaded (an
    // error dialog says why).
    VornDownloadWindow* StartDownload(VornDownloadRecord record, bool stored);
    // Stores status " " and last try = now for a download that starts again.
    void StoreStarted(int32_t id);
    // A running download's row: percentage, speed and time left from its latest progress report.
    void ShowRunning(int32_t id, const std::string& status, const std::string& speed,
                     const std::string& timeLeft);

    // Opens the new-download window (once), with the URL filled in when one is given.
    void ShowNewDownload(const QString& url = QString());
    // The new-download window's Download button: trims the text, closes that window and starts.
    void NewDownloadChosen(const QString& text);
    void NewDownloadClosed();
    void ShowQuit();
    void QuitClosed();
    // The quit dialog's "exit completely": stops every engine and ends the program once all have ended.
    void ExitCompletely();
    // The completion and error dialogs report that they closed.
    void RemoveDialog(int32_t id, VornBaseWindow* dialog);

    // Where download windows hand their ended engines.
    VornEngineReaper* Reaper() const { return m_reaper; }
    bool HasTray() const { return m_tray != nullptr; }
    VornDatabase& Database() { return m_database; }
    VornDownloadListModel* Model() const { return m_model; }
    VornDownloadListProxy* Proxy() const { return m_proxy; }
    QTableView* Table() const { return m_table; }
    VornCategoryTree* Tree() const { return m_tree; }
    VornUrlWindow* UrlWindow() const { return m_urlWindow; }
    VornQuitWindow* QuitWindow() const { return m_quitWindow; }
    VornDownloadWindow* DownloadWindow(int32_t id) const;
    VornBaseWindow* Dialog(int32_t id) const;
    size_t DownloadWindowCount() const { return m_windows.size(); }
    std::vector<VornDownloadWindow*> DownloadWindows() const;
    // Set once the quit dialog chose to exit; the program ends when the last download window is gone.
    bool Exiting() const { return m_exiting; }

    // Reloads the rows from the database and applies the filters and order.
    void Reload();
    // Sorts by a column the way a header click does.
    void SortByColumn(int column);
    void SelectCategory(int parameter);
    void RefreshCommands();

signals:
    // The program may end now (exit chosen and every download window is gone).
    void ExitReady();

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnBrowserMessage(const std::string& text) override;

private:
    void BuildToolBar();
    void BuildTray();
    void ResumeSelected();
    void StopSelected();
    void DeleteSelected();
    void OpenSelected(bool folder);
    std::vector<int32_t> SelectedIds() const;
    std::wstring FilePath(int32_t id);
    void ReplaceDialog(int32_t id, VornBaseWindow* dialog);
    void ShowUrlError(int32_t dialogId, const std::string& message, const VornDownloadRecord& record);
    void StoreColumn(int32_t id, const std::string& column, const std::wstring& value);
    void StoreStatusWord(VornDownloadWindow* window, const char* word);
    void ForgetWindow(VornDownloadWindow* window);
    void CheckExit();

    Options m_options;
    VornDatabase m_database;
    VornEngineReaper* m_reaper;
    VornDownloadListModel* m_model = nullptr;
    VornDownloadListProxy* m_proxy = nullptr;
    QTableView* m_table = nullptr;
    VornCategoryTree* m_tree = nullptr;
    QToolBar* m_toolBar = nullptr;
    QAction* m_newAction = nullptr;
    QAction* m_resumeAction = nullptr;
    QAction* m_stopAction = nullptr;
    QAction* m_againAction = nullptr;
    QAction* m_showAction = nullptr;
    QAction* m_folderAction = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_quitAction = nullptr;
    QMenu* m_contextMenu = nullptr;
    QMenu* m_trayMenu = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    std::unique_ptr<VornWebSocketServer> m_browserLink;
    std::map<int32_t, VornDownloadWindow*> m_windows;
    std::map<int32_t, VornBaseWindow*> m_dialogs;
    VornUrlWindow* m_urlWindow = nullptr;
    VornQuitWindow* m_quitWindow = nullptr;
    int m_sortColumn = 5;
    bool m_ascending = false;
    std::string m_order = "lasttry desc";
    bool m_exiting = false;
};
