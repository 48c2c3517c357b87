#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Open flag bits. The share bits and the overlapped bit have no meaning on this platform and are accepted.
constexpr int32_t VORN_FILE_OVERLAPPED = 0x001;
constexpr int32_t VORN_FILE_READ = 0x002;
constexpr int32_t VORN_FILE_WRITE = 0x004;
constexpr int32_t VORN_FILE_APPEND = 0x008;
constexpr int32_t VORN_FILE_SHARE_READ = 0x010;
constexpr int32_t VORN_FILE_SHARE_WRITE = 0x020;
constexpr int32_t VORN_FILE_CREATE = 0x100;
constexpr int32_t VORN_FILE_EXCLUSIVE = 0x200;

// The abstract file: keeps its own 64-bit position and the flags of its last successful open.
class VornFile {
public:
    static constexpr int kInvalidHandle = -1;

    explicit VornFile(std::wstring path = {});
    virtual ~VornFile();
    VornFile(const VornFile&) = delete;
    VornFile& operator=(const VornFile&) = delete;

    virtual int open(const std::wstring& path, int32_t flags) = 0;
    virtual int open(int32_t flags) = 0;
    virtual void close();
    virtual size_t read(void* buffer, size_t count) = 0;
    virtual size_t write(const void* buffer, size_t count) = 0;
    virtual void flush() = 0;
    // origin 0 = from the start, 1 = from the position, 2 = from the end.
    virtual uint64_t seek(int64_t offset, int origin) = 0;
    virtual uint64_t size() = 0;
    virtual uint64_t position() const { return m_position; }
    virtual bool atEnd() { return size() == m_position; }
    virtual bool isReadable() const { return isOpen() && (m_openFlags & VORN_FILE_READ); }
    // An open with the append bit alone is not writable in this sense.
    virtual bool isWritable() const { return isOpen() && (m_openFlags & VORN_FILE_WRITE); }
    virtual bool isOpen() const = 0;
    virtual int handle() const { return m_handle; }
    virtual bool isCapable() const = 0;

    const std::wstring& path() const { return m_path; }
    int32_t openFlags() const { return m_openFlags; }

protected:
    std::wstring m_path;
    int m_handle = kInvalidHandle;
    uint64_t m_position = 0;
    int32_t m_openFlags = 0;
};
