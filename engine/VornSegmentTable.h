#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One 32-byte record of "segments.bin", little-endian: index, file number, next index, start, end, and the
// range's received bytes that are known to be on disk.
struct VornSegmentRecord {
    uint16_t index = 0;
    uint16_t fileNumber = 0;
    int32_t next = -1;
    int64_t start = 0;
    int64_t end = 0;
    int64_t received = 0;

    bool operator==(const VornSegmentRecord&) const = default;
};

// The on-disk segment table "segments.bin" and its backup "segments.bak". Every change copies the
// table to the backup first and deletes the backup after the change is on disk, so a crash at any
// point leaves either the old table (the backup, restored at load) or the new one. The backup is
// written under a temporary name and renamed into place, and every write is synced, so a backup
// that exists is always a whole one.
class VornSegmentTable {
public:
    static constexpr size_t RECORD_SIZE = 32;
    // The size of a record of the older tables, whose progress lived in one file per range.
    static constexpr size_t OLD_RECORD_SIZE = 24;

    // Both paths are wide, as the program keeps them.
    VornSegmentTable(std::wstring tablePath, std::wstring backupPath);

    // Replaces the whole table; an empty list deletes it. False when the disk refused.
    bool WriteAll(const std::vector<VornSegmentRecord>& records);
    // Appends a record and, when given, rewrites the stored record whose index equals the
    // predecessor's. False (table unchanged) when the predecessor's record is missing or the disk refused.
    bool Append(const VornSegmentRecord& record, const std::optional<VornSegmentRecord>& predecessor);
    // Rewrites the end of the record stored at position index (TS pieces never move).
    bool UpdateAt(uint16_t index, int64_t end);
    // Size in bytes of the stored table (0 when missing), after restoring an interrupted change.
    int64_t StoredSize();
    // Restores an interrupted change from the backup, then reads every record in stored order.
    // Nothing when the table is missing, empty, not a whole number of records, or unreadable.
    std::optional<std::vector<VornSegmentRecord>> Load();
    // Deletes the table and its backup.
    void Remove();

    bool Exists() const;
    bool BackupExists() const;
    const std::string& LastError() const { return m_lastError; }

    static void Encode(const VornSegmentRecord& record, unsigned char* out);
    static VornSegmentRecord Decode(const unsigned char* in);

private:
    bool MakeBackup();
    bool DropBackup();
    bool RestoreBackup();

    std::string m_tablePath;
    std::string m_backupPath;
    std::string m_lastError;
};
