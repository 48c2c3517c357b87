#pragma once

#include "storage/VornDownloadRecord.h"
#include "ui/toolkit/VornBaseWindow.h"

class QLabel;
class QPushButton;
class VornLabelEx;
class VornMainWindow;

// "Download complete": the file's icon, name and size, and open folder / open / close.
class VornCompleteWindow final : public VornBaseWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornCompleteWindow)

public:
    VornCompleteWindow(VornMainWindow* mainWindow, const VornDownloadRecord& record);

    // The stored folder joined with the file name.
    QString FilePath() const { return m_path; }
    QPushButton* FolderButton() const { return m_folderButton; }
    QPushButton* OpenButton() const { return m_openButton; }
    QPushButton* CloseButton() const { return m_closeButton; }

protected:
    void OnCreate() override;
    void OnClose() override;
    void OnActivate() override;

private:
    VornMainWindow* m_main;
    VornDownloadRecord m_record;
    QString m_path;
    bool m_closing = false;
    VornLabelEx* m_nameLabel = nullptr;
    QPushButton* m_folderButton = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_closeButton = nullptr;
};
