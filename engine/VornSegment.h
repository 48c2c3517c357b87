#pragma once

#include "engine/VornEngineTypes.h"

#include <cstdint>
#include <string>

class VornSegmentManager;
class VornSegmentClient;

// While the file size is unknown the (only) segment ends here.
inline constexpr int64_t UNKNOWN_SEGMENT_END = UNKNOWN_FILE_SIZE - 1;

enum VornSegmentStatus : int32_t { SEGMENT_ACTIVE = 0, SEGMENT_PENDING = 1, SEGMENT_COMPLETED = 2 };

// One byte range of the target file with its progress. Its bytes go into the download's work file at the
// range's offsets; a playlist piece, whose place in the file is unknown until the pieces before it are
// complete, has a segment file of its own: "seg.x" + file number in the temporary folder.
class VornSegment {
public:
    VornSegment(VornSegmentManager* manager, uint16_t fileNumber, int64_t start, int64_t end, int32_t next,
                std::string pieceUrl = {});
    virtual ~VornSegment() = default;

    std::wstring SegmentFilePath() const;
    // Counts n freshly written bytes; true when the segment is now complete.
    bool AddProgress(int64_t n);
    void SetStatus(int32_t status, bool fromProgress);
    void SetEnd(int64_t end, bool persist);
    void SetProgress(int64_t received, int32_t status);
    // A non-null connection takes the segment; null is the connection's close letting go of it.
    void Attach(VornSegmentClient* connection);
    // The attached connection's id text, or a single blank.
    std::string ConnectionNumberText() const;

    int64_t RemainingBytes() const { return m_length - m_received; }
    bool IsCompleted() const { return m_status == SEGMENT_COMPLETED; }

    int32_t m_reportFlag = 1;
    std::string m_pieceUrl;
    int64_t m_start = 0;
    int64_t m_received = 0;
    // The part of received that the table holds: never more than has been flushed to the disk.
    int64_t m_stored = 0;
    int64_t m_end = 0;
    int64_t m_length = 0;
    uint16_t m_fileNumber = 0;
    uint16_t m_index = 0;
    int32_t m_next = -1;
    int32_t m_status = SEGMENT_PENDING;
    VornSegmentManager* m_manager = nullptr;
    VornSegmentClient* m_connection = nullptr;

private:
    void DetachConnection();
};
