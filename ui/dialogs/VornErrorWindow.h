#pragma once

#include "storage/VornDownloadRecord.h"
#include "ui/toolkit/VornBaseWindow.h"

#include <string>

class QPushButton;
class VornLabelEx;
class VornMainWindow;

// "Download error": the error text in red and the URL as it was given, broken anywhere so that a long
// URL fits; the window's height follows the URL's number of lines. Close and Log file.
class VornErrorWindow final : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornErrorWindow)

public:
    // dialogId: the download's id, or -1 / -2 for URLs that cannot be downloaded.
    VornErrorWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record, const std::string& text,
                    int32_t dialogId);

    QString Message() const;
    VornLabelEx* UrlLabel() const { return m_urlLabel; }
    QPushButton* CloseButton() const { return m_closeButton; }
    QPushButton* LogButton() const { return m_logButton; }
    // Fits the URL label, the window and the buttons to n breaks of the URL.
    void Fit(int breaks);

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnActivate() override;

private:
    VornMainWindow* m_main;
    VornDownloadRecord m_record;
    std::string m_text;
    int32_t m_dialogId;
    bool m_closing = false;
    VornLabelEx* m_messageLabel = nullptr;
    VornLabelEx* m_urlLabel = nullptr;
    QPushButton* m_closeButton = nullptr;
    QPushButton* m_logButton = nullptr;
};
