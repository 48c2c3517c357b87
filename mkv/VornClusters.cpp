#include "mkv/VornClusters.h"

#include "base/VornException.h"
#include "mkv/VornMKVFile.h"
#include "mkv/VornMatroskaIds.h"

#include <utility>

using namespace vornmkv;

namespace {

// "Failed to parse Webm file"
[[noreturn]] void throwCorrupt(int line) {
    throw VornException(VornError(801, 0), nullptr, line, __FILE__);
}

} // namespace

VornClusters::VornClusters(VornMKVFile& file, uint8_t trackType) : m_file(file), m_trackType(trackType) {}

void VornClusters::append(int64_t elementStart, int64_t dataStart, uint64_t dataSize) {
    VornClusterEntry cluster;
    cluster.elementStart = elementStart;
    cluster.dataStart = dataStart;
    cluster.dataSize = dataSize;
    cluster.trackNumber = m_trackType;
    m_clusters.push_back(std::move(cluster));
}

bool VornClusters::parse(VornClusterEntry& cluster) {
    if (cluster.parsed)
        return true;
    release(cluster);
    const int64_t end = cluster.dataStart + static_cast<int64_t>(cluster.dataSize);
    int64_t position = cluster.dataStart;
    while (position < end) {
        uint32_t id = 0;
        uint64_t size = 0;
        bool fits = m_file.readElementHeader(position, id, size) &&
                    size <= static_cast<uint64_t>(end - position) &&
                    size <= m_file.fileSize() - static_cast<uint64_t>(position);
        // A block that would end past the file is the tail of a broken download, not a frame.
        if (!fits || !parseChild(cluster, id, position, size)) {
            release(cluster);
            return false;
        }
        position += static_cast<int64_t>(size);
    }
    cluster.parsed = true;
    return true;
}

bool VornClusters::parseChild(VornClusterEntry& cluster, uint32_t id, int64_t position, uint64_t size) {
    if (id == ID_TIMECODE)
        return m_file.readUnsignedPayload(position, size, cluster.timecode);
    if (id == ID_SIMPLE_BLOCK || id == ID_BLOCK_GROUP)
        cluster.blocks.push_back(buildBlock(id, position, size, cluster.timecode));
    return true;
}

void VornClusters::release(VornClusterEntry& cluster) {
    std::vector<VornBlockEntry>().swap(cluster.blocks);
    cluster.parsed = false;
    cluster.nextBlock = 0;
}

VornBlockEntry VornClusters::buildBlock(uint32_t id, int64_t position, uint64_t size,
                                        uint64_t clusterTimecode) {
    VornBlockEntry block;
    block.elementId = id;
    block.trackNumber = m_trackType;
    if (id == ID_SIMPLE_BLOCK)
        readBlockHeader(position, size, block);
    else
        readBlockGroup(position, size, block);
    // Inside a Block the top flag bit is reserved: a group's frame is a key frame when it refers to
    // no other frame.
    block.keyframe = id == ID_SIMPLE_BLOCK ? (block.flags & 0x80) != 0 : !block.referenced;
    // Wrapping arithmetic: a hostile cluster timecode near the top of the range must not overflow.
    block.absoluteTimecode =
        static_cast<int64_t>(clusterTimecode + static_cast<uint64_t>(int64_t{block.relativeTimecode}));
    return block;
}

void VornClusters::readBlockGroup(int64_t position, uint64_t size, VornBlockEntry& block) {
    const int64_t end = position + static_cast<int64_t>(size);
    block.groupPosition = position;
    block.groupSize = size;
    bool haveBlock = false;
    while (position < end) {
        const int64_t childStart = position;
        uint32_t id = 0;
        uint64_t childSize = 0;
        if (!m_file.readElementHeader(position, id, childSize) ||
            childSize > static_cast<uint64_t>(end - position))
            throwCorrupt(__LINE__);
        if (id == ID_BLOCK_DURATION && !m_file.readUnsignedPayload(position, childSize, block.blockDuration))
            throwCorrupt(__LINE__);
        if (id == ID_DISCARD_PADDING && !m_file.readSignedPayload(position, childSize, block.discardPadding))
            throwCorrupt(__LINE__);
        if (id == ID_BLOCK && !haveBlock) {
            readBlockHeader(position, childSize, block);
            haveBlock = true;
        }
        position += static_cast<int64_t>(childSize);
        if (copiedGroupChild(id))
            block.copiedSize += static_cast<uint64_t>(position - childStart);
        if (id == ID_REFERENCE_BLOCK)
            block.referenced = true;
    }
    // A group without its Block would be written as a frame with no header.
    if (!haveBlock)
        throwCorrupt(__LINE__);
}

void VornClusters::readBlockHeader(int64_t position, uint64_t size, VornBlockEntry& block) {
    uint64_t storedTrack = 0;
    int length = 0;
    if (!m_file.readSize(position, storedTrack, length))
        throwCorrupt(__LINE__);
    const uint64_t headerSize = static_cast<uint64_t>(length) + 3;
    // Shorter than its own header: the frame size would wrap round.
    if (size < headerSize)
        throwCorrupt(__LINE__);
    uint8_t flags = 0;
    if (!m_file.readSigned16(position + length, block.relativeTimecode) ||
        !m_file.readBytes(position + length + 2, 1, &flags))
        throwCorrupt(__LINE__);
    block.flags = flags;
    block.dataPosition = position + static_cast<int64_t>(headerSize);
    block.dataSize = size - headerSize;
}

std::optional<VornBlockEntry> VornClusters::nextBlock() {
    while (!m_exhausted && m_current < m_clusters.size()) {
        VornClusterEntry& cluster = m_clusters[m_current];
        if (!cluster.parsed && !parse(cluster)) {
            m_exhausted = true;
            ++m_current;
            return std::nullopt;
        }
        if (cluster.nextBlock < cluster.blocks.size())
            return cluster.blocks[cluster.nextBlock++];
        m_consumed.push_back(m_current);
        ++m_current;
    }
    return std::nullopt;
}

bool VornClusters::copiedGroupChild(uint32_t id) {
    return id == ID_REFERENCE_BLOCK || id == ID_BLOCK_ADDITIONS;
}

void VornClusters::releaseConsumed() {
    for (size_t index : m_consumed)
        release(m_clusters[index]);
    m_consumed.clear();
}
