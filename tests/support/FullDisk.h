#pragma once

#include <csignal>
#include <cstdint>
#include <sys/resource.h>

// A disk that fills up after the given number of bytes in any one file, made with the file-size limit (writes
// beyond it fail with EFBIG instead of raising SIGXFSZ). The limit goes with the object, or earlier by
// lift().
class FullDisk {
public:
    explicit FullDisk(uint64_t bytes) {
        m_set = ::getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        m_set = m_set && ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FullDisk() {
        lift();
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    // False when the limit could not be set (the test cannot run).
    bool active() const { return m_set; }
    // Room again; may be called from another thread.
    void lift() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};
