#pragma once

#include <cstdint>
#include <string>

class VornSegment;
class VornSegmentHost;
class VornSegmentManager;

// Ends a download whose ranges are all complete. Normally the work file becomes the target file in its
// category folder by a rename (no byte copied); where the folder lies on another file system it is
// copied once, in the kernel, with progress, and may be stopped. Playlist pieces, each in a file of its
// own, are joined in order into the target. Either way the target is synced before success is reported,
// a half-written target is removed when the end fails or is stopped, and the work files stay for a retry.
class VornSegmentMerge {
public:
    explicit VornSegmentMerge(VornSegmentManager& manager);

    bool Run();

private:
    enum Outcome { MERGE_DONE, MERGE_ALREADY_DONE, MERGE_FAILED };

    Outcome PrepareTarget(std::string& targetPath);
    bool AllRangesComplete();
    bool FinishWorkFile(const std::string& targetPath);
    bool MoveWorkFile(const std::string& from, std::string& targetPath);
    bool CopyWorkFile(const std::string& targetPath);
    bool JoinPieces(const std::string& targetPath);
    bool CopyRange(int source, int target, int64_t from, int64_t length, bool eachBlock);
    bool CopyBlock(int source, int target, int64_t& offset, size_t size);
    void ReportIncomplete(const VornSegment& segment, int64_t remaining);

    VornSegmentManager& m_manager;
    VornSegmentHost& m_engine;
    int64_t m_copied = 0;
};
