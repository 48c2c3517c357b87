#include "ui/dialogs/VornCompleteWindow.h"

#include "base/VornFormat.h"
#include "base/VornKnownFolders.h"
#include "engine/VornEngineTypes.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornIcons.h"
#include "ui/toolkit/VornLabelEx.h"
#include "ui/toolkit/VornShell.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

VornCompleteWindow::VornCompleteWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record)
    : VornBaseWindow(nullptr, 0, 0, 400, 175, QStringLiteral("Download complete")), m_main(mainWindow),
      m_record(record) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setFixedSize(400, 175);
    move(CentredPosition(400, 250 + 175));
    setWindowIcon(VornIcons::Program());
    QString folder = QString::fromStdWString(mainWindow->Database().folderPath(record.id));
    if (folder.isEmpty()) {
        folder = QString::fromStdString(VornKnownFolders::downloadsFolder().string());
    }
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    m_path = folder + QString::fromStdWString(record.fileName);
}

void VornCompleteWindow::OnCreate() {
    auto* icon = new QLabel(this);
    icon->setGeometry(10, 8, 32, 32);
    icon->setPixmap(QFileIconProvider().icon(QFileInfo(m_path)).pixmap(32, 32));
    m_nameLabel = new VornLabelEx(this, VornLabelEx::kMultiLine | VornLabelEx::kBreakAnywhere);
    m_nameLabel->setGeometry(52, 8, 320, 75);
    m_nameLabel->SetText(QString::fromStdWString(m_record.fileName));
    if (m_record.fileSize > 0 && m_record.fileSize != UNKNOWN_FILE_SIZE) {
        auto* size = new VornLabelEx(this, VornLabelEx::kCentred);
        size->setGeometry(4, 45, 48, 20);
        size->SetText(QString::fromStdString(vornSizeTextShort(m_record.fileSize)));
    }
    m_folderButton = new QPushButton(QStringLiteral("Open folder"), this);
    m_openButton = new QPushButton(QStringLiteral("Open"), this);
    m_closeButton = new QPushButton(QStringLiteral("Close"), this);
    int x = 30;
    for (QPushButton* button : {m_folderButton, m_openButton, m_closeButton}) {
        button->setGeometry(x, 85, 90, 28);
        x += 120;
    }
    setTabOrder(m_folderButton, m_openButton);
    setTabOrder(m_openButton, m_closeButton);
    connect(m_folderButton, &QPushButton::clicked, this, [this] {
        hide();
        VornShell::OpenFolderSelecting(m_path);
        OnClose();
    });
    connect(m_openButton, &QPushButton::clicked, this, [this] {
        hide();
        VornShell::OpenFile(m_path);
        OnClose();
    });
    connect(m_closeButton, &QPushButton::clicked, this, &VornCompleteWindow::OnClose);
}

void VornCompleteWindow::OnActivate() {
    m_folderButton->setFocus(Qt::ActiveWindowFocusReason);
    m_folderButton->setDefault(true);
}

void VornCompleteWindow::OnClose() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    for (QPushButton* button : {m_folderButton, m_openButton, m_closeButton}) {
        button->setEnabled(false);
    }
    hide();
    m_main->RemoveDialog(m_record.id, this);
}
