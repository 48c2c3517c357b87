#include "storage/VornAtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

ssize_t systemWrite(int fd, const char* data, size_t size) {
    return ::write(fd, data, size);
}

// Makes the rename itself durable; a folder that cannot be synced only loses that guarantee.
void syncFolder(const std::filesystem::path& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool VornAtomicFile::replace(const std::filesystem::path& target, const std::string& contents) {
    return replace(target, contents, systemWrite);
}

bool VornAtomicFile::replace(const std::filesystem::path& link, const std::string& contents,
                             const Writer& writer) {
    // A file kept elsewhere behind a symbolic link (as dotfile managers do) is replaced where it lives,
    // so the link survives the rename.
    std::error_code error;
    std::filesystem::path target =
        std::filesystem::is_symlink(link, error) ? std::filesystem::canonical(link, error) : link;
    if (error) {
        target = link;
    }
    std::string temporary = target.string() + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool written = writeAll(fd, contents, writer) && ::fsync(fd) == 0;
    if (::close(fd) != 0) {
        written = false;
    }
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(target.parent_path());
    return true;
}

bool VornAtomicFile::writeAll(int fd, const std::string& contents, const Writer& writer) {
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t count = writer(fd, contents.data() + done, contents.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}
