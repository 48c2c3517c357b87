#include "ui/main/VornMainWindow.h"

#include "base/VornFormat.h"
#include "base/VornKnownFolders.h"
#include "base/VornMime.h"
#include "base/VornText.h"
#include "browserlink/VornWebSocketServer.h"
#include "storage/VornSettings.h"
#include "ui/dialogs/VornQuitWindow.h"
#include "ui/dialogs/VornUrlWindow.h"
#include "ui/download/VornDownloadWindow.h"
#include "ui/download/VornEngineReaper.h"
#include "ui/main/VornCategoryTree.h"
#include "ui/main/VornDownloadListModel.h"
#include "ui/main/VornDownloadListProxy.h"
#include "ui/toolkit/VornIcons.h"
#include "ui/toolkit/VornShell.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <filesystem>

namespace {

int64_t ToNumber(const std::wstring& text) {
    try {
        return text.empty() ? 0 : std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace

VornMainWindow::VornMainWindow(const Options& options)
    : VornBaseWindow(nullptr, 0, 0, 910, 516, QStringLiteral("Brellin 1.1")), m_options(options),
      m_reaper(new VornEngineReaper(this)) {
    move(CentredPosition(910, 576));
    setWindowIcon(VornIcons::Program());
    setMinimumSize(600, 300);
}

VornMainWindow::~VornMainWindow() {
    // Download windows are top-level windows of their own; they go before the database they report to.
    for (auto& [id, window] : m_windows) {
        delete window;
    }
    for (auto& [id, dialog] : m_dialogs) {
        delete dialog;
    }
    delete m_urlWindow;
    delete m_quitWindow;
    delete m_reaper;
}

void VornMainWindow::OnCreate() {
    m_database.open(VornKnownFolders::dataFolder());
    m_model = new VornDownloadListModel(this);
    m_proxy = new VornDownloadListProxy(this);
    m_proxy->setSourceModel(m_model);

    m_tree = new VornCategoryTree(this);
    m_tree->setFixedWidth(148);
    m_table = new QTableView(this);
    m_table->setModel(m_proxy);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setShowGrid(true);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = m_table->horizontalHeader();
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setSectionResizeMode(VornDownloadListModel::kName, QHeaderView::Stretch);
    const int widths[] = {10, 84, 86, 90, 100, 112};
    for (int column = 1; column < VornDownloadListModel::kColumnCount; ++column) {
        header->resizeSection(column, widths[column]);
    }
    m_model->SetSortIndicator(m_sortColumn, m_ascending);

    BuildToolBar();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 6);
    layout->setSpacing(1);
    layout->addWidget(m_toolBar);
    auto* lower = new QHBoxLayout();
    lower->setContentsMargins(7, 0, 8, 0);
    lower->setSpacing(6);
    lower->addWidget(m_tree);
    lower->addWidget(m_table, 1);
    layout->addLayout(lower, 1);

    m_contextMenu = new QMenu(this);
    m_contextMenu->addActions({m_resumeAction, m_stopAction, m_againAction, m_showAction});
    m_contextMenu->addSeparator();
    m_contextMenu->addActions({m_folderAction, m_openAction, m_deleteAction});
    BuildTray();

    connect(m_tree, &VornCategoryTree::CategoryChosen, this, &VornMainWindow::SelectCategory);
    connect(header, &QHeaderView::sectionClicked, this, &VornMainWindow::SortByColumn);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &VornMainWindow::RefreshCommands);
    connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (!SelectedIds().empty()) {
            m_contextMenu->popup(m_table->viewport()->mapToGlobal(at));
        }
    });
    connect(m_table, &QAbstractItemView::doubleClicked, this, [this] {
        std::vector<int32_t> ids = SelectedIds();
        if (ids.size() == 1 && DownloadWindow(ids[0]) != nullptr) {
            DownloadWindow(ids[0])->Show();
        }
    });

    // The browser link: its messages are logged until download capture handles them.
    m_browserLink = std::make_unique<VornWebSocketServer>(*Target(), m_options.browserPort);
    m_browserLink->start();
    m_tree->SelectFirstRoot();
    Reload();
    m_table->setFocus();
}

void VornMainWindow::BuildToolBar() {
    m_toolBar = new QToolBar(this);
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolBar->setIconSize(QSize(32, 32));
    m_toolBar->setFixedHeight(57);
    m_toolBar->setMovable(false);
    QStyle* look = style();
    m_newAction =
        m_toolBar->addAction(look->standardIcon(QStyle::SP_FileDialogNewFolder), QStringLiteral("New"));
    m_resumeAction = m_toolBar->addAction(look->standardIcon(QStyle::SP_MediaPlay), QStringLiteral("Resume"));
    m_stopAction = m_toolBar->addAction(look->standardIcon(QStyle::SP_MediaPause), QStringLiteral("Stop"));
    m_deleteAction = m_toolBar->addAction(look->standardIcon(QStyle::SP_TrashIcon), QStringLiteral("Delete"));
    auto* spacer = new QWidget(m_toolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolBar->addWidget(spacer);
    // Settings, browsers and about come with their windows; their places are kept.
    for (auto [icon, text] : {std::pair{QStyle::SP_FileDialogDetailedView, "Settings"},
                              std::pair{QStyle::SP_DriveNetIcon, "Browsers"},
                              std::pair{QStyle::SP_MessageBoxInformation, "About"}}) {
        m_toolBar->addAction(look->standardIcon(icon), QString::fromLatin1(text))->setEnabled(false);
    }
    m_quitAction =
        m_toolBar->addAction(look->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Exit"));
    m_againAction = new QAction(QStringLiteral("Download again"), this);
    m_showAction = new QAction(QStringLiteral("Show window"), this);
    m_folderAction = new QAction(QStringLiteral("Open folder"), this);
    m_openAction = new QAction(QStringLiteral("Open file"), this);

    connect(m_newAction, &QAction::triggered, this, [this] { ShowNewDownload(); });
    connect(m_resumeAction, &QAction::triggered, this, &VornMainWindow::ResumeSelected);
    connect(m_stopAction, &QAction::triggered, this, &VornMainWindow::StopSelected);
    connect(m_deleteAction, &QAction::triggered, this, &VornMainWindow::DeleteSelected);
    connect(m_quitAction, &QAction::triggered, this, &VornMainWindow::ShowQuit);
    connect(m_againAction, &QAction::triggered, this, [this] {
        std::vector<int32_t> ids = SelectedIds();
        if (ids.size() != 1 || DownloadWindow(ids[0]) != nullptr) {
            return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(VornKnownFolders::dataFolder() / std::to_string(ids[0]), ignored);
        ResumeSelected();
    });
    connect(m_showAction, &QAction::triggered, this, [this] {
        std::vector<int32_t> ids = SelectedIds();
        if (ids.size() == 1 && DownloadWindow(ids[0]) != nullptr) {
            DownloadWindow(ids[0])->Show();
        }
    });
    connect(m_folderAction, &QAction::triggered, this, [this] { OpenSelected(true); });
    connect(m_openAction, &QAction::triggered, this, [this] { OpenSelected(false); });
}

void VornMainWindow::BuildTray() {
    if (!m_options.useTray || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_trayMenu = new QMenu(this);
    QAction* show = m_trayMenu->addAction(VornIcons::Program(), QStringLiteral("Show Brellin"));
    connect(show, &QAction::triggered, this, &VornBaseWindow::Show);
    m_tray = new QSystemTrayIcon(VornIcons::Program(), this);
    m_tray->setToolTip(QStringLiteral("Brellin"));
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            Show();
        }
    });
    m_tray->show();
}

void VornMainWindow::OnClose() {
    // Downloads keep running: with a tray the program lives on there; without one it stays reachable
    // minimised, since a hidden window could not be brought back.
    if (m_tray != nullptr) {
        showMinimized();
        Hide();
    } else {
        showMinimized();
    }
}

void VornMainWindow::OnBrowserMessage(const std::string& text) {
    qInfo("browser link: message of %zu bytes ignored", text.size());
}

std::vector<int32_t> VornMainWindow::SelectedIds() const {
    std::vector<int32_t> ids;
    if (m_table == nullptr) {
        return ids;
    }
    QModelIndexList rows = m_table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& row : rows) {
        ids.push_back(row.data(VornDownloadListModel::kIdRole).toInt());
    }
    return ids;
}

VornDownloadWindow* VornMainWindow::DownloadWindow(int32_t id) const {
    auto found = m_windows.find(id);
    return found == m_windows.end() ? nullptr : found->second;
}

std::vector<VornDownloadWindow*> VornMainWindow::DownloadWindows() const {
    std::vector<VornDownloadWindow*> windows;
    for (const auto& [id, window] : m_windows) {
        windows.push_back(window);
    }
    return windows;
}

VornBaseWindow* VornMainWindow::Dialog(int32_t id) const {
    auto found = m_dialogs.find(id);
    return found == m_dialogs.end() ? nullptr : found->second;
}

void VornMainWindow::Reload() {
    std::vector<VornDownloadListModel::Row> rows;
    for (VornListRow& list : m_database.listDownloads("all", "all", m_order)) {
        VornDownloadListModel::Row row;
        row.fileSize = ToNumber(m_database.columnText(list.id, "filesize"));
        row.lastTry = ToNumber(m_database.columnText(list.id, "lasttry"));
        row.list = std::move(list);
        rows.push_back(std::move(row));
    }
    m_table->clearSelection();
    m_model->SetRows(std::move(rows));
    if (*VornDownloadListModel::SortKey(m_sortColumn) != '\0') {
        m_proxy->sort(m_sortColumn, m_ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    }
    if (m_proxy->rowCount() > 0) {
        m_table->selectRow(0);
    }
    RefreshCommands();
}

void VornMainWindow::SortByColumn(int column) {
    if (*VornDownloadListModel::SortKey(column) == '\0') {
        return;
    }
    m_ascending = column != m_sortColumn || !m_ascending;
    m_sortColumn = column;
    m_order = std::string(VornDownloadListModel::SortKey(column)) + (m_ascending ? "" : " desc");
    m_model->SetSortIndicator(column, m_ascending);
    Reload();
}

void VornMainWindow::SelectCategory(int parameter) {
    QString status;
    QString category;
    if (!VornCategoryTree::FiltersOf(parameter, status, category)) {
        return;
    }
    m_proxy->SetFilters(status, category);
    Reload();
}

void VornMainWindow::RefreshCommands() {
    std::vector<int32_t> ids = SelectedIds();
    bool single = ids.size() == 1;
    bool stop = false;
    bool deletable = false;
    for (int32_t id : ids) {
        VornDownloadWindow* window = DownloadWindow(id);
        stop = stop || (window != nullptr && window->IsRunning() && window->StopAvailable());
        deletable = deletable || window == nullptr;
    }
    VornDownloadWindow* window = single ? DownloadWindow(ids[0]) : nullptr;
    const VornDownloadListModel::Row* row = single ? m_model->RowById(ids[0]) : nullptr;
    bool completed = row != nullptr && row->list.status == VornDatabase::kStatusComplete;
    bool resumable = row != nullptr && row->list.resumable != 2;
    m_resumeAction->setEnabled(single && resumable && !completed &&
                               (window == nullptr || !window->IsRunning()));
    m_stopAction->setEnabled(stop);
    m_deleteAction->setEnabled(deletable);
    m_againAction->setEnabled(single && window == nullptr && (completed || !resumable));
    m_showAction->setEnabled(single && window != nullptr);
    m_folderAction->setEnabled(single && completed);
    m_openAction->setEnabled(single && completed);
}

void VornMainWindow::ResumeSelected() {
    std::vector<int32_t> ids = SelectedIds();
    if (ids.size() != 1) {
        return;
    }
    if (VornDownloadWindow* window = DownloadWindow(ids[0])) {
        if (!window->IsRunning()) {
            window->PauseOrResume();
        }
        return;
    }
    StoreStarted(ids[0]);
    VornDownloadRecord record = m_database.loadRecord(ids[0]);
    if (vornWideToUtf8(m_database.columnText(ids[0], "status")) == VornDatabase::kStatusComplete) {
        record.freshRestart = 1;
    }
    StartDownload(record, true);
}

void VornMainWindow::StopSelected() {
    for (int32_t id : SelectedIds()) {
        VornDownloadWindow* window = DownloadWindow(id);
        if (window != nullptr && window->IsRunning() && window->StopAvailable()) {
            window->PauseOrResume();
        }
    }
}

void VornMainWindow::DeleteSelected() {
    std::string list;
    for (int32_t id : SelectedIds()) {
        if (DownloadWindow(id) != nullptr) {
            continue;
        }
        std::error_code ignored;
        std::filesystem::remove_all(VornKnownFolders::dataFolder() / std::to_string(id), ignored);
        list += (list.empty() ? "" : ",") + std::to_string(id);
    }
    if (!list.empty()) {
        m_database.deleteDownloads(list);
        Reload();
    }
}

std::wstring VornMainWindow::FilePath(int32_t id) {
    std::wstring folder = m_database.folderPath(id);
    std::wstring name = m_database.columnText(id, "filename");
    if (folder.empty()) {
        std::filesystem::path downloads = VornKnownFolders::downloadsFolder();
        if (VornSettings::categoryFolders()) {
            downloads /= vornWideToUtf8(vornCategory(name));
        }
        folder = vornUtf8ToWide(downloads.string());
    }
    if (!folder.empty() && folder.back() != L'/') {
        folder += L'/';
    }
    return folder + name;
}

void VornMainWindow::OpenSelected(bool folder) {
    std::vector<int32_t> ids = SelectedIds();
    if (ids.size() != 1) {
        return;
    }
    QString path = QString::fromStdWString(FilePath(ids[0]));
    if (folder) {
        VornShell::OpenFolderSelecting(path);
    } else {
        VornShell::OpenFile(path);
    }
}

void VornMainWindow::ShowNewDownload(const QString& url) {
    if (m_urlWindow == nullptr) {
        m_urlWindow = new VornUrlWindow(this);
        m_urlWindow->Create(false);
    }
    if (!url.isEmpty()) {
        m_urlWindow->SetUrl(url);
    }
    m_urlWindow->Show();
}

void VornMainWindow::NewDownloadClosed() {
    if (m_urlWindow != nullptr) {
        m_urlWindow->hide();
        m_urlWindow->deleteLater();
        m_urlWindow = nullptr;
    }
}

void VornMainWindow::NewDownloadChosen(const QString& text) {
    std::string url = vornTrim(text.toStdString());
    NewDownloadClosed();
    int32_t id = VornSettings::nextDownloadId();
    int32_t largest = m_database.largestDownloadId();
    if (id <= largest) {
        // A settings file older than the database would hand out a stored id again.
        VornSettings::writeInteger(VornSettings::kLastDownloadId, largest);
        id = VornSettings::nextDownloadId();
    }
    VornDownloadRecord record(id, url, "", static_cast<uint8_t>(VornSettings::maxConnections()),
                              VornSettings::bandWidthLimit(), "normal");
    StartDownload(record, false);
}

void VornMainWindow::ShowQuit() {
    if (m_quitWindow == nullptr) {
        m_quitWindow = new VornQuitWindow(this, m_tray != nullptr);
        m_quitWindow->Create(false);
    }
    m_quitWindow->Show();
}

void VornMainWindow::QuitClosed() {
    if (m_quitWindow != nullptr) {
        m_quitWindow->hide();
        m_quitWindow->deleteLater();
        m_quitWindow = nullptr;
    }
}

void VornMainWindow::ExitCompletely() {
    m_exiting = true;
    // Each window stops its engine and reports back (event 0) once the engine has ended; an end step in
    // progress (the rename or a mux) finishes first. Nothing here waits.
    std::vector<VornDownloadWindow*> windows;
    for (auto& [id, window] : m_windows) {
        windows.push_back(window);
    }
    for (VornDownloadWindow* window : windows) {
        window->CloseForExit();
    }
    CheckExit();
}

void VornMainWindow::CheckExit() {
    if (m_exiting && m_windows.empty()) {
        emit ExitReady();
    }
}

void VornMainWindow::RemoveDialog(int32_t id, VornBaseWindow* dialog) {
    auto found = m_dialogs.find(id);
    if (found != m_dialogs.end() && found->second == dialog) {
        m_dialogs.erase(found);
    }
    dialog->hide();
    dialog->deleteLater();
}

void VornMainWindow::ReplaceDialog(int32_t id, VornBaseWindow* dialog) {
    auto found = m_dialogs.find(id);
    if (found != m_dialogs.end()) {
        found->second->hide();
        found->second->deleteLater();
    }
    m_dialogs[id] = dialog;
}
