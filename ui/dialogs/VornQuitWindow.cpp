#include "ui/dialogs/VornQuitWindow.h"

#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornIcons.h"

#include <QLabel>
#include <QPushButton>

VornQuitWindow::VornQuitWindow(VornMainWindow* mainWindow, bool trayOffered)
    : VornBaseWindow(mainWindow, 0, 0, 412, 192, QStringLiteral("Exit Brellin")), m_main(mainWindow),
      m_trayOffered(trayOffered) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(412, 192);
    move(CentredPosition(412, 432));
}

void VornQuitWindow::OnCreate() {
    auto* image = new QLabel(this);
    image->setGeometry(12, 12, 48, 48);
    image->setPixmap(VornIcons::Program().pixmap(48, 48));
    auto* question = new QLabel(QStringLiteral("Exit Brellin completely?"), this);
    QFont bold = question->font();
    bold.setBold(true);
    question->setFont(bold);
    question->setGeometry(70, 12, 300, 28);
    auto* hint = new QLabel(this);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    hint->setGeometry(70, 41, 300, 64);
    if (m_trayOffered) {
        hint->setText(QStringLiteral("Closing the main window hides Brellin in the notification area; its "
                                     "menu brings it back to the front. Running downloads continue."));
    } else {
        hint->setText(QStringLiteral("Closing the main window minimises Brellin; running downloads continue. "
                                     "Exiting stops them, and they can be resumed later."));
    }
    m_hideButton = new QPushButton(QStringLiteral("Hide in notification area"), this);
    m_hideButton->setGeometry(42, 106, 142, 27);
    m_exitButton = new QPushButton(QStringLiteral("Exit completely"), this);
    if (m_trayOffered) {
        m_exitButton->setGeometry(220, 106, 142, 27);
        setTabOrder(m_hideButton, m_exitButton);
    } else {
        m_hideButton->hide();
        m_exitButton->setGeometry((412 - 142) / 2, 106, 142, 27);
    }
    connect(m_hideButton, &QPushButton::clicked, this, [this] {
        m_hideButton->setEnabled(false);
        m_exitButton->setEnabled(false);
        VornMainWindow* main = m_main;
        main->QuitClosed();
        main->showMinimized();
        main->Hide();
    });
    connect(m_exitButton, &QPushButton::clicked, this, [this] {
        m_hideButton->setEnabled(false);
        m_exitButton->setEnabled(false);
        VornMainWindow* main = m_main;
        main->QuitClosed();
        main->ExitCompletely();
    });
}

void VornQuitWindow::OnActivate() {
    QPushButton* first = m_trayOffered ? m_hideButton : m_exitButton;
    first->setFocus(Qt::ActiveWindowFocusReason);
    first->setDefault(true);
}

void VornQuitWindow::OnClose() {
    m_hideButton->setEnabled(false);
    m_exitButton->setEnabled(false);
    m_main->QuitClosed();
}
