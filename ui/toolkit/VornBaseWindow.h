#pragma once

#include "ui/toolkit/VornWindowMessageTarget.h"

#include <QWidget>

#include <memory>
#include <string>

// The base of every top-level window. Qt's handlers call the window's virtual operations (close →
// OnClose, Escape → ClosesOnEscape and OnClose, resize → OnSize, ...), and messages posted to the
// window's message target arrive as the engine, tray and browser operations, on the UI thread.
// Sizes are device-independent pixels: Qt applies the screen's scale.
class VornBaseWindow : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornBaseWindow)

public:
    VornBaseWindow(QWidget* parent, int x, int y, int width, int height, const QString& title);
    ~VornBaseWindow() override;

    // Builds the controls (OnCreate) once, then shows the window unless asked to stay hidden.
    virtual void Create(bool show);
    // Brings the window to the front, restored, active.
    virtual void Show();
    virtual void Hide();
    virtual bool ClosesOnEscape() { return true; }

    // Where engines and the browser link post; shared so that a poster that outlives the window
    // posts into nothing instead of into freed memory.
    VornMessageTarget* Target() const { return m_target.get(); }
    std::shared_ptr<VornWindowMessageTarget> SharedTarget() const { return m_target; }

    // x = (screen width - width) / 2, y = (screen height - heightForY) / 2, each at least 1.
    static QPoint CentredPosition(int width, int heightForY);

protected:
    virtual void OnCreate() {}
    virtual void OnClose() { Hide(); }
    virtual void OnSize() {}
    virtual void OnMove() {}
    virtual void OnActivate() {}
    virtual void OnEngineProgress(const std::string&) {}
    virtual void OnEngineEvent(const std::string&) {}
    virtual void OnAudioEngineProgress(const std::string&) {}
    virtual void OnAudioEngineEvent(const std::string&) {}
    virtual void OnTrayNotify(int) {}
    virtual void OnBrowserMessage(const std::string&) {}

    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Dispatch(const VornMessageEvent& message);

    std::shared_ptr<VornWindowMessageTarget> m_target;
    bool m_created = false;
};
