#include "ui/main/VornApplication.h"

#include "storage/VornSettings.h"
#include "ui/main/VornSingleInstance.h"

#include <QApplication>
#include <QCoreApplication>

VornApplication::VornApplication(const QStringList& arguments, const VornMainWindow::Options& options)
    : m_options(options) {
    for (const QString& argument : arguments) {
        QString trimmed = argument.trimmed();
        if (trimmed == QStringLiteral("-autostart")) {
            m_autoStart = true;
        } else if (!trimmed.isEmpty() && m_url.isEmpty()) {
            m_url = trimmed;
        }
    }
}

VornApplication::~VornApplication() {
    m_main.reset();
    // Windows handed to deleteLater after the loop ended go now, not with the process.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int VornApplication::Start() {
    if (VornSingleInstance::NotifyRunning(m_url)) {
        return 0;
    }
    m_instance = std::make_unique<VornSingleInstance>();
    if (!m_instance->Listen()) {
        // Another start won the race between the two checks: it is the running instance now.
        return VornSingleInstance::NotifyRunning(m_url) ? 0 : 1;
    }
    m_library.initialise();
    QApplication::setQuitOnLastWindowClosed(false);
    m_main = std::make_unique<VornMainWindow>(m_options);
    QObject::connect(m_instance.get(), &VornSingleInstance::ShowRequested, m_main.get(),
                     &VornBaseWindow::Show);
    QObject::connect(m_instance.get(), &VornSingleInstance::UrlReceived, m_main.get(),
                     [main = m_main.get()](const QString& url) { main->ShowNewDownload(url); });
    QObject::connect(m_main.get(), &VornMainWindow::ExitReady, qApp, [] { QCoreApplication::exit(0); });
    if (m_autoStart) {
        m_main->Create(false);
    } else {
        VornSettings::setAutoStart(VornSettings::appAutoStart());
        m_main->Create(true);
    }
    if (!m_url.isEmpty()) {
        m_main->ShowNewDownload(m_url);
    }
    return -1;
}
