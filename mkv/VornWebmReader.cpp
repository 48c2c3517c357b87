#include "mkv/VornWebmReader.h"

#include "base/VornException.h"
#include "mkv/VornMatroskaIds.h"

#include <algorithm>

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
        return parseFraming() && parseSegmentChildren();
    } catch (const VornException&) {
        return false;
    }
}

bool VornWebmReader::parseFraming() {
    int64_t position = 0;
    uint32_t id = 0;
    uint64_t size = 0;
    if (!readElementHeader(position, id, size) || id != ID_EBML)
        return false;
    position += static_cast<int64_t>(size);
    if (!readElementHeader(position, id, size))
        return false;
    if (id == ID_VOID) {
        position += static_cast<int64_t>(size);
        if (!readElementHeader(position, id, size))
            return false;
    }
    if (id != ID_SEGMENT)
        return false;
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
        if (!readElementHeader(position, id, size) || !endsBy(position, size, m_segmentEnd))
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
    return m_duration > 0;
}

bool VornWebmReader::parseTracks(int64_t position, uint64_t size) {
    const int64_t end = position + static_cast<int64_t>(size);
    uint32_t id = 0;
    uint64_t childSize = 0;
    if (!readElementHeader(position, id, childSize) || !endsBy(position, childSize, end))
        return false;
    if (id == ID_VOID) {
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
