#include "base/VornThread.h"

#include "base/VornException.h"

#include <exception>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace {

thread_local std::unique_ptr<VornThreadCell> t_currentThread;

} // namespace

VornThread::VornThread() {
    m_done.signal();
}

VornThread::~VornThread() {
    waitUntilDone();
    // The routine may still be returning after its signal; joining makes sure it has left the object.
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

bool VornThread::start() {
    if (m_thread.joinable() || m_runState != VORN_THREAD_NEVER_STARTED)
        return false;
    // Reset before the thread exists, so an owner that destroys the object at once still waits for it.
    m_done.reset();
    try {
        m_thread = std::thread(&VornThread::startRoutine, this);
    } catch (const std::system_error&) {
        m_done.signal();
        return false;
    }
    return true;
}

VornThreadCell* VornThread::currentThread(bool create) {
    if (!t_currentThread) {
        if (!create)
            VORN_THROW(109, 0, nullptr);
        t_currentThread = std::make_unique<VornThreadCell>();
    }
    return t_currentThread.get();
}

void VornThread::startRoutine() {
    currentThread(true)->thread = this;
    m_threadId = static_cast<uint32_t>(gettid());
    m_threadHandle = pthread_self();
    m_runState = VORN_THREAD_RUNNING;
    runBody();
    m_runState = VORN_THREAD_FINISHED;
    t_currentThread.reset();
    m_done.signal();
}

void VornThread::runBody() {
    // Nothing may leave the thread: an escaping exception would end the whole process.
    try {
        try {
            run();
        } catch (const std::exception& e) {
            onException(e.what());
        } catch (...) {
            onException("Unknown exception.");
        }
    } catch (...) {
    }
}
