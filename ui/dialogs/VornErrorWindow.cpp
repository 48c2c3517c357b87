#include "ui/dialogs/VornErrorWindow.h"

#include "base/VornKnownFolders.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornIcons.h"
#include "ui/toolkit/VornLabelEx.h"
#include "ui/toolkit/VornShell.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include <filesystem>

VornErrorWindow::VornErrorWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record,
                                 const std::string& text, int32_t dialogId)
    : VornBaseWindow(nullptr, 0, 0, 500, 235, QStringLiteral("Download error")), m_main(mainWindow),
      m_record(record), m_text(text), m_dialogId(dialogId) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setFixedSize(500, 235);
    move(CentredPosition(500, 485));
    setWindowIcon(VornIcons::Program());
}

QString VornErrorWindow::Message() const {
    return m_messageLabel == nullptr ? QString() : m_messageLabel->Text();
}

void VornErrorWindow::OnCreate() {
    auto* icon = new QLabel(this);
    icon->setGeometry(8, 8, 32, 32);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    m_messageLabel = new VornLabelEx(this, VornLabelEx::kMultiLine);
    m_messageLabel->setGeometry(44, 10, 420, 36);
    m_messageLabel->SetColour(QColor(220, 1, 1));
    m_messageLabel->SetText(QStringLiteral("Download failed: ") + QString::fromStdString(m_text));
    auto* urlCaption = new VornLabelEx(this, VornLabelEx::kCentred);
    urlCaption->setGeometry(4, 56, 38, 20);
    urlCaption->SetText(QStringLiteral("URL :"));
    m_urlLabel = new VornLabelEx(this, VornLabelEx::kMultiLine | VornLabelEx::kBreakAnywhere);
    m_urlLabel->setGeometry(44, 56, 420, 90);
    m_urlLabel->SetColour(QColor(0, 0, 143));
    m_urlLabel->SetText(QString::fromStdString(m_record.url.givenText()));
    m_closeButton = new QPushButton(QStringLiteral("Close"), this);
    m_logButton = new QPushButton(QStringLiteral("Log file"), this);
    // A URL that could not be downloaded never had an engine, so there is no log to open.
    m_logButton->setEnabled(m_record.id >= 1 && m_dialogId >= 1);
    setTabOrder(m_closeButton, m_logButton);
    connect(m_urlLabel, &VornLabelEx::LineBreaksChanged, this, &VornErrorWindow::Fit);
    Fit(m_urlLabel->LineBreaks());
    connect(m_closeButton, &QPushButton::clicked, this, &VornErrorWindow::OnClose);
    connect(m_logButton, &QPushButton::clicked, this, [this] {
        m_closeButton->setEnabled(false);
        m_logButton->setEnabled(false);
        hide();
        std::filesystem::path work = VornKnownFolders::dataFolder() / std::to_string(m_record.id);
        std::filesystem::path log = work / "LogFile.txt";
        std::error_code failure;
        if (m_record.hasSecondUrl() && !std::filesystem::is_regular_file(log, failure)) {
            log = work / "V" / "LogFile.txt";
        }
        VornShell::OpenFile(QString::fromStdString(log.string()));
        m_closing = false;
        OnClose();
    });
}

void VornErrorWindow::Fit(int breaks) {
    m_urlLabel->resize(420, 16 * breaks + 17);
    setFixedSize(500, 16 * breaks + 180);
    m_closeButton->setGeometry(130, 16 * breaks + 90, 100, 28);
    m_logButton->setGeometry(270, 16 * breaks + 90, 100, 28);
}

void VornErrorWindow::OnActivate() {
    m_closeButton->setFocus(Qt::ActiveWindowFocusReason);
    m_closeButton->setDefault(true);
}

void VornErrorWindow::OnClose() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    m_closeButton->setEnabled(false);
    m_logButton->setEnabled(false);
    hide();
    m_main->RemoveDialog(m_dialogId, this);
}
