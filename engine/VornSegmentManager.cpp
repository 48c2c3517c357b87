#include "engine/VornSegmentManager.h"

#include "base/VornText.h"
#include "engine/VornSegmentClient.h"
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentMerge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace {

// Size of a segment file; a missing file holds no bytes.
int64_t fileSizeOf(const std::wstring& path) {
    struct stat st {};
    if (::stat(vornWideToUtf8(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<int64_t>(st.st_size);
}

} // namespace

VornSegmentManager::VornSegmentManager(VornSegmentHost* engine, std::wstring temporaryFolder,
                                       std::wstring destinationFolder, bool pairMode)
    : m_pairMode(pairMode), m_temporaryFolder(std::move(temporaryFolder)),
      m_destinationFolder(std::move(destinationFolder)), m_engine(engine),
      m_table(std::make_unique<VornSegmentTable>(m_temporaryFolder + L"segments.bin",
                                                 m_temporaryFolder + L"segments.bak")),
      m_workFile(std::make_unique<VornWorkFile>(vornWideToUtf8(m_temporaryFolder + L"workfile.path"))) {}

VornSegmentManager::~VornSegmentManager() {
    // Files of a download that did not complete stay for a later resume, with their last progress.
    bool completed = m_engine->DownloadCompleted();
    if (!completed)
        Flush(true);
    Clear(completed && !m_pairMode);
}

void VornSegmentManager::Clear(bool deleteFiles) {
    // The table goes first: a crash while deleting must not leave a table whose files are half gone.
    if (deleteFiles) {
        m_table->Remove();
        m_workFile->Remove();
    } else {
        m_workFile->Close();
    }
    for (auto& segment : m_segments) {
        if (segment->m_connection) {
            segment->m_connection->ReleaseSegment();
            segment->m_connection = nullptr;
        }
        if (deleteFiles)
            DeleteSegmentFile(*segment);
    }
    m_segments.clear();
    m_changed.clear();
    m_fileSize = UNKNOWN_FILE_SIZE;
    m_fileCounter = 0;
    m_downloaded = 0;
    m_completedCount = 0;
    m_completedBytes = 0;
}

void VornSegmentManager::DeleteSegmentFile(const VornSegment& segment) const {
    ::unlink(vornWideToUtf8(segment.SegmentFilePath()).c_str());
}

VornSegment* VornSegmentManager::AddSegment(std::unique_ptr<VornSegment> segment) {
    segment->m_index = static_cast<uint16_t>(m_segments.size());
    m_segments.push_back(std::move(segment));
    return m_segments.back().get();
}

void VornSegmentManager::LogSegmentCount() {
    m_engine->Log(LOG_LEVEL_DEBUG, "SegmentManager has Created a New Segment and now has " +
                                       std::to_string(m_segments.size()) + " Segments.");
}

int VornSegmentManager::AssignSegment(VornSegment*& segment) {
    segment = nullptr;
    VornSegment* chosen = nullptr;
    if (m_segments.empty()) {
        int64_t end = m_fileSize == UNKNOWN_FILE_SIZE ? UNKNOWN_SEGMENT_END : m_fileSize - 1;
        chosen = AddSegment(std::make_unique<VornSegment>(this, m_fileCounter, 0, end, -1));
        LogSegmentCount();
    } else {
        if (m_fileSize == UNKNOWN_FILE_SIZE && !IsTsMode())
            return ASSIGN_ERROR;
        // A pending range whose file turns out to hold all of it is complete, not work.
        while (VornSegment* pending = FirstPending()) {
            ReusePending(pending);
            if (pending->m_status == SEGMENT_PENDING) {
                segment = pending;
                return ASSIGN_OK;
            }
        }
        if (IsTsMode() || m_segments.size() > SEGMENT_LIMIT)
            return ASSIGN_NO_WORK;
        int pick = PickSegmentToSplit();
        if (pick < 0)
            return ASSIGN_NO_WORK;
        chosen = SplitSegment(m_segments[static_cast<size_t>(pick)].get());
    }
    if (!AppendSegmentRecord(chosen->m_index))
        return ASSIGN_ERROR;
    segment = chosen;
    return ASSIGN_OK;
}

VornSegment* VornSegmentManager::FirstPending() const {
    for (auto& segment : m_segments)
        if (segment->m_status == SEGMENT_PENDING)
            return segment.get();
    return nullptr;
}

// A playlist piece's progress is its own file's size; a range of the work file keeps its count.
void VornSegmentManager::ReusePending(VornSegment* segment) {
    if (!IsTsMode())
        return;
    int64_t onDisk = fileSizeOf(segment->SegmentFilePath());
    if (onDisk == segment->m_received)
        return;
    // A file longer than its range cannot be trusted: start the range again.
    if (onDisk > segment->m_length) {
        DeleteSegmentFile(*segment);
        onDisk = 0;
    }
    segment->SetProgress(onDisk, SEGMENT_PENDING);
}

VornSegment* VornSegmentManager::SplitSegment(VornSegment* segment) {
    int64_t half = (segment->m_length - segment->m_received) / 2;
    int64_t newStart = segment->m_start + segment->m_received + half;
    int64_t oldEnd = segment->m_end;
    int32_t oldNext = segment->m_next;
    segment->SetEnd(newStart - 1, false);
    ++m_fileCounter;
    VornSegment* added =
        AddSegment(std::make_unique<VornSegment>(this, m_fileCounter, newStart, oldEnd, oldNext));
    LogSegmentCount();
    segment->m_next = added->m_index;
    return added;
}

int VornSegmentManager::CutEvenly(int connections) {
    if (IsTsMode() || m_fileSize == UNKNOWN_FILE_SIZE || connections < 2 || m_segments.empty())
        return 0;
    int64_t left = 0;
    for (auto& segment : m_segments)
        left += segment->RemainingBytes();
    int64_t share = std::max(left / connections, MinSplitSize());
    int added = 0;
    size_t existing = m_segments.size();
    for (size_t i = 0; i < existing && m_segments.size() < SEGMENT_LIMIT; ++i) {
        VornSegment* segment = m_segments[i].get();
        int64_t remaining = segment->RemainingBytes();
        int64_t parts = (remaining + share / 2) / share;
        if (segment->m_status == SEGMENT_COMPLETED || parts < 2)
            continue;
        int64_t from = segment->m_start + segment->m_received;
        int64_t oldEnd = segment->m_end;
        int32_t oldNext = segment->m_next;
        std::vector<int64_t> cuts;
        for (int64_t k = 1; k < parts; ++k) {
            int64_t cut = (from + remaining * k / parts) / CUT_ALIGNMENT * CUT_ALIGNMENT;
            if (cut > (cuts.empty() ? from : cuts.back()) && cut <= oldEnd)
                cuts.push_back(cut);
        }
        if (cuts.empty())
            continue;
        segment->SetEnd(cuts.front() - 1, false);
        VornSegment* previous = segment;
        for (size_t c = 0; c < cuts.size(); ++c) {
            int64_t end = c + 1 < cuts.size() ? cuts[c + 1] - 1 : oldEnd;
            ++m_fileCounter;
            VornSegment* piece =
                AddSegment(std::make_unique<VornSegment>(this, m_fileCounter, cuts[c], end, oldNext));
            previous->m_next = piece->m_index;
            previous = piece;
            ++added;
        }
    }
    if (added > 0) {
        LogSegmentCount();
        SaveAll();
    }
    return added;
}

bool VornSegmentManager::CanSplit() const {
    if (m_segments.empty())
        return true;
    for (auto it = m_segments.rbegin(); it != m_segments.rend(); ++it) {
        if ((*it)->m_status == SEGMENT_PENDING)
            return true;
        if (!IsTsMode() && (*it)->RemainingBytes() > WorkUnit())
            return true;
    }
    return false;
}

int64_t VornSegmentManager::UsefulConnections() const {
    if (m_segments.empty())
        return m_fileSize / WorkUnit();
    int64_t useful = 0;
    for (auto& segment : m_segments)
        if (segment->RemainingBytes() > 0)
            useful += segment->RemainingBytes() / WorkUnit() + 1;
    return useful;
}

int VornSegmentManager::PickSegmentToSplit() const {
    if (m_segments.empty())
        return 0;
    int best = -1;
    int64_t largest = MinSplitSize();
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (m_segments[i]->RemainingBytes() > largest) {
            largest = m_segments[i]->RemainingBytes();
            best = static_cast<int>(i);
        }
    }
    return best;
}

VornSegment* VornSegmentManager::Predecessor(uint16_t index) const {
    for (auto& segment : m_segments)
        if (segment->m_next == index)
            return segment.get();
    return nullptr;
}

void VornSegmentManager::RollBackSegment(VornSegment* segment) {
    uint16_t index = segment->m_index;
    if (VornSegment* previous = Predecessor(index)) {
        previous->m_next = segment->m_next;
        // Leave the completed state first so the completion counters drop the old length.
        if (previous->m_status == SEGMENT_COMPLETED)
            previous->m_status = SEGMENT_PENDING, UncountCompletion(previous);
        previous->SetEnd(segment->m_end, false);
        m_engine->Log(LOG_LEVEL_DEBUG, "Segment Rolled Back To Socket ( " + previous->ConnectionNumberText() +
                                           " ). Segment " + std::to_string(index) + " Merged To Segment " +
                                           std::to_string(previous->m_index));
    }
    ResetReportFlags();
    RemoveSegment(index);
    SaveAll();
}

void VornSegmentManager::ResetReportFlags() {
    m_changed.clear();
    for (auto& segment : m_segments)
        segment->m_reportFlag = 1;
}

void VornSegmentManager::RemoveSegment(uint16_t index) {
    VornSegment* gone = m_segments[index].get();
    m_downloaded -= gone->m_received;
    if (gone->m_status == SEGMENT_COMPLETED)
        UncountCompletion(gone);
    if (gone->m_connection)
        gone->m_connection->ReleaseSegment();
    m_segments.erase(m_segments.begin() + index);
    for (auto& segment : m_segments) {
        if (segment->m_index > index)
            --segment->m_index;
        if (segment->m_next > index)
            --segment->m_next;
    }
}

void VornSegmentManager::SpecialRollBack(VornSegment* segment) {
    if (IsTsMode() || m_engine->IsFtpDownload() || segment->m_next <= 0 || m_engine->IsChunked())
        return;
    VornSegment* next = m_segments[static_cast<size_t>(segment->m_next)].get();
    if (next->m_received != 0)
        return;
    if (next->m_connection) {
        if (next->m_connection->IsReceivingBody())
            return;
        // Its close detaches it, and the empty range then rolls back into this one.
        next->m_connection->Reset(true, false);
    } else {
        RollBackSegment(next);
    }
    m_engine->Log(LOG_LEVEL_DEBUG, "Special Segment-RollBack Occured. Socket ( " +
                                       segment->ConnectionNumberText() + " ) should continue downloading.");
}

void VornSegmentManager::SetFileSize(int64_t size) {
    m_fileSize = size;
    if (m_segments.empty() || m_segments.front()->m_end != UNKNOWN_SEGMENT_END)
        return;
    m_segments.front()->SetEnd(size - 1, false);
    SaveAll();
}

bool VornSegmentManager::CheckFinished() {
    for (auto& segment : m_segments)
        if (segment->m_status != SEGMENT_COMPLETED)
            return false;
    if (!IsTsMode() && (m_fileSize == UNKNOWN_FILE_SIZE || m_downloaded != m_fileSize))
        return true;
    m_engine->EnterMerging();
    return true;
}

int64_t VornSegmentManager::RemainingBytes() const {
    if (IsTsMode()) {
        if (m_completedCount == 0)
            return -1;
        return static_cast<int64_t>(m_segments.size()) * m_completedBytes / m_completedCount - m_downloaded;
    }
    return m_fileSize == UNKNOWN_FILE_SIZE ? -1 : m_fileSize - m_downloaded;
}

void VornSegmentManager::MarkChanged(uint16_t index) {
    if (index >= m_segments.size() || !m_segments[index]->m_reportFlag)
        return;
    m_changed.push_back(index);
    m_segments[index]->m_reportFlag = 0;
}

void VornSegmentManager::CountCompletion(VornSegment* segment) {
    m_completedBytes += segment->m_length;
    ++m_completedCount;
    if (IsTsMode())
        m_engine->PostEvent(ENGINE_EVENT_SEGMENTS,
                            std::to_string(m_completedCount) +
                                "@Segments : " + std::to_string(m_segments.size()) +
                                "     Completed : " + std::to_string(m_completedCount));
}

void VornSegmentManager::UncountCompletion(VornSegment* segment) {
    m_completedBytes -= segment->m_length;
    --m_completedCount;
}

std::string VornSegmentManager::ProgressReport(bool full, int64_t speed, const std::string& text) {
    std::string report = std::to_string(m_downloaded) + "@" + std::to_string(speed) + "@" + text;
    auto entry = [&](const VornSegment& segment) {
        if (IsTsMode())
            report += "@" + std::to_string(segment.m_index) + "*" + std::to_string(segment.m_received) + "*" +
                      std::to_string(segment.m_length);
        else
            report += "@" + std::to_string(segment.m_start) + "*" + std::to_string(segment.m_received);
    };
    if (full) {
        ResetReportFlags();
        for (auto& segment : m_segments)
            if (segment->m_received > 0)
                entry(*segment);
        return report;
    }
    for (uint16_t index : m_changed) {
        if (index >= m_segments.size())
            continue;
        entry(*m_segments[index]);
        m_segments[index]->m_reportFlag = 1;
    }
    m_changed.clear();
    return report;
}

void VornSegmentManager::CreateTsSegments(const std::vector<std::string>& pieceUrls,
                                          const VornUrl& playlistUrl, const std::string& durationText,
                                          bool resuming) {
    m_playlistUrl = playlistUrl;
    m_durationText = durationText;
    m_tsMode = 1;
    m_fileCounter = 0;
    int32_t count = static_cast<int32_t>(pieceUrls.size());
    for (int32_t i = 0; i < count; ++i) {
        int32_t next = i + 1 < count ? i + 1 : -1;
        AddSegment(std::make_unique<VornSegment>(this, m_fileCounter++, 0, UNKNOWN_SEGMENT_END, next,
                                                 pieceUrls[static_cast<size_t>(i)]));
    }
    if (!resuming)
        SaveAll();
    m_engine->Log(LOG_LEVEL_DEBUG, "SegmentManager has Created " + std::to_string(count) + " TS-Segments.");
}

bool VornSegmentManager::MergeSegments() {
    return VornSegmentMerge(*this).Run();
}

std::wstring VornSegmentManager::TargetFolder() const {
    std::wstring folder = m_destinationFolder;
    if (!m_pairMode && m_engine->CategoryFoldersSetting() < 2)
        folder += m_engine->CategoryOf(m_fileName) + L"/";
    return folder;
}

namespace {

// The hidden name of a download's work file: the target's name (cut so the whole stays within a file
// name's limit) and the work folder's own name, which tells two downloads of one name apart.
std::wstring workFileName(const std::wstring& fileName, const std::wstring& temporaryFolder) {
    std::wstring folder = temporaryFolder;
    while (!folder.empty() && folder.back() == L'/')
        folder.pop_back();
    std::wstring id = folder.substr(folder.find_last_of(L'/') + 1).substr(0, 40);
    return L"." + fileName.substr(0, 120) + L"." + id + L".brellin-part";
}

} // namespace

bool VornSegmentManager::OpenWorkFile() {
    if (m_workFile->IsOpen())
        return true;
    if (IsTsMode())
        return false;
    if (m_fileName.empty())
        m_fileName = m_engine->DerivedFileName();
    std::wstring folder = TargetFolder();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(vornWideToUtf8(folder)), error);
    std::string path = vornWideToUtf8(folder + workFileName(m_fileName, m_temporaryFolder));
    if (!m_workFile->Create(path, m_fileSize == UNKNOWN_FILE_SIZE ? -1 : m_fileSize)) {
        m_engine->Log(LOG_LEVEL_ERROR, "Can not create the work file " + path);
        return false;
    }
    m_engine->Log(LOG_LEVEL_DEBUG, "Work file created: " + path);
    m_lastFlush = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    return true;
}

bool VornSegmentManager::Flush(bool force) {
    if (IsTsMode() || m_segments.empty() || !m_workFile->IsOpen())
        return true;
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    if (!force && now - m_lastFlush < FLUSH_INTERVAL_MS)
        return true;
    m_lastFlush = now;
    bool moved = false;
    for (auto& segment : m_segments)
        moved = moved || segment->m_stored != segment->m_received;
    if (!moved)
        return true;
    // The data first: the table may only claim bytes that are on the disk.
    if (!m_workFile->Sync()) {
        m_engine->Log(LOG_LEVEL_ERROR, "Can not flush the work file to the disk.");
        return false;
    }
    for (auto& segment : m_segments)
        segment->m_stored = segment->m_received;
    return WriteTable();
}

void VornSegmentManager::PieceUrl(uint16_t index, VornUrl& url) const {
    const std::string& piece = m_segments[index]->m_pieceUrl;
    std::string upper = vornToUpper(piece.substr(0, 6));
    std::string base = m_playlistUrl.hostWithPort(true, true);
    if (upper.starts_with("HTTP:") || upper.starts_with("HTTPS:"))
        url.assign(piece);
    else if (piece.starts_with("//"))
        url.assign(m_playlistUrl.scheme() + ":" + piece); // a reference to another host
    else if (piece.starts_with("/"))
        url.assign(base + piece);
    else
        url.assign(base + m_playlistUrl.directoryOrRoot() + piece);
}
