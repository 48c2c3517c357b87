#include "engine/VornSegmentTable.h"

#include "base/VornText.h"
#include "engine/VornFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool readFully(int fd, unsigned char* data, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A rename or unlink is only durable once the folder that holds the name is synced.
void syncFolder(const std::string& path) {
    VornFd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok())
        ::fsync(dir.get());
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return false;
    syncFolder(path);
    return true;
}

// Writes the bytes under a temporary name, syncs them and renames the file into place, so the target
// name holds either its old content or the whole new content, never a part.
bool replaceFile(const std::string& target, const std::vector<unsigned char>& bytes) {
    std::string temporary = target + ".tmp";
    VornFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok())
        return false;
    bool written = vornWriteFully(fd.get(), bytes.data(), bytes.size(), 0) && ::fsync(fd.get()) == 0;
    if (!fd.close() || !written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(target);
    return true;
}

std::optional<std::vector<unsigned char>> readFile(const std::string& path) {
    VornFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    std::vector<unsigned char> bytes(static_cast<size_t>(st.st_size));
    if (!readFully(fd.get(), bytes.data(), bytes.size(), 0))
        return std::nullopt;
    return bytes;
}

template <typename T> void putLittle(unsigned char* out, T value) {
    auto bits = static_cast<uint64_t>(value);
    for (size_t i = 0; i < sizeof(T); ++i)
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

template <typename T> T getLittle(const unsigned char* in) {
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        bits |= static_cast<uint64_t>(in[i]) << (8 * i);
    return static_cast<T>(bits);
}

} // namespace

VornSegmentTable::VornSegmentTable(std::wstring tablePath, std::wstring backupPath)
    : m_tablePath(vornWideToUtf8(tablePath)), m_backupPath(vornWideToUtf8(backupPath)) {}

void VornSegmentTable::Encode(const VornSegmentRecord& record, unsigned char* out) {
    putLittle<uint16_t>(out, record.index);
    putLittle<uint16_t>(out + 2, record.fileNumber);
    putLittle<int32_t>(out + 4, record.next);
    putLittle<int64_t>(out + 8, record.start);
    putLittle<int64_t>(out + 16, record.end);
    putLittle<int64_t>(out + 24, record.received);
}

VornSegmentRecord VornSegmentTable::Decode(const unsigned char* in) {
    VornSegmentRecord record;
    record.index = getLittle<uint16_t>(in);
    record.fileNumber = getLittle<uint16_t>(in + 2);
    record.next = getLittle<int32_t>(in + 4);
    record.start = getLittle<int64_t>(in + 8);
    record.end = getLittle<int64_t>(in + 16);
    record.received = getLittle<int64_t>(in + 24);
    return record;
}

bool VornSegmentTable::Exists() const {
    return pathExists(m_tablePath);
}

bool VornSegmentTable::BackupExists() const {
    return pathExists(m_backupPath);
}

bool VornSegmentTable::MakeBackup() {
    if (!pathExists(m_tablePath))
        return true;
    auto bytes = readFile(m_tablePath);
    if (!bytes || !replaceFile(m_backupPath, *bytes)) {
        m_lastError = "Can not back up the segment table: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

bool VornSegmentTable::DropBackup() {
    return removeFile(m_backupPath);
}

bool VornSegmentTable::RestoreBackup() {
    auto bytes = readFile(m_backupPath);
    // The backup is removed only after the table holds its content again.
    if (!bytes || !replaceFile(m_tablePath, *bytes))
        return false;
    return DropBackup();
}

bool VornSegmentTable::WriteAll(const std::vector<VornSegmentRecord>& records) {
    if (records.empty()) {
        bool removed = removeFile(m_tablePath);
        return DropBackup() && removed;
    }
    if (!MakeBackup())
        return false;
    std::vector<unsigned char> bytes(records.size() * RECORD_SIZE);
    for (size_t i = 0; i < records.size(); ++i)
        Encode(records[i], bytes.data() + i * RECORD_SIZE);
    if (!replaceFile(m_tablePath, bytes)) {
        m_lastError = "Can not write the segment table: " + std::string(std::strerror(errno));
        return false;
    }
    return DropBackup();
}

bool VornSegmentTable::Append(const VornSegmentRecord& record,
                              const std::optional<VornSegmentRecord>& predecessor) {
    if (!MakeBackup())
        return false;
    VornFd fd(::open(m_tablePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0)
        return false;
    off_t size = st.st_size - st.st_size % static_cast<off_t>(RECORD_SIZE);
    // One read of the whole table: it holds at most some hundred kilobytes.
    std::vector<unsigned char> table(static_cast<size_t>(size));
    if (predecessor && !readFully(fd.get(), table.data(), table.size(), 0))
        return false;
    unsigned char bytes[RECORD_SIZE];
    off_t predecessorAt = -1;
    for (off_t at = 0; predecessor && at < size; at += RECORD_SIZE) {
        if (Decode(table.data() + at).index == predecessor->index) {
            predecessorAt = at;
            break;
        }
    }
    if (predecessor && predecessorAt < 0) {
        m_lastError = "Can not Add  new Segment to config-file.";
        DropBackup();
        return false;
    }
    Encode(record, bytes);
    bool ok = vornWriteFully(fd.get(), bytes, RECORD_SIZE, size);
    if (ok && predecessor) {
        Encode(*predecessor, bytes);
        ok = vornWriteFully(fd.get(), bytes, RECORD_SIZE, predecessorAt);
    }
    // On failure the backup stays: the next load restores the table as it was before.
    if (!ok || ::fsync(fd.get()) != 0 || !fd.close()) {
        m_lastError = "Can not write the segment table: " + std::string(std::strerror(errno));
        return false;
    }
    return DropBackup();
}

bool VornSegmentTable::UpdateAt(uint16_t index, int64_t end) {
    if (!MakeBackup())
        return false;
    VornFd fd(::open(m_tablePath.c_str(), O_RDWR | O_CLOEXEC));
    unsigned char bytes[RECORD_SIZE];
    off_t at = static_cast<off_t>(index) * static_cast<off_t>(RECORD_SIZE);
    if (!fd.ok() || !readFully(fd.get(), bytes, RECORD_SIZE, at) || Decode(bytes).index != index) {
        m_lastError = "Can not update Ts-Segment End-Pos";
        DropBackup();
        return false;
    }
    VornSegmentRecord record = Decode(bytes);
    record.end = end;
    Encode(record, bytes);
    if (!vornWriteFully(fd.get(), bytes, RECORD_SIZE, at) || ::fsync(fd.get()) != 0 || !fd.close())
        return false;
    return DropBackup();
}

std::optional<std::vector<VornSegmentRecord>> VornSegmentTable::Load() {
    if (pathExists(m_backupPath) && !RestoreBackup())
        return std::nullopt;
    auto bytes = readFile(m_tablePath);
    if (!bytes || bytes->empty() || bytes->size() % RECORD_SIZE != 0)
        return std::nullopt;
    std::vector<VornSegmentRecord> records;
    records.reserve(bytes->size() / RECORD_SIZE);
    for (size_t at = 0; at < bytes->size(); at += RECORD_SIZE)
        records.push_back(Decode(bytes->data() + at));
    return records;
}

int64_t VornSegmentTable::StoredSize() {
    if (pathExists(m_backupPath) && !RestoreBackup())
        return 0;
    struct stat st {};
    if (::stat(m_tablePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<int64_t>(st.st_size);
}

void VornSegmentTable::Remove() {
    removeFile(m_tablePath);
    removeFile(m_backupPath);
    removeFile(m_tablePath + ".tmp");
    removeFile(m_backupPath + ".tmp");
}
