#include "base/VornFileWindows.h"

#include "base/VornException.h"
#include "base/VornNativePath.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

std::string nativeOrThrow(const std::wstring& path) {
    std::optional<std::string> native = vornNativePath(path);
    if (!native)
        VORN_THROW(40, 0, nullptr);
    return *native;
}

bool statPath(const std::wstring& path, struct stat& info) {
    std::optional<std::string> native = vornNativePath(path);
    return native && ::stat(native->c_str(), &info) == 0;
}

int accessMode(int32_t flags) {
    bool read = flags & VORN_FILE_READ;
    bool write = flags & (VORN_FILE_WRITE | VORN_FILE_APPEND);
    if (read && write)
        return O_RDWR;
    return write ? O_WRONLY : O_RDONLY;
}

bool accessDenied(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

} // namespace

VornFileWindows::VornFileWindows(std::wstring path) : VornFile(std::move(path)) {}

int VornFileWindows::open(const std::wstring& path, int32_t flags) {
    m_path = path;
    return open(flags);
}

int VornFileWindows::open(int32_t flags) {
    close();
    std::string native = nativeOrThrow(m_path);
    struct stat info {};
    bool exists = ::stat(native.c_str(), &info) == 0;
    if (!exists && !(flags & (VORN_FILE_WRITE | VORN_FILE_APPEND | VORN_FILE_CREATE)))
        VORN_THROW(32, 0, nullptr);
    if (exists && S_ISDIR(info.st_mode))
        VORN_THROW(700, 0, nullptr);
    if (exists && (flags & VORN_FILE_EXCLUSIVE))
        VORN_THROW(31, 0, nullptr);
    m_handle = openNative(native, flags, exists);
    m_position = 0;
    if (flags & VORN_FILE_APPEND) {
        try {
            seek(0, 2);
        } catch (VornException&) {
            close();
            throw;
        }
    }
    m_openFlags = flags;
    return 1;
}

int VornFileWindows::openNative(const std::string& nativePath, int32_t flags, bool exists) {
    int mode = accessMode(flags) | O_CLOEXEC;
    // A file that is missing is created, never one that exists truncated.
    if (!exists)
        mode |= O_CREAT | ((flags & VORN_FILE_EXCLUSIVE) ? O_EXCL : 0);
    int handle;
    do {
        handle = ::open(nativePath.c_str(), mode, 0666);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0)
        VORN_THROW_SYSTEM(1, nullptr);
    return handle;
}

size_t VornFileWindows::read(void* buffer, size_t count) {
    ssize_t got;
    do {
        got = ::read(m_handle, buffer, count > SSIZE_MAX ? SSIZE_MAX : count);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        VORN_THROW_SYSTEM(703, nullptr);
    m_position += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
}

size_t VornFileWindows::write(const void* buffer, size_t count) {
    const char* bytes = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done > SSIZE_MAX ? SSIZE_MAX : count - done;
        ssize_t put = ::write(m_handle, bytes + done, chunk);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            // A zero-byte write would repeat forever; the disk is as full as it reports.
            if (put == 0)
                errno = ENOSPC;
            VORN_THROW_SYSTEM(702, nullptr);
        }
        done += static_cast<size_t>(put);
        m_position += static_cast<uint64_t>(put);
    }
    return done;
}

size_t VornFileWindows::writeLine(const std::string& text) {
    return write((text + "\r\n").data(), text.size() + 2);
}

uint64_t VornFileWindows::seek(int64_t offset, int origin) {
    int64_t base;
    if (origin == 0)
        base = 0;
    else if (origin == 1)
        base = static_cast<int64_t>(m_position);
    else if (origin == 2)
        base = static_cast<int64_t>(size());
    else
        VORN_THROW(2, 0, nullptr);
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        VORN_THROW(2, 0, nullptr);
    if (::lseek(m_handle, static_cast<off_t>(target), SEEK_SET) < 0)
        VORN_THROW_SYSTEM(713, nullptr);
    m_position = static_cast<uint64_t>(target);
    return m_position;
}

uint64_t VornFileWindows::size() {
    struct stat info {};
    if (m_handle == kInvalidHandle || ::fstat(m_handle, &info) != 0)
        return 0;
    return static_cast<uint64_t>(info.st_size);
}

void vornCreateDirectory(const std::wstring& path) {
    std::string native = nativeOrThrow(path);
    if (::mkdir(native.c_str(), 0777) == 0)
        return;
    int error = errno;
    if (accessDenied(error))
        VORN_THROW(8, error, nullptr);
    if (error == EEXIST)
        VORN_THROW(34, error, nullptr);
    VORN_THROW(1, error, nullptr);
}

void vornCopyFile(const std::wstring& source, const std::wstring& target) {
    struct stat info {};
    if (!statPath(source, info))
        return;
    std::string from = nativeOrThrow(source);
    std::string to = nativeOrThrow(target);
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (!error)
        return;
    if (accessDenied(error.value()))
        VORN_THROW(8, error.value(), nullptr);
    VORN_THROW(1, error.value(), nullptr);
}

uint64_t vornSizeOfFile(const std::wstring& path) {
    struct stat info {};
    if (!statPath(path, info) || S_ISDIR(info.st_mode))
        return 0;
    return static_cast<uint64_t>(info.st_size);
}

bool vornDirectoryExists(const std::wstring& path) {
    std::wstring copy = path;
    // The root keeps its slash: dropping it would leave no path at all.
    if (copy.size() > 1 && (copy.back() == L'/' || copy.back() == L'\\'))
        copy.pop_back();
    struct stat info {};
    return !copy.empty() && statPath(copy, info) && S_ISDIR(info.st_mode);
}

bool vornFileExists(const std::wstring& path) {
    struct stat info {};
    return statPath(path, info) && S_ISREG(info.st_mode);
}

void vornDeleteDirectoryFiles(const std::wstring& directory) {
    std::optional<std::string> native = vornNativePath(directory);
    if (!native || native->empty())
        return;
    // The folder is named with or without its separator; only its own entries are ever touched.
    std::string prefix = native->back() == '/' ? *native : *native + "/";
    if (DIR* listing = ::opendir(native->c_str())) {
        while (struct dirent* entry = ::readdir(listing)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                ::unlink((prefix + name).c_str());
        }
        ::closedir(listing);
    }
    ::rmdir(native->c_str());
}
