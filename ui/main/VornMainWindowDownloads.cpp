// The main window's side of the download windows: starting them and storing what their events report.
#include "ui/main/VornMainWindow.h"

#include "base/VornFormat.h"
#include "base/VornKnownFolders.h"
#include "base/VornText.h"
#include "base/VornUrl.h"
#include "ui/dialogs/VornCompleteWindow.h"
#include "ui/dialogs/VornErrorWindow.h"
#include "ui/download/VornDownloadWindow.h"
#include "ui/main/VornDownloadListModel.h"

#include <QTimer>

#include <cmath>
#include <ctime>
#include <filesystem>

namespace {

std::wstring Quoted(const std::wstring& text) {
    return L"'" + text + L"'";
}

std::wstring WithSeparator(const std::filesystem::path& path) {
    std::wstring text = vornUtf8ToWide(path.string());
    if (text.empty() || text.back() != L'/') {
        text += L'/';
    }
    return text;
}

} // namespace

void VornMainWindow::ShowUrlError(int32_t dialogId, const std::string& message,
                                  const VornDownloadRecord& record) {
    auto* dialog = new VornErrorWindow(this, record, message, dialogId);
    ReplaceDialog(dialogId, dialog);
    dialog->Create(true);
}

bool VornMainWindow::IsDownloadableUrl(const VornUrl& url) {
    if (url.kind() < URL_KIND_HTTP || url.kind() > URL_KIND_FTP || url.host().empty()) {
        return false;
    }
    for (char c : url.host()) {
        if (c == '%' || static_cast<unsigned char>(c) <= ' ') {
            return false;
        }
    }
    return true;
}

VornDownloadWindow* VornMainWindow::StartDownload(VornDownloadRecord record, bool stored) {
    const VornUrl& url = record.url;
    if (!IsDownloadableUrl(url)) {
        ShowUrlError(-1, "The URL is invalid or its protocol is not supported.", record);
        return nullptr;
    }
    if (url.kind() == URL_KIND_FTP && url.fileName().empty()) {
        ShowUrlError(-2, "The FTP address names no file.", record);
        return nullptr;
    }
    if (!stored) {
        m_database.addDownload(record);
        m_database.markStarted(record.id);
    }
    std::filesystem::path work = VornKnownFolders::dataFolder() / std::to_string(record.id);
    // A stored download picks up its segment table; without one the engine starts afresh.
    std::error_code failure;
    bool resume = stored && std::filesystem::exists(work, failure);
    auto* window = new VornDownloadWindow(this, record, WithSeparator(VornKnownFolders::downloadsFolder()),
                                          WithSeparator(work), resume);
    m_windows[record.id] = window;
    if (!stored) {
        Reload();
    } else {
        RefreshCommands();
    }
    window->Create(true);
    return window;
}

void VornMainWindow::StoreStarted(int32_t id) {
    std::string lastTry = m_database.markStarted(id);
    m_model->SetStatus(id, " ", "", "");
    m_model->SetLastTry(id, std::time(nullptr), lastTry);
}

void VornMainWindow::ShowRunning(int32_t id, const std::string& status, const std::string& speed,
                                 const std::string& timeLeft) {
    m_model->SetStatus(id, status, speed, timeLeft);
}

void VornMainWindow::StoreColumn(int32_t id, const std::string& column, const std::wstring& value) {
    m_database.setColumn(id, column, value);
}

void VornMainWindow::StoreStatusWord(VornDownloadWindow* window, const char* word) {
    int percentage = static_cast<int>(std::floor(std::max(0.0, window->Percentage())));
    std::string status = std::string(word) + " (" + std::to_string(percentage) + "% )";
    StoreColumn(window->Id(), "status", Quoted(vornUtf8ToWide(status)));
    m_model->SetStatus(window->Id(), status, "", "");
}

void VornMainWindow::ForgetWindow(VornDownloadWindow* window) {
    window->hide();
    m_windows.erase(window->Id());
    // The window raised this event from its own handler: it goes once that has returned.
    window->deleteLater();
    QTimer::singleShot(0, this, &VornMainWindow::CheckExit);
}

void VornMainWindow::OnDownloadEvent(int code, VornDownloadWindow* window, const std::string& text) {
    const int32_t id = window->Id();
    switch (code) {
    case 0:
        StoreStatusWord(window, kPausedLabel);
        ForgetWindow(window);
        break;
    case 1:
        StoreStatusWord(window, kPausedLabel);
        break;
    case 2: {
        StoreColumn(id, "status", Quoted(vornUtf8ToWide(VornDatabase::kStatusComplete)));
        m_model->SetStatus(id, VornDatabase::kStatusComplete, "", "");
        bool wanted = window->CompletionDialogWanted();
        VornDownloadRecord record = m_database.loadRecord(id);
        ForgetWindow(window);
        if (wanted && !m_exiting) {
            auto* dialog = new VornCompleteWindow(this, record);
            ReplaceDialog(id, dialog);
            dialog->Create(true);
        }
        break;
    }
    case 3: {
        StoreStatusWord(window, kErrorLabel);
        StoreColumn(id, "errortext", Quoted(vornUtf8ToWide(text)));
        VornDownloadRecord record = window->Record();
        ForgetWindow(window);
        if (!m_exiting) {
            auto* dialog = new VornErrorWindow(this, record, text, id);
            ReplaceDialog(id, dialog);
            dialog->Create(true);
        }
        break;
    }
    case 7: {
        std::string category = m_database.rename(id, vornUtf8ToWide(text));
        m_model->SetFileName(id, vornUtf8ToWide(text), category);
        break;
    }
    case 8: {
        int64_t size = std::atoll(text.c_str());
        StoreColumn(id, "filesize", vornUtf8ToWide(std::to_string(size)));
        m_model->SetSize(id, size);
        break;
    }
    case 9:
        StoreColumn(id, "mimetype", Quoted(vornUtf8ToWide(text)));
        break;
    case 10:
        StoreColumn(id, "resumable", vornUtf8ToWide(text));
        m_model->SetResumable(id, text == "1");
        break;
    case 11:
        StoreColumn(id, "connections", vornUtf8ToWide(text));
        break;
    case 12:
        StoreColumn(id, "bandwidthlimit", vornUtf8ToWide(text));
        break;
    case 13:
        StoreColumn(id, "folderpath", Quoted(vornUtf8ToWide(text)));
        break;
    default:
        // 4 (waiting for a fresh URL) belongs to download capture; 5 and 6 only refresh the commands.
        break;
    }
    RefreshCommands();
}
