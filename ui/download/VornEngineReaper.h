#pragma once

#include <QObject>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

class VornDownloadEngine;
class VornWindowMessageTarget;

// Engines that posted their last event: each is destroyed once its thread has returned, so the window
// that stopped it never waits on the UI thread. The window's message target is kept with the engine
// until then, should the window go first.
class VornEngineReaper final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornEngineReaper)

public:
    explicit VornEngineReaper(QObject* parent = nullptr);
    // Destroys what is left, waiting for threads that are still ending.
    ~VornEngineReaper() override;

    void Retire(std::unique_ptr<VornDownloadEngine> engine, std::shared_ptr<VornWindowMessageTarget> target);
    size_t Pending() const { return m_engines.size(); }

private:
    void Sweep();

    std::vector<std::pair<std::unique_ptr<VornDownloadEngine>, std::shared_ptr<VornWindowMessageTarget>>>
        m_engines;
    QTimer m_timer;
};
