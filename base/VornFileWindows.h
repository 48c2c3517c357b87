#pragma once

#include "base/VornFile.h"

#include <cstdint>
#include <string>

// The file of the program on the system's file API. Every failure throws VornException.
class VornFileWindows : public VornFile {
public:
    explicit VornFileWindows(std::wstring path = {});

    // Both replace an open file; the result is non-zero on success.
    int open(const std::wstring& path, int32_t flags) override;
    int open(int32_t flags) override;
    // One read; 0 at the end of the file.
    size_t read(void* buffer, size_t count) override;
    // Writes every byte or throws: a short write never passes for success.
    size_t write(const void* buffer, size_t count) override;
    void flush() override {}
    uint64_t seek(int64_t offset, int origin) override;
    // 0 when the file is not open.
    uint64_t size() override;
    bool isOpen() const override { return m_handle != kInvalidHandle; }
    bool isCapable() const override { return true; }
    // The text followed by "\r\n", in one write.
    virtual size_t writeLine(const std::string& text);

private:
    int openNative(const std::string& nativePath, int32_t flags, bool exists);
};

// Path functions. Wide paths throughout; a path the system cannot name counts as missing.

// Creates one directory: code 8 when access is denied, 34 when it already exists, 1 otherwise.
void vornCreateDirectory(const std::wstring& path);
// Copies source over target; a missing source does nothing. Code 8 when access is denied, else 1.
void vornCopyFile(const std::wstring& source, const std::wstring& target);
// 0 for a missing path or a directory.
uint64_t vornSizeOfFile(const std::wstring& path);
// One trailing slash or backslash is ignored; an empty path is no directory.
bool vornDirectoryExists(const std::wstring& path);
// True for a regular file only.
bool vornFileExists(const std::wstring& path);
// Deletes the files of a directory (not its sub-directories), then the directory itself when empty.
// Failures are ignored.
void vornDeleteDirectoryFiles(const std::wstring& directory);
