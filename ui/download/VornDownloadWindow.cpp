#include "ui/download/VornDownloadWindow.h"

#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "storage/VornSettings.h"
#include "ui/download/VornConnectionsTable.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornIcons.h"
#include "ui/toolkit/VornLabelEx.h"
#include "ui/toolkit/VornSegmentBar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileIconProvider>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

const int VornDownloadWindow::kConnectionCounts[8] = {1, 2, 4, 8, 12, 16, 24, 32};

VornDownloadWindow::VornDownloadWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record,
                                       const std::wstring& destinationFolder,
                                       const std::wstring& temporaryFolder, bool resume)
    : VornBaseWindow(nullptr, 0, 0, 550, 365, QStringLiteral("Downloading...")), m_main(mainWindow),
      m_record(record), m_temporaryFolder(temporaryFolder), m_destinationFolder(destinationFolder),
      m_proxy(VornProxyRecord::read(record.url.kind())), m_resume(resume) {
    QPoint centre = CentredPosition(550, 365);
    move(centre.x(), std::max(1, centre.y() - 80));
    setWindowIcon(VornIcons::Program());
    setMinimumSize(440, 227);
    setMaximumHeight(415);
    m_connections = record.connections > 0 ? record.connections : 8;
}

VornDownloadWindow::~VornDownloadWindow() {
    // Only reached with an engine when the program ends abruptly: end it without further posts.
    if (m_engine != nullptr) {
        m_engine->SetQuit();
        m_engine->Stop();
        m_engine.reset();
    }
}

bool VornDownloadWindow::CompletionDialogWanted() const {
    return m_completionBox != nullptr && m_completionBox->isChecked();
}

QString VornDownloadWindow::StateText() const {
    return m_stateLabel == nullptr ? QString() : m_stateLabel->text();
}

QWidget* VornDownloadWindow::BuildDownloadTab() {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(3);
    m_urlLabel = new VornLabelEx(page);
    m_urlLabel->SetText(QString::fromStdString(m_record.url.givenText()));
    m_urlLabel->SetColour(QColor(0, 0, 143));
    m_urlLabel->setFixedHeight(fontMetrics().height() + 4);
    m_stateLabel = new QLabel(QStringLiteral("Starting"), page);
    auto* group = new QGroupBox(page);
    auto* form = new QFormLayout();
    form->setVerticalSpacing(1);
    form->setContentsMargins(0, 0, 0, 0);
    auto value = [page](const QString& text) {
        auto* label = new QLabel(text, page);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return label;
    };
    m_sizeValue = value(QStringLiteral("Not yet determined"));
    m_downloadedValue = value(QStringLiteral("0 Bytes"));
    m_speedValue = value(QString());
    m_timeLeftValue = value(QString());
    m_resumableValue = value(QStringLiteral("Not yet determined"));
    form->addRow(QStringLiteral("File size:"), m_sizeValue);
    form->addRow(QStringLiteral("Downloaded:"), m_downloadedValue);
    form->addRow(QStringLiteral("Speed:"), m_speedValue);
    form->addRow(QStringLiteral("Time left:"), m_timeLeftValue);
    form->addRow(QStringLiteral("Resumable:"), m_resumableValue);
    auto* groupLayout = new QHBoxLayout(group);
    groupLayout->setContentsMargins(10, 4, 10, 4);
    groupLayout->addLayout(form, 1);
    m_fileIcon = new QLabel(group);
    m_fileIcon->setPixmap(QFileIconProvider().icon(QFileIconProvider::File).pixmap(32, 32));
    groupLayout->addWidget(m_fileIcon, 0, Qt::AlignTop);
    layout->addWidget(m_urlLabel);
    layout->addWidget(m_stateLabel);
    layout->addWidget(group, 1);
    return page;
}

QWidget* VornDownloadWindow::BuildOptionsTab() {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("0 or an empty field means no limit."), page));
    auto* row = new QHBoxLayout();
    row->addWidget(new QLabel(QStringLiteral("Speed limit:"), page));
    m_limitBox = new QLineEdit(page);
    m_limitBox->setValidator(new QIntValidator(0, 100000000, m_limitBox));
    m_limitBox->setMaximumWidth(100);
    if (m_record.bandwidthLimit > 0) {
        m_limitBox->setText(QString::number(m_record.bandwidthLimit));
    }
    row->addWidget(m_limitBox);
    row->addWidget(new QLabel(QStringLiteral("KB/s"), page));
    m_limitApply = new QPushButton(QStringLiteral("Apply"), page);
    row->addWidget(m_limitApply);
    row->addStretch(1);
    layout->addLayout(row);
    m_limitRemember = new QCheckBox(QStringLiteral("Remember this limit on resume"), page);
    m_limitRemember->setChecked(m_record.bandwidthLimit != VornSettings::bandWidthLimit());
    m_completionBox = new QCheckBox(QStringLiteral("Show a dialog when the download completes"), page);
    m_completionBox->setChecked(VornSettings::completionDialog());
    layout->addWidget(m_limitRemember);
    layout->addWidget(m_completionBox);
    layout->addStretch(1);
    connect(m_limitApply, &QPushButton::clicked, this, &VornDownloadWindow::ApplySpeedLimit);
    connect(m_limitBox, &QLineEdit::returnPressed, this, &VornDownloadWindow::ApplySpeedLimit);
    connect(m_limitRemember, &QCheckBox::toggled, this, [this](bool on) {
        RaiseEvent(12, on ? std::to_string(m_record.bandwidthLimit) : std::string("0"));
    });
    return page;
}

QWidget* VornDownloadWindow::BuildConnectionsTab() {
    auto* page = new QWidget();
    auto* layout = new QHBoxLayout(page);
    m_connectionsTable = new VornConnectionsTable(page);
    layout->addWidget(m_connectionsTable, 1);
    auto* side = new QVBoxLayout();
    side->addWidget(new QLabel(QStringLiteral("Connections:"), page));
    m_connectionCombo = new QComboBox(page);
    int selected = 3;
    for (int i = 0; i < 8; ++i) {
        m_connectionCombo->addItem(QString::number(kConnectionCounts[i]));
        if (kConnectionCounts[i] == m_connections) {
            selected = i;
        }
    }
    m_connectionCombo->setCurrentIndex(selected);
    m_connectionApply = new QPushButton(QStringLiteral("Apply"), page);
    m_connectionRemember = new QCheckBox(QStringLiteral("Remember on resume"), page);
    m_connectionRemember->setChecked(m_connections != VornSettings::maxConnections());
    side->addWidget(m_connectionCombo);
    side->addWidget(m_connectionApply);
    side->addWidget(m_connectionRemember);
    side->addStretch(1);
    layout->addLayout(side);
    connect(m_connectionApply, &QPushButton::clicked, this, &VornDownloadWindow::ApplyConnections);
    connect(m_connectionRemember, &QCheckBox::toggled, this,
            [this](bool on) { RaiseEvent(11, on ? std::to_string(m_connections) : std::string("0")); });
    return page;
}

void VornDownloadWindow::OnCreate() {
    m_tabs = new QTabWidget(this);
    m_tabs->addTab(BuildDownloadTab(), QStringLiteral("Download"));
    m_tabs->addTab(BuildOptionsTab(), QStringLiteral("Options"));
    m_tabs->addTab(BuildConnectionsTab(), QStringLiteral("Connections"));
    m_tabs->setFixedHeight(190);
    m_progressBar = new QProgressBar(this);
    m_progressBar->setRange(0, 65535);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(14);
    m_segmentLabel = new QLabel(QStringLiteral("Segments: 0"), this);
    m_segmentLabel->setAlignment(Qt::AlignCenter);
    m_segmentBar = new VornSegmentBar(this);
    m_pauseButton = new QPushButton(QStringLiteral("Pause"), this);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {m_pauseButton, m_cancelButton}) {
        button->setFixedSize(80, 28);
    }
    m_pauseButton->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 7, 12, 10);
    layout->addWidget(m_tabs);
    auto* bars = new QVBoxLayout();
    bars->setContentsMargins(3, 0, 3, 0);
    bars->addWidget(m_progressBar);
    bars->addWidget(m_segmentLabel);
    bars->addWidget(m_segmentBar);
    layout->addLayout(bars);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(m_pauseButton);
    buttons->addSpacing(40);
    buttons->addWidget(m_cancelButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addStretch(1);

    connect(m_pauseButton, &QPushButton::clicked, this, &VornDownloadWindow::PauseOrResume);
    connect(m_cancelButton, &QPushButton::clicked, this, &VornDownloadWindow::Cancel);
    Start();
}

void VornDownloadWindow::OnClose() {
    Cancel();
}

void VornDownloadWindow::PauseOrResume() {
    if (m_engine != nullptr) {
        m_pauseButton->setEnabled(false);
        m_engine->Stop();
        m_pauseButton->setText(QStringLiteral("Resume"));
        return;
    }
    if (m_closing) {
        return;
    }
    Show();
    m_pauseButton->setEnabled(false);
    m_resume = true;
    m_main->StoreStarted(m_record.id);
    Start();
    m_pauseButton->setText(QStringLiteral("Pause"));
}

void VornDownloadWindow::Cancel() {
    if (m_closing) {
        return;
    }
    DisableControls();
    m_closing = true;
    if (m_engine != nullptr) {
        m_engine->Stop();
    } else {
        RaiseEvent(0);
    }
}

void VornDownloadWindow::CloseForExit() {
    if (m_closing) {
        return;
    }
    m_completionBox->setChecked(false);
    Cancel();
}

void VornDownloadWindow::DisableControls() {
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_cancelButton, m_pauseButton, m_limitApply, m_connectionApply,
                                         m_limitRemember, m_connectionRemember}) {
        control->setEnabled(false);
    }
    m_stopAvailable = false;
    RaiseEvent(6);
}

void VornDownloadWindow::ApplyConnections() {
    int index = m_connectionCombo->currentIndex();
    int value = index >= 0 && index < 8 ? kConnectionCounts[index] : 8;
    if (value != m_connections) {
        m_connections = value;
        m_record.connections = static_cast<uint8_t>(value);
        if (m_engine != nullptr) {
            ShowConnectionsEnabled(false);
            m_engine->SetMaxConnections(static_cast<uint8_t>(value));
        }
    }
    if (m_connectionRemember->isChecked()) {
        RaiseEvent(11, std::to_string(value));
    }
}

void VornDownloadWindow::ApplySpeedLimit() {
    int64_t value = m_limitBox->text().trimmed().toLongLong();
    if (value < 0) {
        value = 0;
    }
    // Below 16 KB/s the limiter cannot keep a connection alive.
    if (value >= 1 && value <= 15) {
        value = 16;
        m_limitBox->setText(QStringLiteral("16"));
    }
    m_record.bandwidthLimit = value;
    if (m_limitRemember->isChecked()) {
        RaiseEvent(12, std::to_string(value));
    }
    if (m_engine != nullptr) {
        m_engine->SetSpeedLimit(value);
    }
    UpdateTitle(true);
}

void VornDownloadWindow::ShowConnectionsEnabled(bool enabled) {
    m_connectionCombo->setEnabled(enabled);
    m_connectionApply->setEnabled(enabled);
}

void VornDownloadWindow::RaiseEvent(int code, const std::string& text) {
    m_main->OnDownloadEvent(code, this, text);
}

void VornDownloadWindow::UpdateTitle(bool force) {
    int whole = static_cast<int>(m_percentage);
    if (!force && whole == m_titlePercentage) {
        return;
    }
    m_titlePercentage = whole;
    QString name = QString::fromStdWString(m_record.fileName);
    if (m_engine == nullptr) {
        setWindowTitle(QStringLiteral("Paused - ") + name);
    } else {
        setWindowTitle(QString::number(whole) + QStringLiteral("%  ") + name);
    }
}

void VornDownloadWindow::SetProgressTotal(int64_t total) {
    m_progressTotal = total;
}

void VornDownloadWindow::SetProgressPosition(int64_t position) {
    // The native range is 0 to 65535; a total of 0 counts as 1.
    int64_t total = m_progressTotal > 0 ? m_progressTotal : 1;
    double share = std::clamp(static_cast<double>(position) / static_cast<double>(total), 0.0, 1.0);
    m_progressBar->setValue(static_cast<int>(share * 65535));
    m_percentage = share * 100.0;
}
