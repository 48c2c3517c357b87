#pragma once

#include <cstdint>
#include <string>

class VornSegment;
class VornSegmentHost;
class VornSegmentManager;

// Joins the completed segment files, in file order, into the target file in its category folder.
// Copies exactly each segment's length, so a segment file that grew past its range never leaks into
// the result; syncs the target before reporting success (the segment files are deleted afterwards);
// and removes a half-written target when the merge fails or is cancelled.
class VornSegmentMerge {
public:
    explicit VornSegmentMerge(VornSegmentManager& manager);

    bool Run();
    // The folder the target file lands in (destination + category subfolder), ending with a separator.
    std::wstring TargetFolder() const;

private:
    enum Outcome { MERGE_DONE, MERGE_ALREADY_DONE, MERGE_FAILED };

    Outcome PrepareTarget(std::string& targetPath, const VornSegment& first);
    int OpenTarget(const std::string& targetPath, const VornSegment& first);
    static bool SameFile(const std::string& a, const std::string& b);
    const VornSegment* FirstRange() const;
    bool CopySegments(int target, const VornSegment* first);
    void LinkedProgress(const VornSegment& segment);
    bool CopySegment(int target, const VornSegment& segment);
    bool CopyBlock(int source, int target, int64_t& offset, size_t size);

    VornSegmentManager& m_manager;
    VornSegmentHost& m_engine;
    int64_t m_copied = 0;
    // The first range when its file became the target itself.
    const VornSegment* m_linked = nullptr;
};
