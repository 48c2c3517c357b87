#include "mkv/VornWebmReader.h"

#include "base/VornException.h"
#include "mkv/VornMatroskaIds.h"

#include <algorithm>
#include <cstdint>

using namespace vornmkv;

namespace {

// Whether a child whose data starts at position, with the given size, ends by end.
bool endsBy(int64_t position, uint64_t size, int64_t end) {
    return position <= end && size <= static_cast<uint64_t>(end - position);
}

} // namespace

VornWebmReader::VornWebmReader(const std::wstring& path, uint32_t expectedTrackType)
    : VornMKVFile(path, false), m_expectedTrackType(expectedTrackType),
      m_clusters(*this, static_cast<uint8_t>(expectedTrackType)) {}

bool VornWebmReader::parse() {
    try {
        if (!parseFraming())
            return false;
        const bool walked = parseSegmentChildren();
        // A live stream, or one whose download was cut short, never got its Duration written.
        if (m_duration <= 0)
            m_duration = durationFromBlocks();
        return walked && m_duration > 0;
    } catch (const VornException&) {
        return false;
    }
}

bool VornWebmReader::parseFraming() {
    int64_t position = 0;
    uint32_t id = 0;
    uint64_t size = 0;
    if (!readElementHeader(position, id, size) || id != ID_EBML || size == UNKNOWN_SIZE)
        return false;
    position += static_cast<int64_t>(size);
    if (!readElementHeader(position, id, size))
        return false;
    if (id == ID_VOID) {
        if (size == UNKNOWN_SIZE)
            return false;
        position += static_cast<int64_t>(size);
        if (!readElementHeader(position, id, size))
            return false;
    }
    if (id != ID_SEGMENT)
        return false;
    // A Segment written as a stream has no size: it runs to the end of the file.
    if (size == UNKNOWN_SIZE)
        size = fileSize() - static_cast<uint64_t>(position);
    m_segmentDataStart = position;
    m_segmentSize = size;
    m_segmentEnd = position + static_cast<int64_t>(size);
    return true;
}

bool VornWebmReader::parseSegmentChildren() {
    int64_t position = m_segmentDataStart;
    while (position < m_segmentEnd) {
        const int64_t elementStart = position;
        uint32_t id = 0;
        uint64_t size = 0;
        if (!readElementHeader(position, id, size))
            return false;
        if (id == ID_CLUSTER && size == UNKNOWN_SIZE)
            size = unknownClusterSize(position);
        if (!endsBy(position, size, m_segmentEnd))
            return false;
        // A child cut off by the end of the file is the tail of an unfinished download.
        if (!endsBy(position, size, static_cast<int64_t>(fileSize())))
            return false;
        if (id == ID_CLUSTER)
            m_clusters.append(elementStart, position, size);
        else if (id == ID_INFO && !parseInfo(position, size))
            return false;
        else if (id == ID_TRACKS && !parseTracks(position, size))
            return false;
        position += static_cast<int64_t>(size);
    }
    // A Segment without Info has no duration, one without Tracks no stream description.
    return m_sawInfo && m_trackEntryRead;
}

uint64_t VornWebmReader::unknownClusterSize(int64_t dataStart) {
    const int64_t limit = std::min<int64_t>(m_segmentEnd, static_cast<int64_t>(fileSize()));
    int64_t position = dataStart;
    // The cluster ends where an element that cannot be its child begins, or where its children stop
    // fitting (the tail of the stream); that element is then read as the Segment's.
    while (position < limit) {
        int64_t childPosition = position;
        uint32_t id = 0;
        uint64_t size = 0;
        if (!readElementHeader(childPosition, id, size) || isSegmentLevel(id) ||
            !endsBy(childPosition, size, limit))
            break;
        position = childPosition + static_cast<int64_t>(size);
    }
    return static_cast<uint64_t>(position - dataStart);
}

bool VornWebmReader::isSegmentLevel(uint32_t id) {
    switch (id) {
    case ID_CLUSTER:
    case ID_CUES:
    case ID_TAGS:
    case ID_SEEK_HEAD:
    case ID_INFO:
    case ID_TRACKS:
    case ID_CHAPTERS:
    case ID_ATTACHMENTS:
    case ID_EBML:
    case ID_SEGMENT:
        return true;
    default:
        return false;
    }
}

double VornWebmReader::durationFromBlocks() {
    // The end of the last frame: its time plus its duration, or the track's frame duration.
    const uint64_t frameTicks = m_defaultDuration / m_timecodeScale;
    for (size_t index = m_clusters.count(); index-- > 0;) {
        VornClusterEntry& cluster = m_clusters.at(index);
        int64_t end = 0;
        bool found = false;
        try {
            if (m_clusters.parse(cluster)) {
                for (const VornBlockEntry& block : cluster.blocks) {
                    const uint64_t ticks = block.blockDuration != 0 ? block.blockDuration : frameTicks;
                    const int64_t length = static_cast<int64_t>(std::min<uint64_t>(ticks, uint64_t{1} << 40));
                    // Saturating: the time of a hostile block may lie at the top of the range.
                    const int64_t blockEnd = block.absoluteTimecode > INT64_MAX - length
                                                 ? INT64_MAX
                                                 : block.absoluteTimecode + length;
                    end = std::max(end, blockEnd);
                    found = true;
                }
            }
        } catch (const VornException&) {
            // A corrupt last cluster: the one before it still tells the length.
        }
        m_clusters.release(cluster);
        if (found)
            return static_cast<double>(end);
    }
    return 0;
}

bool VornWebmReader::parseInfo(int64_t position, uint64_t size) {
    m_sawInfo = true;
    const int64_t end = position + static_cast<int64_t>(size);
    while (position < end) {
        uint32_t id = 0;
        uint64_t childSize = 0;
        if (!readElementHeader(position, id, childSize) || !endsBy(position, childSize, end))
            break;
        if (id == ID_DURATION &&
            !readFloat(position, static_cast<int>(std::min<uint64_t>(childSize, 9)), m_duration))
            return false;
        if (id == ID_TIMECODE_SCALE)
            readUnsignedPayload(position, childSize, m_timecodeScale);
        position += static_cast<int64_t>(childSize);
    }
    if (m_timecodeScale == 0)
        m_timecodeScale = DEFAULT_TIMECODE_SCALE;
    // Without a Duration the length is taken from the blocks once the clusters are known.
    if (m_duration < 0)
        m_duration = 0;
    return true;
}

bool VornWebmReader::parseTracks(int64_t position, uint64_t size) {
    const int64_t end = position + static_cast<int64_t>(size);
    uint32_t id = 0;
    uint64_t childSize = 0;
    if (!readElementHeader(position, id, childSize) || !endsBy(position, childSize, end))
        return false;
    // Matroska writers put a CRC-32 first in a master element; a Void may stand there as well.
    while (id == ID_VOID || id == ID_CRC32) {
        position += static_cast<int64_t>(childSize);
        if (!readElementHeader(position, id, childSize) || !endsBy(position, childSize, end))
            return false;
    }
    return id == ID_TRACK_ENTRY && parseTrackEntry(position, childSize);
}

bool VornWebmReader::parseTrackEntry(int64_t position, uint64_t size) {
    const int64_t end = position + static_cast<int64_t>(size);
    // Without a TrackType nothing says the input holds the kind of stream it is muxed as.
    bool sawType = false;
    while (position < end) {
        uint32_t id = 0;
        uint64_t childSize = 0;
        if (!readElementHeader(position, id, childSize) || !endsBy(position, childSize, end))
            return false;
        if (!readTrackChild(id, position, childSize, sawType))
            return false;
        position += static_cast<int64_t>(childSize);
    }
    m_trackEntryRead = sawType;
    return sawType;
}

bool VornWebmReader::readTrackChild(uint32_t id, int64_t position, uint64_t size, bool& sawType) {
    switch (id) {
    case ID_TRACK_TYPE: {
        uint64_t type = 0;
        sawType = true;
        return readUnsignedPayload(position, size, type) && type == m_expectedTrackType;
    }
    case ID_DEFAULT_DURATION:
        readUnsignedPayload(position, size, m_defaultDuration);
        return true;
    case ID_CODEC_DELAY:
        readUnsignedPayload(position, size, m_codecDelay);
        return true;
    case ID_SEEK_PRE_ROLL:
        readUnsignedPayload(position, size, m_seekPreRoll);
        return true;
    case ID_FLAG_LACING:
        readUnsignedPayload(position, size, m_flagLacing);
        return true;
    case ID_CODEC_ID:
        return readString(position, size, m_codecId);
    case ID_CODEC_PRIVATE:
        m_codecPrivate = {position, size};
        return true;
    case ID_VIDEO:
        m_videoSettings = {position, size};
        return true;
    case ID_AUDIO:
        m_audioSettings = {position, size};
        return true;
    case ID_CONTENT_ENCODINGS:
        m_contentEncodings = {position, size};
        return true;
    default:
        return true;
    }
}
