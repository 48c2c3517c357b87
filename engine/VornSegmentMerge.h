#pragma once

#include <cstdint>
#include <string>

class VornSegmentManager;
class VornSegmentHost;

// Joins the completed segment files, in file order, into the target file in its category folder.
// Copies exactly each segment's length, so a segment file that grew past its range never leaks into
// the result, and removes a half-written target when the merge fails or is cancelled.
class VornSegmentMerge {
public:
    explicit VornSegmentMerge(VornSegmentManager& manager);

    bool Run();
    // The folder the target file lands in (destination + category subfolder), ending with a separator.
    std::wstring TargetFolder() const;

private:
    bool PrepareTarget(std::wstring& targetPath);
    bool CopySegments(int fd);
    bool CopySegment(int fd, const class VornSegment& segment);
    void ReportProgress();

    VornSegmentManager& m_manager;
    VornSegmentHost& m_engine;
    int64_t m_copied = 0;
};
