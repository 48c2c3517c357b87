#include "ui/dialogs/VornUrlWindow.h"

#include "base/VornUrl.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornIcons.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

VornUrlWindow::VornUrlWindow(VornMainWindow* mainWindow)
    : VornBaseWindow(nullptr, 0, 0, 550, 140, QStringLiteral("New download")), m_main(mainWindow) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(550, 140);
    move(CentredPosition(550, 500));
    setWindowIcon(VornIcons::Program());
}

QString VornUrlWindow::UsableClipboardUrl(const QString& clipboard) {
    if (clipboard.contains(QLatin1Char('\r')) || clipboard.contains(QLatin1Char('\n'))) {
        return QString();
    }
    QString text = clipboard.trimmed();
    if (text.isEmpty() || text.size() > 3000) {
        return QString();
    }
    try {
        if (!VornMainWindow::IsDownloadableUrl(VornUrl(text.toStdString()))) {
            return QString();
        }
    } catch (const std::exception&) {
        return QString();
    }
    return text;
}

void VornUrlWindow::OnCreate() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 18, 16, 14);
    auto* row = new QHBoxLayout();
    row->addWidget(new QLabel(QStringLiteral("URL : "), this));
    m_urlBox = new QLineEdit(this);
    m_urlBox->setMaxLength(32768);
    row->addWidget(m_urlBox, 1);
    layout->addLayout(row);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    m_downloadButton = new QPushButton(QStringLiteral("Download"), this);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {m_downloadButton, m_cancelButton}) {
        button->setFixedSize(90, 28);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    setTabOrder(m_urlBox, m_downloadButton);
    setTabOrder(m_downloadButton, m_cancelButton);
    m_downloadButton->setDefault(true);

    m_urlBox->setText(UsableClipboardUrl(QApplication::clipboard()->text()));
    connect(m_urlBox, &QLineEdit::returnPressed, m_downloadButton, &QPushButton::click);
    connect(m_downloadButton, &QPushButton::clicked, this, [this] {
        m_downloadButton->setEnabled(false);
        m_cancelButton->setEnabled(false);
        m_main->NewDownloadChosen(m_urlBox->text());
    });
    connect(m_cancelButton, &QPushButton::clicked, this, &VornUrlWindow::OnClose);
}

void VornUrlWindow::SetUrl(const QString& url) {
    m_urlBox->setText(url);
}

QString VornUrlWindow::Url() const {
    return m_urlBox->text();
}

void VornUrlWindow::OnClose() {
    m_downloadButton->setEnabled(false);
    m_cancelButton->setEnabled(false);
    m_main->NewDownloadClosed();
}

void VornUrlWindow::OnActivate() {
    m_urlBox->setFocus(Qt::ActiveWindowFocusReason);
    m_urlBox->selectAll();
}

bool VornUrlWindow::focusNextPrevChild(bool next) {
    // URL → Download → Cancel → URL; the focused button is the one Enter presses.
    QWidget* order[] = {m_urlBox, m_downloadButton, m_cancelButton};
    int at = 0;
    for (int i = 0; i < 3; ++i) {
        if (order[i]->hasFocus()) {
            at = i;
        }
    }
    QWidget* target = order[(at + (next ? 1 : 2)) % 3];
    target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    m_cancelButton->setDefault(target == m_cancelButton);
    m_downloadButton->setDefault(target != m_cancelButton);
    if (target == m_urlBox) {
        m_urlBox->selectAll();
    }
    return true;
}
