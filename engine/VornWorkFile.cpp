#include "engine/VornWorkFile.h"

#include "engine/VornFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

void syncFolder(const std::string& path) {
    VornFd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok())
        ::fsync(dir.get());
}

// The location file holds at most one path; anything longer is not ours.
constexpr size_t kMaxLocation = 8192;

} // namespace

VornWorkFile::VornWorkFile(std::string locationPath) : m_locationPath(std::move(locationPath)) {}

VornWorkFile::~VornWorkFile() {
    Close();
}

bool VornWorkFile::WriteLocation(const std::string& path) {
    std::string temporary = m_locationPath + ".tmp";
    VornFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok())
        return false;
    bool written = vornWriteFully(fd.get(), path.data(), path.size(), 0) && ::fsync(fd.get()) == 0;
    if (!fd.close() || !written || ::rename(temporary.c_str(), m_locationPath.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(m_locationPath);
    return true;
}

bool VornWorkFile::Create(const std::string& path, int64_t size) {
    Close();
    // The location is recorded first: a crash right after the create still finds (and cleans) the file.
    if (!WriteLocation(path))
        return false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Reserved blocks keep the ranges from fragmenting and make a full disk show at once; a file system
    // without the call simply grows the file as the ranges arrive.
    if (size > 0)
        ::fallocate(fd, 0, 0, size);
    m_fd = fd;
    m_path = path;
    syncFolder(path);
    return true;
}

bool VornWorkFile::OpenRecorded() {
    Close();
    VornFd fd(::open(m_locationPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return false;
    std::vector<char> bytes(kMaxLocation);
    ssize_t n = ::pread(fd.get(), bytes.data(), bytes.size(), 0);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxLocation)
        return false;
    std::string path(bytes.data(), static_cast<size_t>(n));
    if (path.find('\0') != std::string::npos || path.empty() || path[0] != '/')
        return false;
    m_path = path;
    struct stat st {};
    int work = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (work < 0)
        return false;
    if (::fstat(work, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(work);
        return false;
    }
    m_fd = work;
    return true;
}

int64_t VornWorkFile::Size() const {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool VornWorkFile::Sync() {
    return m_fd >= 0 && ::fdatasync(m_fd) == 0;
}

bool VornWorkFile::MovedTo(const std::string& path) {
    m_path = path;
    return WriteLocation(path);
}

void VornWorkFile::Forget() {
    Close();
    m_path.clear();
    ::unlink(m_locationPath.c_str());
    syncFolder(m_locationPath);
}

void VornWorkFile::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void VornWorkFile::Remove() {
    Close();
    if (m_path.empty()) {
        // A location recorded by an earlier run names the file to remove.
        VornFd fd(::open(m_locationPath.c_str(), O_RDONLY | O_CLOEXEC));
        std::vector<char> bytes(kMaxLocation);
        ssize_t n = fd.ok() ? ::pread(fd.get(), bytes.data(), bytes.size(), 0) : -1;
        if (n > 0 && static_cast<size_t>(n) < kMaxLocation)
            m_path.assign(bytes.data(), static_cast<size_t>(n));
    }
    if (!m_path.empty() && m_path.find('\0') == std::string::npos)
        ::unlink(m_path.c_str());
    m_path.clear();
    ::unlink(m_locationPath.c_str());
    ::unlink((m_locationPath + ".tmp").c_str());
}

bool VornWorkFile::LocationRecorded() const {
    struct stat st {};
    return ::stat(m_locationPath.c_str(), &st) == 0;
}
