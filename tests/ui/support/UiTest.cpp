#include "tests/ui/support/UiTest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTest>

#include <cstdlib>
#include <iostream>

namespace {

int g_argc = 1;
char g_name[] = "brellin-ui-test";
char* g_argv[] = {g_name, nullptr};
std::filesystem::path g_home;

} // namespace

void UiTestEnvironment::SetUp() {
    m_home = std::make_unique<TempHome>();
    g_home = m_home->home();
    std::filesystem::create_directories(RuntimeDir());
    std::filesystem::permissions(RuntimeDir(), std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // No desktop session: the shell calls must not reach a real file manager.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    m_application = std::make_unique<QApplication>(g_argc, g_argv);
    QApplication::setQuitOnLastWindowClosed(false);
}

void UiTestEnvironment::TearDown() {
    FlushDeletes();
    m_application.reset();
    m_home.reset();
}

std::filesystem::path UiTestEnvironment::Home() {
    return g_home;
}

std::filesystem::path UiTestEnvironment::RuntimeDir() {
    return g_home / "run";
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout.count()) {
            return condition();
        }
        QTest::qWait(10);
    }
    return true;
}

std::filesystem::path SaveScreenshot(QWidget* window, const std::string& name) {
    std::filesystem::path folder = std::filesystem::path(BRELLIN_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    std::filesystem::path file = folder / (name + ".png");
    QCoreApplication::processEvents();
    window->grab().save(QString::fromStdString(file.string()), "PNG");
    std::cout << "screenshot: " << file.string() << std::endl;
    return file;
}

void FlushDeletes() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
