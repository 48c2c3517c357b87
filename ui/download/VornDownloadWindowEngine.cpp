// The download window's side of its engine: starting it and showing what it posts.
#include "ui/download/VornDownloadWindow.h"

#include "base/VornFormat.h"
#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "storage/VornDatabase.h"
#include "storage/VornSettings.h"
#include "ui/download/VornConnectionsTable.h"
#include "ui/download/VornEngineReaper.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornSegmentBar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <charconv>

namespace {

VornEngineProxy EngineProxy(const VornProxyRecord& record) {
    VornEngineProxy proxy;
    proxy.type = record.proxyType;
    proxy.enabled = record.enabled != 0;
    proxy.host = record.address;
    proxy.port = record.port;
    proxy.user = record.userName;
    proxy.password = record.password;
    return proxy;
}

int64_t Number(const std::string& text) {
    int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Splits "code@payload"; false without the separator.
bool SplitFirst(const std::string& text, std::string& first, std::string& rest) {
    size_t at = text.find('@');
    if (at == std::string::npos) {
        return false;
    }
    first = text.substr(0, at);
    rest = text.substr(at + 1);
    return true;
}

} // namespace

void VornDownloadWindow::Start() {
    if (!m_connectionRemember->isChecked()) {
        m_connections = VornSettings::maxConnections();
        m_record.connections = static_cast<uint8_t>(m_connections);
        for (int i = 0; i < 8; ++i) {
            if (kConnectionCounts[i] == m_connections) {
                m_connectionCombo->setCurrentIndex(i);
            }
        }
    }
    ShowConnectionsEnabled(false);
    m_stopAvailable = true;
    m_cancelButton->setEnabled(true);
    try {
        m_engine = std::make_unique<VornDownloadEngine>(Target(), m_record, m_temporaryFolder,
                                                        m_destinationFolder, m_resume);
        m_engine->SetProxySettings(EngineProxy(m_proxy));
        m_engine->SetProxyReloader([](int32_t kind) { return EngineProxy(VornProxyRecord::read(kind)); });
        m_engine->SetSocksVersionSelector(VornSettings::socksVersion() == 4 ? 1 : 2);
        if (m_serverUser.empty()) {
            m_main->Database().findCredentials(m_record, m_serverUser, m_serverPassword);
        }
        if (m_serverUser.empty()) {
            m_serverUser = vornWideToUtf8(vornPercentDecode(m_record.url.user()));
            m_serverPassword = vornWideToUtf8(vornPercentDecode(m_record.url.password()));
        }
        if (m_serverUser.empty() && m_record.url.kind() == URL_KIND_FTP) {
            m_serverUser = "anonymous";
            m_serverPassword = "@XoUkep";
        }
        m_engine->SetCredentials(m_serverUser, m_serverPassword);
        m_engine->SetConnectionsAtOnce(VornSettings::connectionsAtOnce());
        m_engine->SetCategoryFoldersReader([] { return VornSettings::categoryFolders() ? 1 : 2; });
        if (!m_engine->Start()) {
            m_engine.reset();
            DisableControls();
            RaiseEvent(3, "The download engine failed to start.");
            return;
        }
    } catch (const std::exception& failure) {
        m_engine.reset();
        DisableControls();
        RaiseEvent(3, std::string("Creating the download engine failed: ") + failure.what());
        return;
    }
    UpdateTitle(true);
}

void VornDownloadWindow::DestroyEngine() {
    // The engine posted its last event; its thread ends in a moment, without this window waiting for it.
    m_main->Reaper()->Retire(std::move(m_engine), SharedTarget());
}

void VornDownloadWindow::OnEngineProgress(const std::string& text) {
    std::string downloadedText;
    std::string rest;
    std::string speedText;
    if (!SplitFirst(text, downloadedText, rest) || !SplitFirst(rest, speedText, rest)) {
        return;
    }
    size_t at = rest.find('@');
    std::string timeLeft = rest.substr(0, at);
    std::string entries = at == std::string::npos ? std::string() : rest.substr(at + 1);
    int64_t downloaded = Number(downloadedText);
    int64_t speed = Number(speedText);
    // Full reports carry no measured speed: keep the last figures shown.
    bool full = timeLeft == "Unkown";
    if (!full) {
        std::string line = vornSpeedText(speed);
        if (m_record.bandwidthLimit > 0) {
            line += " ( Limit = " + std::to_string(m_record.bandwidthLimit) + " )";
        }
        m_speedValue->setText(QString::fromStdString(line));
        m_timeLeftValue->setText(QString::fromStdString(timeLeft));
    }
    if (!m_hls) {
        SetProgressPosition(downloaded);
        m_downloadedValue->setText(QString::fromStdString(vornSizeText(downloaded) + " ( " +
                                                          vornPercentageText(m_percentage) + " % )"));
    }
    size_t before = m_segmentBar->SegmentCount();
    m_segmentBar->Update(entries);
    if (m_segmentBar->SegmentCount() != before) {
        m_segmentLabel->setText(QStringLiteral("Segments: ") + QString::number(m_segmentBar->SegmentCount()));
    }
    UpdateTitle(false);
    std::string percent = std::to_string(static_cast<int>(m_percentage)) + "%";
    m_main->ShowRunning(m_record.id, percent, full ? std::string() : vornSpeedTextShort(speed), timeLeft);
}

void VornDownloadWindow::OnEngineEvent(const std::string& text) {
    std::string codeText;
    std::string payload;
    if (!SplitFirst(text, codeText, payload)) {
        return;
    }
    switch (Number(codeText)) {
    case ENGINE_EVENT_FILE_NAME:
        OnFileName(payload);
        break;
    case ENGINE_EVENT_URL: {
        int32_t oldKind = m_record.url.kind();
        m_record.url = VornUrl(payload);
        if (m_record.url.kind() != oldKind) {
            m_proxy = VornProxyRecord::read(m_record.url.kind());
        }
        break;
    }
    case ENGINE_EVENT_FILE_SIZE:
        OnFileSize(payload);
        break;
    case ENGINE_EVENT_SERVER_TEXT:
        m_record.mimeType = payload;
        RaiseEvent(9, payload);
        break;
    case ENGINE_EVENT_RESUMABILITY:
        OnResumability(payload);
        break;
    case ENGINE_EVENT_STATE:
        m_state = payload;
        m_stateLabel->setText(QString::fromStdString(payload));
        if (payload == "Merging") {
            m_progressBar->setValue(0);
            DisableControls();
        }
        break;
    case ENGINE_EVENT_TS_START:
        OnTsStart(payload);
        break;
    case ENGINE_EVENT_CANCELED:
        OnCanceled();
        break;
    case ENGINE_EVENT_COMPLETED:
        DisableControls();
        DestroyEngine();
        m_percentage = 100;
        RaiseEvent(2);
        break;
    case ENGINE_EVENT_ERROR:
        OnError(payload);
        break;
    case ENGINE_EVENT_CONNECTION_STATUS: {
        std::string number;
        std::string status;
        if (SplitFirst(payload, number, status)) {
            m_connectionsTable->SetConnectionStatus(static_cast<int>(Number(number)),
                                                    QString::fromStdString(status));
            if (status == "Completed") {
                ShowConnectionsEnabled(false);
            }
        }
        break;
    }
    case ENGINE_EVENT_SEGMENTS:
        OnSegments(payload);
        break;
    case ENGINE_EVENT_SEGMENT_RESTARTED:
        m_segmentBar->update();
        break;
    case ENGINE_EVENT_CONNECTIONS_APPLIED:
        ShowConnectionsEnabled(true);
        break;
    case ENGINE_EVENT_MERGE_PROGRESS:
        SetProgressPosition(Number(payload));
        break;
    case ENGINE_EVENT_TARGET_FOLDER:
        RaiseEvent(13, vornWideToUtf8(vornPercentDecode(payload)));
        break;
    default:
        break;
    }
}

void VornDownloadWindow::OnFileName(const std::string& payload) {
    m_record.fileName = vornPercentDecode(payload);
    QString name = QString::fromStdWString(m_record.fileName);
    m_fileIcon->setPixmap(QFileIconProvider().icon(QFileInfo(name)).pixmap(32, 32));
    UpdateTitle(true);
    RaiseEvent(7, vornWideToUtf8(m_record.fileName));
}

void VornDownloadWindow::OnFileSize(const std::string& payload) {
    int64_t size = Number(payload);
    m_record.fileSize = size;
    if (size == UNKNOWN_FILE_SIZE) {
        if (!m_hls) {
            m_sizeValue->setText(QStringLiteral("Unkown"));
        }
        return;
    }
    m_sizeValue->setText(QString::fromStdString(vornSizeText(size)));
    SetProgressTotal(size);
    m_segmentBar->SetTotal(size);
    RaiseEvent(8, std::to_string(size));
}

void VornDownloadWindow::OnResumability(const std::string& payload) {
    bool resumable = payload == "1";
    if (resumable) {
        m_resumableValue->setText(QStringLiteral("Yes"));
        m_resumableValue->setStyleSheet(QStringLiteral("color: rgb(37, 128, 75);"));
        m_pauseButton->setEnabled(true);
        ShowConnectionsEnabled(true);
    } else if (!m_hls) {
        m_resumableValue->setText(QStringLiteral("No"));
        m_resumableValue->setStyleSheet(QStringLiteral("color: rgb(200, 20, 40);"));
        m_pauseButton->setEnabled(false);
        ShowConnectionsEnabled(false);
    }
    RaiseEvent(10, payload);
}

void VornDownloadWindow::OnTsStart(const std::string& payload) {
    std::string count;
    std::string duration;
    if (!SplitFirst(payload, count, duration)) {
        count = payload;
    }
    int64_t pieces = Number(count);
    m_hls = true;
    m_sizeValue->setText(QString::fromStdString(duration + "  ( " + count + " Segments )"));
    m_segmentBar->SetPieceCount(pieces);
    SetProgressTotal(pieces);
    m_segmentLabel->setText(QStringLiteral("Segments: ") + QString::fromStdString(count));
    m_record.fileSize = -pieces;
    RaiseEvent(8, std::to_string(-pieces));
}

void VornDownloadWindow::OnCanceled() {
    DestroyEngine();
    if (m_closing) {
        DisableControls();
        RaiseEvent(0);
        return;
    }
    RaiseEvent(1);
    m_pauseButton->setEnabled(true);
    m_speedValue->clear();
    m_timeLeftValue->clear();
    UpdateTitle(true);
}

void VornDownloadWindow::OnError(const std::string& payload) {
    DestroyEngine();
    std::string codeText;
    std::string message;
    if (!SplitFirst(payload, codeText, message)) {
        message = payload;
    }
    std::string text = vornWideToUtf8(vornPercentDecode(message));
    int code = static_cast<int>(Number(codeText));
    if (code == ENGINE_ERROR_SERVER_AUTH || code == ENGINE_ERROR_PROXY_AUTH) {
        // The credentials prompt comes with its own issue; until then the refusal is a failure that says
        // where to give the user name and password.
        text += code == ENGINE_ERROR_SERVER_AUTH ? " Give the user name and password in the URL."
                                                 : " Check the proxy user name and password in the settings.";
    } else if (code == ENGINE_ERROR_RENEW) {
        text += " Send the download from the browser again.";
    }
    DisableControls();
    RaiseEvent(3, text);
}

void VornDownloadWindow::OnSegments(const std::string& payload) {
    if (payload.empty()) {
        // The table was reset or completed: the next full report lists it again.
        m_segmentBar->Clear();
        return;
    }
    std::string completedText;
    std::string label;
    if (SplitFirst(payload, completedText, label)) {
        int64_t completed = Number(completedText);
        SetProgressPosition(completed);
        m_segmentLabel->setText(QString::fromStdString(label));
        UpdateTitle(false);
    }
    if (m_state != "Downloading") {
        m_segmentBar->update();
    }
}
