#pragma once

#include "ui/toolkit/VornBaseWindow.h"

class QPushButton;
class VornMainWindow;

// "Exit Brellin": hide in the notification area, or exit completely. Without a tray there is nowhere to
// hide, so only exiting is offered.
class VornQuitWindow final : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornQuitWindow)

public:
    VornQuitWindow(VornMainWindow* mainWindow, bool trayOffered);

    QPushButton* HideButton() const { return m_hideButton; }
    QPushButton* ExitButton() const { return m_exitButton; }

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnActivate() override;

private:
    VornMainWindow* m_main;
    bool m_trayOffered;
    QPushButton* m_hideButton = nullptr;
    QPushButton* m_exitButton = nullptr;
};
