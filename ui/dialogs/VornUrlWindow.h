#pragma once

#include "ui/toolkit/VornBaseWindow.h"

class QLineEdit;
class QPushButton;
class VornMainWindow;

// The new-download window: a URL (taken from the clipboard when it holds one) and Download / Cancel.
class VornUrlWindow final : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornUrlWindow)

public:
    explicit VornUrlWindow(VornMainWindow* mainWindow);

    // The clipboard's text when it is one line of 1 to 3000 characters (trimmed) that is a supported URL
    // with a host; empty otherwise.
    static QString UsableClipboardUrl(const QString& clipboard);

    void SetUrl(const QString& url);
    QString Url() const;
    QLineEdit* UrlBox() const { return m_urlBox; }
    QPushButton* DownloadButton() const { return m_downloadButton; }
    QPushButton* CancelButton() const { return m_cancelButton; }

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnActivate() override;
    bool focusNextPrevChild(bool next) override;

private:
    VornMainWindow* m_main;
    QLineEdit* m_urlBox = nullptr;
    QPushButton* m_downloadButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};
