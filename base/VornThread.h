#pragma once

#include "base/VornEvent.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

constexpr int32_t VORN_THREAD_NEVER_STARTED = 0;
constexpr int32_t VORN_THREAD_RUNNING = 1;
constexpr int32_t VORN_THREAD_FINISHED = 2;

class VornThread;

// What the current thread's slot holds: the VornThread running on it, if any.
struct VornThreadCell {
    VornThread* thread = nullptr;
};

// Base of the worker threads. Its done event is signalled whenever no thread runs the object, and its
// destructor waits for it. A derived class whose body uses its own members calls waitUntilDone() first
// in its own destructor, so that the body never runs on a half-destroyed object.
class VornThread {
public:
    VornThread();
    virtual ~VornThread();
    VornThread(const VornThread&) = delete;
    VornThread& operator=(const VornThread&) = delete;

    // Asks the body to end; the body has to notice and return.
    virtual void stop() { onStop(); }
    // The system's id of the running thread, 0 before the first start.
    virtual uint32_t threadId() const { return m_threadId; }
    virtual void run() = 0;
    virtual void onStop() = 0;
    // Called on the thread when run() ends by an exception, with its what() text.
    virtual void onException(const std::string& text) = 0;

    // Starts the thread once; false when it could not be created (the done event is then signalled).
    bool start();
    void waitUntilDone() { m_done.wait(); }

    int32_t runState() const { return m_runState; }
    bool quit() const { return m_quit; }
    void setQuit(bool quit) { m_quit = quit; }
    // For the derived class; the base never takes it.
    std::mutex& lock() { return m_lock; }
    const VornEvent& doneEvent() const { return m_done; }

    // The current thread's cell; throws code 109 when there is none and create is false.
    static VornThreadCell* currentThread(bool create);

private:
    void startRoutine();
    void runBody();

    VornEvent m_done;
    std::mutex m_lock;
    std::atomic<uint32_t> m_threadId{0};
    std::atomic<int32_t> m_runState{VORN_THREAD_NEVER_STARTED};
    std::atomic<bool> m_quit{false};
    pthread_t m_threadHandle{};
    std::thread m_thread;
};
