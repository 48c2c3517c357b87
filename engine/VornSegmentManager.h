#pragma once

#include "base/VornUrl.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentTable.h"
#include "engine/VornWorkFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class VornSegmentHost;

// Decides which connection downloads which bytes: one segment for the whole file at first, then the
// second half of the largest remaining range for each further connection. Every range is written into
// one work file at its offsets; the segment table on disk records each range's flushed progress so a
// stopped download resumes, and the work file is renamed to the target at the end (playlist pieces, in
// files of their own, are joined instead). Runs on the engine thread only.
class VornSegmentManager {
public:
    // Thresholds in bytes; pair-mode downloads use the larger ones.
    static constexpr int64_t WORK_UNIT = 0x3A000;
    static constexpr int64_t WORK_UNIT_PAIR = 0x88000;
    static constexpr int64_t MIN_SPLIT_SIZE = 0x32000;
    static constexpr int64_t MIN_SPLIT_SIZE_PAIR = 0x80000;
    static constexpr int64_t ROLLBACK_WINDOW = 65536;
    static constexpr int64_t MERGE_BLOCK = 65536;
    static constexpr size_t SEGMENT_LIMIT = 25000;
    // How often the work file is flushed so the table may claim what was written since (see Flush).
    static constexpr int64_t FLUSH_INTERVAL_MS = 2000;

    enum AssignResult { ASSIGN_OK = 0, ASSIGN_NO_WORK = 1, ASSIGN_ERROR = 2 };

    // Both folders end with a path separator.
    VornSegmentManager(VornSegmentHost* engine, std::wstring temporaryFolder, std::wstring destinationFolder,
                       bool pairMode);
    virtual ~VornSegmentManager();
    VornSegmentManager(const VornSegmentManager&) = delete;
    VornSegmentManager& operator=(const VornSegmentManager&) = delete;

    // Work for a connection that is ready to send its request.
    int AssignSegment(VornSegment*& segment);
    bool CanSplit() const;
    int64_t UsefulConnections() const;
    int PickSegmentToSplit() const;
    // Connections that start together share what is left evenly: every range with more than its share
    // left keeps one share and the rest becomes pending ranges of about a share each, cut on 4 KiB
    // boundaries, stored with one table write. Returns the number of ranges added.
    int CutEvenly(int connections);
    static constexpr int64_t CUT_ALIGNMENT = 4096;
    // Gives the range of a segment that received nothing to the segment before it in the file.
    void RollBackSegment(VornSegment* segment);
    // A connection close to its end swallows the next range when that range has not started.
    void SpecialRollBack(VornSegment* segment);
    void SetFileSize(int64_t size);
    bool CheckFinished();
    int64_t RemainingBytes() const;
    // TS mode: one pending segment per playlist piece.
    void CreateTsSegments(const std::vector<std::string>& pieceUrls, const VornUrl& playlistUrl,
                          const std::string& durationText, bool resuming);
    // The URL of a playlist piece, resolved against the playlist's URL.
    void PieceUrl(uint16_t index, VornUrl& url) const;
    bool MergeSegments();
    // The work file for the ranges, created on first use in the target folder (normal mode only). False
    // when it cannot be made.
    bool OpenWorkFile();
    // Descriptor of the open work file, -1 when none.
    int WorkFileHandle() const { return m_workFile->Handle(); }
    VornWorkFile& WorkFile() { return *m_workFile; }
    // Flushes the work file and stores the ranges' progress in the table when either has moved since the
    // last flush; with force even before the interval is over. False when the disk refused.
    bool Flush(bool force);
    // The folder the target file lands in (destination + category subfolder), ending with a separator.
    std::wstring TargetFolder() const;
    // A segment became complete, or (extended by a rollback) stopped being complete.
    void CountCompletion(VornSegment* segment);
    void UncountCompletion(VornSegment* segment);
    std::string ProgressReport(bool full, int64_t speed, const std::string& text);
    void Clear(bool deleteFiles);

    // The table "segments.bin" with its backup "segments.bak".
    bool SaveAll();
    bool AppendSegmentRecord(uint16_t index);
    void UpdateTsRecord(uint16_t index);
    // Restores the table of a stopped download; true when the download resumes from it.
    bool LoadSegments();

    // Bookkeeping used by segments and connections.
    void AddDownloaded(int64_t delta) { m_downloaded += delta; }
    void MarkChanged(uint16_t index);
    VornSegmentHost* Engine() const { return m_engine; }
    bool IsTsMode() const { return m_tsMode != 0; }
    bool IsPairMode() const { return m_pairMode; }
    int64_t FileSize() const { return m_fileSize; }
    int64_t DownloadedTotal() const { return m_downloaded; }
    size_t SegmentCount() const { return m_segments.size(); }
    VornSegment* Segment(size_t index) const { return m_segments[index].get(); }
    const std::vector<uint16_t>& ChangedList() const { return m_changed; }
    uint16_t CompletedCount() const { return m_completedCount; }
    int64_t CompletedBytes() const { return m_completedBytes; }
    const std::wstring& TemporaryFolder() const { return m_temporaryFolder; }
    const std::wstring& DestinationFolder() const { return m_destinationFolder; }
    const std::wstring& FileName() const { return m_fileName; }
    void SetFileName(const std::wstring& name) { m_fileName = name; }
    const std::string& DurationText() const { return m_durationText; }

private:
    int64_t WorkUnit() const { return m_pairMode ? WORK_UNIT_PAIR : WORK_UNIT; }
    int64_t MinSplitSize() const { return m_pairMode ? MIN_SPLIT_SIZE_PAIR : MIN_SPLIT_SIZE; }
    VornSegment* AddSegment(std::unique_ptr<VornSegment> segment);
    VornSegment* FirstPending() const;
    void ReusePending(VornSegment* segment);
    VornSegment* SplitSegment(VornSegment* segment);
    VornSegment* Predecessor(uint16_t index) const;
    void RemoveSegment(uint16_t index);
    void ResetReportFlags();
    void ResetTsPiece(VornSegment* segment);
    bool LoadNormal(const std::vector<VornSegmentRecord>& records);
    bool LoadTs(const std::vector<VornSegmentRecord>& records);
    bool ChainIsSound(const std::vector<VornSegmentRecord>& byIndex) const;
    bool OlderWorkFolder();
    void TrustStoredProgress();
    bool WriteTable();
    static VornSegmentRecord RecordOf(const VornSegment& segment);
    void DeleteSegmentFile(const VornSegment& segment) const;
    void DeleteStraySegmentFiles() const;
    void LogSegmentCount();

    bool m_pairMode = false;
    int64_t m_fileSize = UNKNOWN_FILE_SIZE;
    int64_t m_downloaded = 0;
    std::wstring m_temporaryFolder;
    std::wstring m_destinationFolder;
    std::wstring m_fileName;
    std::vector<std::unique_ptr<VornSegment>> m_segments;
    std::vector<uint16_t> m_changed;
    VornSegmentHost* m_engine = nullptr;
    std::unique_ptr<VornSegmentTable> m_table;
    std::unique_ptr<VornWorkFile> m_workFile;
    int64_t m_lastFlush = 0;
    int32_t m_tsMode = 0;
    uint16_t m_fileCounter = 0;
    uint16_t m_completedCount = 0;
    int64_t m_completedBytes = 0;
    VornUrl m_playlistUrl;
    std::string m_durationText;
};
