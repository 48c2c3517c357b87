#pragma once

#include "base/VornBaseLib.h"
#include "ui/main/VornMainWindow.h"

#include <QStringList>

#include <memory>

class VornSingleInstance;

// The program's start: one instance per user, "-autostart" starting hidden in the tray, a URL on the
// command line handed to the new-download window (of the running instance when there is one).
class VornApplication final {
public:
    // arguments without the program name.
    explicit VornApplication(const QStringList& arguments, const VornMainWindow::Options& options = {});
    ~VornApplication();
    VornApplication(const VornApplication&) = delete;
    VornApplication& operator=(const VornApplication&) = delete;

    // -1 when the program runs (enter the event loop); otherwise the exit status (another instance was
    // told to come forward: 0).
    int Start();
    VornMainWindow* MainWindow() const { return m_main.get(); }
    bool AutoStart() const { return m_autoStart; }

private:
    QString m_url;
    bool m_autoStart = false;
    VornMainWindow::Options m_options;
    VornBaseLib m_library;
    std::unique_ptr<VornSingleInstance> m_instance;
    std::unique_ptr<VornMainWindow> m_main;
};
