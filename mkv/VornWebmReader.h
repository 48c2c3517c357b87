#pragma once

#include "mkv/VornClusters.h"
#include "mkv/VornMKVFile.h"

#include <cstdint>
#include <optional>
#include <string>

// Where an element's payload lies in the input; size 0 when the element is absent.
struct VornPayloadRef {
    int64_t position = 0;
    uint64_t size = 0;
};

// Reads one single-track WebM input: the EBML framing, the Segment's Info and first TrackEntry, and the
// list of its clusters, whose blocks are read only when asked for. Media data is never copied: blocks
// are positions and sizes in this file.
class VornWebmReader : public VornMKVFile {
public:
    static constexpr uint32_t TRACK_TYPE_VIDEO = 1;
    static constexpr uint32_t TRACK_TYPE_AUDIO = 2;
    static constexpr uint64_t DEFAULT_TIMECODE_SCALE = 1000000;

    // Opens the file; nothing is parsed yet.
    VornWebmReader(const std::wstring& path, uint32_t expectedTrackType);

    // Reads the framing, Info, Tracks and the cluster list. Never throws; on false the clusters found
    // before the failure stay in the list.
    bool parse();
    size_t clusterCount() const { return m_clusters.count(); }
    VornClusterEntry& cluster(size_t index) { return m_clusters.at(index); }
    // Throws code 801 on a corrupt block.
    bool parseCluster(VornClusterEntry& cluster) { return m_clusters.parse(cluster); }
    void releaseCluster(VornClusterEntry& cluster) { m_clusters.release(cluster); }
    std::optional<VornBlockEntry> nextBlock() { return m_clusters.nextBlock(); }
    void releaseConsumedClusters() { m_clusters.releaseConsumed(); }

    uint32_t expectedTrackType() const { return m_expectedTrackType; }
    uint64_t timecodeScale() const { return m_timecodeScale; }
    double duration() const { return m_duration; }
    uint64_t defaultDuration() const { return m_defaultDuration; }
    uint64_t flagLacing() const { return m_flagLacing; }
    uint64_t codecDelay() const { return m_codecDelay; }
    uint64_t seekPreRoll() const { return m_seekPreRoll; }
    const std::string& codecId() const { return m_codecId; }
    const VornPayloadRef& codecPrivate() const { return m_codecPrivate; }
    const VornPayloadRef& videoSettings() const { return m_videoSettings; }
    const VornPayloadRef& audioSettings() const { return m_audioSettings; }
    const VornPayloadRef& contentEncodings() const { return m_contentEncodings; }
    int64_t segmentDataStart() const { return m_segmentDataStart; }
    uint64_t segmentSize() const { return m_segmentSize; }
    int64_t segmentEnd() const { return m_segmentEnd; }
    // Whether the first TrackEntry was read and matched the expected type.
    bool trackEntryRead() const { return m_trackEntryRead; }

private:
    bool parseFraming();
    bool parseSegmentChildren();
    // The extent of a Cluster written with an unknown size.
    uint64_t unknownClusterSize(int64_t dataStart);
    static bool isSegmentLevel(uint32_t id);
    double durationFromBlocks();
    bool parseInfo(int64_t position, uint64_t size);
    bool parseTracks(int64_t position, uint64_t size);
    bool parseTrackEntry(int64_t position, uint64_t size);
    bool readTrackChild(uint32_t id, int64_t position, uint64_t size, bool& sawType);

    uint32_t m_expectedTrackType;
    VornClusters m_clusters;
    uint64_t m_timecodeScale = DEFAULT_TIMECODE_SCALE;
    double m_duration = 0;
    uint64_t m_defaultDuration = 0;
    uint64_t m_flagLacing = 0;
    uint64_t m_codecDelay = 0;
    uint64_t m_seekPreRoll = 0;
    std::string m_codecId;
    VornPayloadRef m_codecPrivate;
    VornPayloadRef m_videoSettings;
    VornPayloadRef m_audioSettings;
    VornPayloadRef m_contentEncodings;
    int64_t m_segmentDataStart = 0;
    uint64_t m_segmentSize = 0;
    int64_t m_segmentEnd = 0;
    bool m_sawInfo = false;
    bool m_trackEntryRead = false;
};
