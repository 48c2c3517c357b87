#pragma once

#include <filesystem>

// An exclusive, advisory lock on a folder, held for as long as the object lives, so that two processes
// (two brellin-get runs, or brellin-get and the desktop program) never drive one download's work
// folder at once. The lock goes with the process, however it ends, so a crash never leaves a stale one.
class VornFolderLock {
public:
    VornFolderLock() = default;
    ~VornFolderLock();
    VornFolderLock(const VornFolderLock&) = delete;
    VornFolderLock& operator=(const VornFolderLock&) = delete;

    // Creates the folder when missing and takes the lock without waiting; false when another holder
    // has it or the folder cannot be made.
    bool tryLock(const std::filesystem::path& folder);
    void unlock();
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
