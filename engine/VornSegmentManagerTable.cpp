// The segment manager's side of the on-disk table: what goes into "segments.bin" and how a stopped
// download is rebuilt from it.
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentManager.h"

#include "base/VornText.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int64_t storedBytes(const std::wstring& path) {
    struct stat st {};
    if (::stat(vornWideToUtf8(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<int64_t>(st.st_size);
}

} // namespace

VornSegmentRecord VornSegmentManager::RecordOf(const VornSegment& segment) {
    return VornSegmentRecord{segment.m_index, segment.m_fileNumber, segment.m_next,
                             segment.m_start, segment.m_end,        segment.m_stored};
}

bool VornSegmentManager::WriteTable() {
    std::vector<VornSegmentRecord> records;
    records.reserve(m_segments.size());
    for (auto& segment : m_segments)
        records.push_back(RecordOf(*segment));
    bool written = m_table->WriteAll(records);
    if (!written)
        m_engine->Log(LOG_LEVEL_ERROR, m_table->LastError());
    return written;
}

void VornSegmentManager::ResetTsPiece(VornSegment* segment) {
    DeleteSegmentFile(*segment);
    segment->m_stored = 0;
    segment->m_end = UNKNOWN_SEGMENT_END;
    segment->m_length = UNKNOWN_SEGMENT_END - segment->m_start + 1;
    if (segment->m_status == SEGMENT_COMPLETED)
        UncountCompletion(segment);
    segment->m_received = 0;
    segment->m_status = SEGMENT_PENDING;
}

bool VornSegmentManager::SaveAll() {
    std::vector<VornSegmentRecord> records;
    records.reserve(m_segments.size());
    for (auto& segment : m_segments) {
        if (IsTsMode())
            ResetTsPiece(segment.get());
        records.push_back(RecordOf(*segment));
    }
    if (IsTsMode())
        m_downloaded = 0;
    bool written = m_table->WriteAll(records);
    if (!written)
        m_engine->Log(LOG_LEVEL_ERROR, m_table->LastError());
    return written;
}

bool VornSegmentManager::AppendSegmentRecord(uint16_t index) {
    std::optional<VornSegmentRecord> previous;
    if (VornSegment* predecessor = Predecessor(index))
        previous = RecordOf(*predecessor);
    bool appended = m_table->Append(RecordOf(*m_segments[index]), previous);
    if (!appended)
        m_engine->Log(LOG_LEVEL_ERROR, m_table->LastError());
    return appended;
}

void VornSegmentManager::UpdateTsRecord(uint16_t index) {
    if (!m_table->UpdateAt(index, m_segments[index]->m_end))
        m_engine->Log(LOG_LEVEL_DEBUG, "Can not update Ts-Segment End-Pos");
}

// Tables of older versions kept each range in a file of its own and no progress in the table.
bool VornSegmentManager::OlderWorkFolder() {
    int64_t size = m_table->StoredSize();
    if (size > 0 && size % static_cast<int64_t>(VornSegmentTable::RECORD_SIZE) != 0 &&
        size % static_cast<int64_t>(VornSegmentTable::OLD_RECORD_SIZE) == 0)
        return true;
    DIR* folder = ::opendir(vornWideToUtf8(m_temporaryFolder).c_str());
    if (!folder)
        return false;
    bool found = false;
    while (dirent* entry = ::readdir(folder))
        found = found || std::string(entry->d_name).starts_with("seg.x");
    ::closedir(folder);
    return found;
}

bool VornSegmentManager::LoadSegments() {
    if (!IsTsMode() && OlderWorkFolder()) {
        m_engine->Log(LOG_LEVEL_INFO, "Work folder of an older version found. The download starts afresh.");
        Clear(true);
        DeleteStraySegmentFiles();
        return false;
    }
    auto records = m_table->Load();
    bool loaded = false;
    if (records)
        loaded = IsTsMode() ? LoadTs(*records) : LoadNormal(*records);
    if (loaded && m_downloaded > 0 && (IsTsMode() || m_fileSize != UNKNOWN_FILE_SIZE))
        return true;
    if (IsTsMode()) {
        SaveAll();
    } else {
        Clear(true);
        DeleteStraySegmentFiles();
    }
    return false;
}

// After a failed resume no table names the folder's segment files any more; a fresh start must not
// meet them again.
void VornSegmentManager::DeleteStraySegmentFiles() const {
    DIR* folder = ::opendir(vornWideToUtf8(m_temporaryFolder).c_str());
    if (!folder)
        return;
    while (dirent* entry = ::readdir(folder)) {
        std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(0, 5, "seg.x") == 0 &&
            name.find_first_not_of("0123456789", 5) == std::string::npos)
            ::unlink((vornWideToUtf8(m_temporaryFolder) + name).c_str());
    }
    ::closedir(folder);
}

// A table that passes these checks can only describe every byte of the file exactly once, so a damaged
// table makes the download start afresh instead of merging a file with holes or repeated bytes.
bool VornSegmentManager::ChainIsSound(const std::vector<VornSegmentRecord>& byIndex) const {
    std::vector<bool> seen(byIndex.size(), false);
    size_t current = byIndex.size();
    for (size_t i = 0; i < byIndex.size(); ++i)
        if (byIndex[i].start == 0)
            current = i;
    int64_t expectedStart = 0;
    size_t visited = 0;
    while (current < byIndex.size()) {
        const VornSegmentRecord& record = byIndex[current];
        if (seen[current] || record.start != expectedStart || record.end < record.start ||
            record.end > UNKNOWN_SEGMENT_END)
            return false;
        seen[current] = true;
        ++visited;
        expectedStart = record.end + 1;
        if (record.next == -1)
            break;
        if (record.next < 0 || static_cast<size_t>(record.next) >= byIndex.size())
            return false;
        current = static_cast<size_t>(record.next);
    }
    if (visited != byIndex.size())
        return false;
    // An unknown size is written only while the whole file is one range.
    return expectedStart != UNKNOWN_FILE_SIZE || byIndex.size() == 1;
}

bool VornSegmentManager::LoadNormal(const std::vector<VornSegmentRecord>& records) {
    if (records.size() > SEGMENT_LIMIT + 1)
        return false;
    std::vector<VornSegmentRecord> byIndex(records.size());
    std::vector<bool> found(records.size(), false);
    for (auto& record : records) {
        if (record.index >= records.size() || found[record.index])
            return false;
        found[record.index] = true;
        byIndex[record.index] = record;
    }
    if (!ChainIsSound(byIndex))
        return false;
    for (auto& record : byIndex) {
        if (record.next == -1 && !m_engine->SetFileSize(record.end + 1))
            return false;
        if (record.fileNumber > m_fileCounter)
            m_fileCounter = record.fileNumber;
    }
    for (auto& record : byIndex) {
        VornSegment* segment = AddSegment(
            std::make_unique<VornSegment>(this, record.fileNumber, record.start, record.end, record.next));
        // A count outside its range cannot be trusted: that range starts again.
        segment->m_received =
            record.received >= 0 && record.received <= segment->m_length ? record.received : 0;
    }
    TrustStoredProgress();
    m_engine->Log(LOG_LEVEL_DEBUG,
                  std::to_string(records.size()) + " Segments were loaded from segments.bin file.");
    CheckFinished();
    return true;
}

// The table holds only flushed progress, so it is trusted; but a work file that is missing or shorter
// than a range's claim (replaced or cut by someone else) starts those ranges again rather than handing
// out what is not there.
void VornSegmentManager::TrustStoredProgress() {
    int64_t size = m_workFile->OpenRecorded() ? m_workFile->Size() : -1;
    for (auto& segment : m_segments) {
        if (segment->m_received > 0 && segment->m_start + segment->m_received > size) {
            m_engine->Log(LOG_LEVEL_INFO, "The work file does not hold segment " +
                                              std::to_string(segment->m_index) + ": it starts again.");
            segment->m_received = 0;
        }
        segment->m_stored = segment->m_received;
        m_downloaded += segment->m_received;
        if (segment->m_received == segment->m_length) {
            segment->m_status = SEGMENT_COMPLETED;
            CountCompletion(segment.get());
        }
    }
}

bool VornSegmentManager::LoadTs(const std::vector<VornSegmentRecord>& records) {
    if (records.size() != m_segments.size())
        return false;
    for (size_t i = 0; i < records.size(); ++i) {
        const VornSegmentRecord& record = records[i];
        int32_t next = i + 1 < records.size() ? static_cast<int32_t>(i + 1) : -1;
        if (record.index != i || record.fileNumber != i || record.start != 0 || record.next != next ||
            record.end < 0 || record.end > UNKNOWN_SEGMENT_END)
            return false;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        VornSegment* segment = m_segments[i].get();
        segment->SetEnd(records[i].end, false);
        int64_t received = std::min(storedBytes(segment->SegmentFilePath()), segment->m_length);
        segment->m_received = received;
        m_downloaded += received;
        if (received == segment->m_length && segment->m_status != SEGMENT_COMPLETED) {
            segment->m_status = SEGMENT_COMPLETED;
            CountCompletion(segment);
        }
    }
    m_engine->Log(LOG_LEVEL_DEBUG,
                  std::to_string(records.size()) + " TS Segments were loaded from segments.bin file.");
    return true;
}
