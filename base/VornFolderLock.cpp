#include "base/VornFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

VornFolderLock::~VornFolderLock() {
    unlock();
}

bool VornFolderLock::tryLock(const std::filesystem::path& folder) {
    unlock();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    // The folder itself carries the lock: no lock file to leave behind in it or beside it.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void VornFolderLock::unlock() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
