#include "ui/toolkit/VornBaseWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

VornBaseWindow::VornBaseWindow(QWidget* parent, int x, int y, int width, int height, const QString& title)
    : QWidget(parent, Qt::Window), m_target(std::make_shared<VornWindowMessageTarget>(this)) {
    setWindowTitle(title);
    setObjectName(title);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(242, 242, 242));
    setPalette(colours);
    setAutoFillBackground(true);
    setGeometry(x, y, width, height);
}

VornBaseWindow::~VornBaseWindow() {
    // Before QObject's destructor drops the pending events: no post may queue a new one after this.
    m_target->Detach();
}

void VornBaseWindow::Create(bool show) {
    if (!m_created) {
        m_created = true;
        OnCreate();
    }
    if (show) {
        Show();
    }
}

void VornBaseWindow::Show() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void VornBaseWindow::Hide() {
    hide();
}

QPoint VornBaseWindow::CentredPosition(int width, int heightForY) {
    QRect screen(0, 0, 1024, 768);
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        screen = primary->availableGeometry();
    }
    return QPoint(screen.x() + std::max(1, (screen.width() - width) / 2),
                  screen.y() + std::max(1, (screen.height() - heightForY) / 2));
}

bool VornBaseWindow::event(QEvent* event) {
    if (event->type() == VornMessageEvent::EventType()) {
        Dispatch(*static_cast<VornMessageEvent*>(event));
        return true;
    }
    return QWidget::event(event);
}

void VornBaseWindow::Dispatch(const VornMessageEvent& message) {
    switch (message.MessageId()) {
    case WM_ENGINE_PROGRESS:
        OnEngineProgress(message.Text());
        break;
    case WM_ENGINE_EVENT:
        OnEngineEvent(message.Text());
        break;
    case WM_ENGINE_PROGRESS_AUDIO:
        OnAudioEngineProgress(message.Text());
        break;
    case WM_ENGINE_EVENT_AUDIO:
        OnAudioEngineEvent(message.Text());
        break;
    case WM_BROWSER_MESSAGE:
        OnBrowserMessage(message.Text());
        break;
    case WM_TRAY_NOTIFY:
        OnTrayNotify(std::atoi(message.Text().c_str()));
        break;
    case WM_SHOW_MAIN:
        Show();
        break;
    default:
        break;
    }
}

void VornBaseWindow::closeEvent(QCloseEvent* event) {
    // The window decides what closing means; Qt never destroys it behind its owner's back.
    event->ignore();
    OnClose();
}

void VornBaseWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (ClosesOnEscape()) {
            OnClose();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void VornBaseWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    OnSize();
}

void VornBaseWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    OnMove();
}

void VornBaseWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        OnActivate();
    }
}
