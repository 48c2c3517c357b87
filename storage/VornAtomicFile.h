#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

// Replaces a file's contents so that a reader sees either the old file or the new one, never a part,
// and a crash at any point leaves one of the two in place: the data goes to a temporary file in the
// same folder, is flushed to disk, and is then renamed over the target.
class VornAtomicFile {
public:
    // Same contract as write(2); tests pass one that fails part-way to stand in for a full disk.
    using Writer = std::function<ssize_t(int fd, const char* data, size_t size)>;

    // False when any step fails; the target is then unchanged and no temporary file is left behind.
    static bool replace(const std::filesystem::path& target, const std::string& contents);
    static bool replace(const std::filesystem::path& target, const std::string& contents,
                        const Writer& writer);

private:
    static bool writeAll(int fd, const std::string& contents, const Writer& writer);
};
