#pragma once

#include <cstdint>
#include <string>

// The one file a download's ranges are written into, each at its own offset, under a hidden name in the
// folder the file ends in, so the end is a rename on the same file system. Where it lives is kept in the
// work folder (the location file), so a resume finds it again. Paths are native (UTF-8).
class VornWorkFile {
public:
    explicit VornWorkFile(std::string locationPath);
    ~VornWorkFile();
    VornWorkFile(const VornWorkFile&) = delete;
    VornWorkFile& operator=(const VornWorkFile&) = delete;

    // Creates the file anew at path, preallocated to size where the file system allows (size < 0: not
    // known), and records its location. False when the file cannot be made.
    bool Create(const std::string& path, int64_t size);
    // Opens the file the location file names; false when there is none or it cannot be opened.
    bool OpenRecorded();
    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }
    const std::string& Path() const { return m_path; }
    // Current size on disk, -1 when not open.
    int64_t Size() const;
    // Flushes written data to the disk (fdatasync); false when the disk reported an error.
    bool Sync();
    // The file now lives at path (it was renamed or copied there): the location follows it.
    bool MovedTo(const std::string& path);
    // Forgets the file, which has become the target: nothing of it is deleted any more.
    void Forget();
    void Close();
    // Deletes the file (when not forgotten) and the location file.
    void Remove();
    // Whether a location file exists in the work folder.
    bool LocationRecorded() const;

private:
    bool WriteLocation(const std::string& path);

    std::string m_locationPath;
    std::string m_path;
    int m_fd = -1;
};
