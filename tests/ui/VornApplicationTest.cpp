// Starting the program: one instance per user, "-autostart" hidden, later starts handing over to the first.
#include "tests/ui/support/UiTest.h"

#include "ui/dialogs/VornUrlWindow.h"
#include "ui/main/VornApplication.h"
#include "ui/main/VornSingleInstance.h"

#include <QProcess>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A later start of the real program, run to its end while this instance keeps serving its events.
int RunSecondStart(const QStringList& arguments) {
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(QStringLiteral(BRELLIN_BINARY_DIR "/bin/brellin"), arguments);
    EXPECT_TRUE(second.waitForStarted(10000));
    bool ended = WaitUntil([&] { return second.state() == QProcess::NotRunning; }, 60s);
    EXPECT_TRUE(ended);
    if (!ended) {
        second.kill();
        second.waitForFinished();
        return -1;
    }
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    return second.exitCode();
}

// What a crashed instance leaves behind: the socket file, with nobody listening.
void LeaveStaleSocket() {
    std::string path = VornSingleInstance::SocketPath().toStdString();
    int handle = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(handle, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(handle);
    ASSERT_TRUE(std::filesystem::exists(path));
}

} // namespace

TEST(VornApplication, AutostartStaysHiddenUntilASecondStartRaisesIt) {
    LeaveStaleSocket();
    // The argument is recognised with blanks around it.
    VornApplication first({QStringLiteral("  -autostart ")}, VornMainWindow::Options{0, false});
    ASSERT_EQ(first.Start(), -1);
    ASSERT_TRUE(first.AutoStart());
    QCoreApplication::processEvents();
    EXPECT_FALSE(first.MainWindow()->isVisible());

    EXPECT_EQ(RunSecondStart({}), 0);
    EXPECT_TRUE(WaitUntil([&] { return first.MainWindow()->isVisible(); }, 10s));
    SaveScreenshot(first.MainWindow(), "main-window-empty");

    // A URL given to a later start opens the first instance's new-download window with it.
    const QString url = QStringLiteral("http://127.0.0.1:9/files/report.pdf");
    EXPECT_EQ(RunSecondStart({url}), 0);
    ASSERT_TRUE(WaitUntil([&] { return first.MainWindow()->UrlWindow() != nullptr; }, 10s));
    EXPECT_EQ(first.MainWindow()->UrlWindow()->Url(), url);
    EXPECT_TRUE(first.MainWindow()->UrlWindow()->isVisible());
    SaveScreenshot(first.MainWindow()->UrlWindow(), "new-download-window-from-command-line");
}

TEST(VornApplication, ASecondInstanceInTheSameProcessStepsAside) {
    VornApplication first({}, VornMainWindow::Options{0, false});
    ASSERT_EQ(first.Start(), -1);
    EXPECT_TRUE(first.MainWindow()->isVisible());
    first.MainWindow()->hide();
    // The notification is answered by the event loop, which the second start does not block.
    VornApplication second({}, VornMainWindow::Options{0, false});
    EXPECT_EQ(second.Start(), 0);
    EXPECT_EQ(second.MainWindow(), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return first.MainWindow()->isVisible(); }, 10s));
}
