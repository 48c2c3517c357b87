#include "ui/download/VornEngineReaper.h"

#include "engine/VornDownloadEngine.h"
#include "ui/toolkit/VornWindowMessageTarget.h"

VornEngineReaper::VornEngineReaper(QObject* parent) : QObject(parent) {
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &VornEngineReaper::Sweep);
}

VornEngineReaper::~VornEngineReaper() {
    for (auto& entry : m_engines) {
        entry.first->SetQuit();
        entry.first->Stop();
    }
    m_engines.clear();
}

void VornEngineReaper::Retire(std::unique_ptr<VornDownloadEngine> engine,
                              std::shared_ptr<VornWindowMessageTarget> target) {
    if (engine == nullptr) {
        return;
    }
    m_engines.emplace_back(std::move(engine), std::move(target));
    Sweep();
}

void VornEngineReaper::Sweep() {
    for (auto entry = m_engines.begin(); entry != m_engines.end();) {
        entry = entry->first->WaitFinished(0) ? m_engines.erase(entry) : entry + 1;
    }
    if (m_engines.empty()) {
        m_timer.stop();
    } else if (!m_timer.isActive()) {
        m_timer.start();
    }
}
