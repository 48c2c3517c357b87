// Downloads through the windows, with the real engine against a loopback nginx: from the clipboard to the
// completion dialog, pause and resume, cancel, quitting mid-download and resuming after a restart.
#include "tests/ui/support/UiTest.h"

#include "base/VornKnownFolders.h"
#include "base/VornText.h"
#include "storage/VornSettings.h"
#include "tests/support/NginxServer.h"
#include "ui/dialogs/VornCompleteWindow.h"
#include "ui/dialogs/VornErrorWindow.h"
#include "ui/dialogs/VornQuitWindow.h"
#include "ui/dialogs/VornUrlWindow.h"
#include "ui/download/VornDownloadWindow.h"
#include "ui/main/VornDownloadListModel.h"
#include "ui/main/VornMainWindow.h"

#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr auto kLong = 120s;

class VornDownloadFlow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        // Slow enough per connection that a download is seen moving, paused and resumed mid-way.
        NginxServer::Options options;
        options.slowRateBytes = 96 * 1024;
        m_server = std::make_unique<NginxServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
        VornSettings::setMaxConnections(4);
        VornSettings::setCompletionDialog(true);
        VornSettings::setBandWidthLimit(0);
        StartMainWindow();
    }

    void TearDown() override {
        m_main.reset();
        FlushDeletes();
    }

    void StartMainWindow() {
        m_main = std::make_unique<VornMainWindow>(VornMainWindow::Options{0, false});
        m_main->Create(true);
    }

    std::string ServeFile(const std::string& name, size_t size) {
        m_source = m_server->writeRandomFile("slow/" + name, size, static_cast<uint32_t>(size));
        return m_server->url("/slow/" + name);
    }

    VornDownloadWindow* OnlyWindow() const {
        std::vector<VornDownloadWindow*> windows = m_main->DownloadWindows();
        return windows.size() == 1 ? windows[0] : nullptr;
    }

    VornDownloadWindow* Start(const std::string& url) {
        int32_t id = VornSettings::nextDownloadId();
        VornDownloadRecord record(id, url, "", 4, 0, "normal");
        VornDownloadWindow* window = m_main->StartDownload(record, false);
        EXPECT_NE(window, nullptr);
        return window;
    }

    // Waits until the download is resumable and has visibly moved, but is far from done.
    void WaitUntilUnderway(VornDownloadWindow* window) {
        ASSERT_TRUE(WaitUntil(
            [&] { return window->PauseButton()->isEnabled() && window->ProgressBar()->value() > 0; }, kLong));
        EXPECT_LT(window->ProgressBar()->value(), 65535);
    }

    std::filesystem::path StoredFile(int32_t id) {
        std::wstring folder = m_main->Database().folderPath(id);
        std::wstring name = m_main->Database().columnText(id, "filename");
        return std::filesystem::path(vornWideToUtf8(folder)) / vornWideToUtf8(name);
    }

    std::string StoredStatus(int32_t id) {
        return vornWideToUtf8(m_main->Database().columnText(id, "status"));
    }

    void ExpectCompleteAndIdentical(int32_t id) {
        ASSERT_TRUE(WaitUntil([&] { return m_main->DownloadWindow(id) == nullptr; }, kLong));
        EXPECT_EQ(StoredStatus(id), "Complete");
        const VornDownloadListModel::Row* row = m_main->Model()->RowById(id);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->list.status, "Complete");
        EXPECT_EQ(fileSha256(StoredFile(id)), fileSha256(m_source)) << StoredFile(id);
    }

    void SelectRow(int32_t id) {
        m_main->Reload();
        QAbstractItemModel* model = m_main->Table()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data(VornDownloadListModel::kIdRole).toInt() == id) {
                m_main->Table()->selectRow(row);
            }
        }
    }

    std::unique_ptr<NginxServer> m_server;
    std::unique_ptr<VornMainWindow> m_main;
    std::filesystem::path m_source;
};

} // namespace

TEST_F(VornDownloadFlow, ClipboardUrlDownloadsToTheCompletionDialog) {
    const std::string url = ServeFile("clip.bin", 1536 * 1024);
    QApplication::clipboard()->setText(QString::fromStdString(url));
    m_main->ShowNewDownload();
    VornUrlWindow* urlWindow = m_main->UrlWindow();
    ASSERT_NE(urlWindow, nullptr);
    EXPECT_EQ(urlWindow->Url().toStdString(), url);
    SaveScreenshot(urlWindow, "new-download-window");
    QTest::mouseClick(urlWindow->DownloadButton(), Qt::LeftButton);
    EXPECT_EQ(m_main->UrlWindow(), nullptr);

    VornDownloadWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    const int32_t id = window->Id();
    WaitUntilUnderway(window);
    EXPECT_TRUE(window->windowTitle().endsWith(QStringLiteral("%  clip.bin")))
        << window->windowTitle().toStdString();
    SaveScreenshot(window, "download-window-running");
    SaveScreenshot(m_main.get(), "main-window-downloading");

    ExpectCompleteAndIdentical(id);
    ASSERT_TRUE(WaitUntil([&] { return m_main->Dialog(id) != nullptr; }, 10s));
    auto* dialog = dynamic_cast<VornCompleteWindow*>(m_main->Dialog(id));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->FilePath().toStdString(), StoredFile(id).string());
    SaveScreenshot(dialog, "completion-dialog");
    // Escape twice: the dialog goes once.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_EQ(m_main->Dialog(id), nullptr);
    SaveScreenshot(m_main.get(), "main-window-complete");
}

TEST_F(VornDownloadFlow, PauseThenResumeGivesTheIdenticalFile) {
    VornDownloadWindow* window = Start(ServeFile("pause.bin", 2 * 1024 * 1024));
    ASSERT_NE(window, nullptr);
    const int32_t id = window->Id();
    WaitUntilUnderway(window);
    QTest::mouseClick(window->PauseButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window->IsRunning() && window->PauseButton()->isEnabled(); }, kLong));
    EXPECT_EQ(window->PauseButton()->text(), QStringLiteral("Resume"));
    EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("Paused - ")));
    EXPECT_EQ(StoredStatus(id).rfind("Paused (", 0), 0u) << StoredStatus(id);
    SaveScreenshot(window, "download-window-paused");
    // Limits of 1 to 15 KB/s become 16; an empty box means none.
    window->SpeedLimitBox()->setText(QStringLiteral("10"));
    window->ApplySpeedLimit();
    EXPECT_EQ(window->SpeedLimitBox()->text(), QStringLiteral("16"));
    EXPECT_EQ(window->Record().bandwidthLimit, 16);
    window->SpeedLimitBox()->clear();
    window->ApplySpeedLimit();
    EXPECT_EQ(window->Record().bandwidthLimit, 0);

    QTest::mouseClick(window->PauseButton(), Qt::LeftButton);
    EXPECT_TRUE(window->IsRunning());
    EXPECT_EQ(window->PauseButton()->text(), QStringLiteral("Pause"));
    ExpectCompleteAndIdentical(id);
}

TEST_F(VornDownloadFlow, ANewConnectionCountWaitsForTheEngineToApplyIt) {
    VornDownloadWindow* window = Start(ServeFile("connections.bin", 2 * 1024 * 1024));
    ASSERT_NE(window, nullptr);
    const int32_t id = window->Id();
    WaitUntilUnderway(window);
    ASSERT_TRUE(window->ConnectionCombo()->isEnabled());
    window->ConnectionCombo()->setCurrentIndex(1);
    window->ApplyConnections();
    EXPECT_FALSE(window->ConnectionCombo()->isEnabled());
    EXPECT_EQ(window->Record().connections, 2);
    EXPECT_TRUE(
        WaitUntil([&] { return window->ConnectionCombo()->isEnabled() || !window->IsRunning(); }, kLong));
    EXPECT_TRUE(window->ConnectionCombo()->isEnabled());
    ExpectCompleteAndIdentical(id);
}

TEST_F(VornDownloadFlow, CancelKeepsTheWorkFolderAndTheDownloadResumesLater) {
    VornDownloadWindow* window = Start(ServeFile("cancel.bin", 2 * 1024 * 1024));
    ASSERT_NE(window, nullptr);
    const int32_t id = window->Id();
    WaitUntilUnderway(window);
    QTest::mouseClick(window->CancelButton(), Qt::LeftButton);
    EXPECT_FALSE(window->CancelButton()->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return m_main->DownloadWindow(id) == nullptr; }, kLong));
    EXPECT_EQ(StoredStatus(id).rfind("Paused (", 0), 0u) << StoredStatus(id);
    EXPECT_EQ(m_main->Model()->RowById(id)->list.status.rfind("Paused (", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(VornKnownFolders::dataFolder() / std::to_string(id)));

    SelectRow(id);
    m_main->RefreshCommands();
    ASSERT_NE(m_main->Model()->RowById(id), nullptr);
    QMetaObject::invokeMethod(m_main.get(), [this] { m_main->RefreshCommands(); });
    // The toolbar's resume: a new window on the stored record, picking up the segment table.
    VornDownloadWindow* resumed = nullptr;
    for (QAction* action : m_main->findChildren<QAction*>()) {
        if (action->text() == QStringLiteral("Resume")) {
            ASSERT_TRUE(action->isEnabled());
            action->trigger();
        }
    }
    resumed = m_main->DownloadWindow(id);
    ASSERT_NE(resumed, nullptr);
    ExpectCompleteAndIdentical(id);
}

TEST_F(VornDownloadFlow, ExitMidDownloadEndsPromptlyAndTheDownloadResumesAfterARestart) {
    VornDownloadWindow* window = Start(ServeFile("quit.bin", 2 * 1024 * 1024));
    ASSERT_NE(window, nullptr);
    const int32_t id = window->Id();
    WaitUntilUnderway(window);

    m_main->ShowQuit();
    VornQuitWindow* quit = m_main->QuitWindow();
    ASSERT_NE(quit, nullptr);
    // Without a tray there is nowhere to hide: only exiting is offered.
    EXPECT_FALSE(quit->HideButton()->isVisible());
    EXPECT_TRUE(quit->ExitButton()->isVisible());
    SaveScreenshot(quit, "quit-dialog");
    QSignalSpy ready(m_main.get(), &VornMainWindow::ExitReady);
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(quit->ExitButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return ready.count() == 1; }, 30s));
    // The stop is prompt: well under the engine's longest wait.
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_EQ(StoredStatus(id).rfind("Paused (", 0), 0u) << StoredStatus(id);

    // The next start finds the download paused and resumes it.
    m_main.reset();
    FlushDeletes();
    StartMainWindow();
    SelectRow(id);
    m_main->RefreshCommands();
    for (QAction* action : m_main->findChildren<QAction*>()) {
        if (action->text() == QStringLiteral("Resume")) {
            action->trigger();
        }
    }
    ASSERT_NE(m_main->DownloadWindow(id), nullptr);
    ExpectCompleteAndIdentical(id);
}

TEST_F(VornDownloadFlow, UnusableUrlsGiveOneErrorDialogEach) {
    m_main->NewDownloadChosen(QStringLiteral("not a url at all"));
    QPointer<VornBaseWindow> first = m_main->Dialog(-1);
    ASSERT_FALSE(first.isNull());
    m_main->NewDownloadChosen(QStringLiteral("gopher://127.0.0.1/x"));
    FlushDeletes();
    EXPECT_TRUE(first.isNull());
    auto* dialog = dynamic_cast<VornErrorWindow*>(m_main->Dialog(-1));
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->LogButton()->isEnabled());
    SaveScreenshot(dialog, "error-dialog-invalid-url");
    m_main->NewDownloadChosen(QStringLiteral("ftp://127.0.0.1/folder/"));
    EXPECT_NE(m_main->Dialog(-2), nullptr);
    EXPECT_EQ(m_main->DownloadWindowCount(), 0u);
}

TEST(VornUrlWindow, TakesOnlyOneLineOfAUsableUrlFromTheClipboard) {
    struct Case {
        QString clipboard;
        bool used;
    };
    const QString url = QStringLiteral("http://127.0.0.1/file.zip");
    for (const Case& c :
         {Case{url, true}, Case{QStringLiteral("  ") + url + QStringLiteral("  "), true},
          Case{url + QStringLiteral("\r\n") + url, false}, Case{url + QStringLiteral("\n"), false},
          Case{QString(), false}, Case{QStringLiteral("just words"), false},
          Case{QStringLiteral("http://"), false},
          Case{QStringLiteral("http://127.0.0.1/") + QString(3000 - 17, QLatin1Char('a')), true},
          Case{QStringLiteral("http://127.0.0.1/") + QString(3001 - 17, QLatin1Char('a')), false}}) {
        EXPECT_EQ(!VornUrlWindow::UsableClipboardUrl(c.clipboard).isEmpty(), c.used)
            << c.clipboard.left(60).toStdString();
    }
}

TEST(VornUrlWindow, TabCyclesUrlDownloadCancel) {
    VornMainWindow mainWindow(VornMainWindow::Options{0, false});
    VornUrlWindow window(&mainWindow);
    window.Create(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    window.UrlBox()->setFocus();
    QWidget* expected[] = {window.DownloadButton(), window.CancelButton(), window.UrlBox()};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), window.CancelButton());
    EXPECT_TRUE(window.CancelButton()->isDefault());
}
