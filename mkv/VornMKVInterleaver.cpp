#include "mkv/VornMKVInterleaver.h"

#include "base/VornException.h"
#include "mkv/VornEbmlSizes.h"
#include "mkv/VornMKVWriter.h"
#include "mkv/VornMatroskaIds.h"
#include "mkv/VornMuxReporter.h"
#include "mkv/VornWebmReader.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

using namespace vornmkv;

VornMKVInterleaver::VornMKVInterleaver(VornMKVWriter& output, VornWebmReader& video, VornWebmReader& audio,
                                       int64_t segmentDataStart, std::vector<VornCuePoint>& cuePoints,
                                       VornMuxReporter* reporter)
    : m_output(output), m_video(video), m_audio(audio), m_segmentDataStart(segmentDataStart),
      m_cuePoints(cuePoints), m_reporter(reporter) {}

bool VornMKVInterleaver::writeClusters() {
    const size_t count = m_video.clusterCount();
    for (size_t index = 0; index < count; ++index) {
        if (!writeVideoCluster(index, index + 1 == count) || m_output.writeFailed())
            return false;
        if (m_reporter)
            m_reporter->PostEvent(VornMuxReporter::EVENT_MUX_PROGRESS, std::to_string(index + 1));
    }
    return true;
}

bool VornMKVInterleaver::writeVideoCluster(size_t index, bool last) {
    VornClusterEntry& cluster = m_video.cluster(index);
    if (!m_video.parseCluster(cluster))
        return false;
    m_clusterTime = static_cast<int64_t>(cluster.timecode);
    // The output opens with the first audio block, ahead of the first video frame.
    if (index == 0)
        takeAudio(std::numeric_limits<int64_t>::min(), false);
    for (size_t i = 0; i < cluster.blocks.size(); ++i) {
        const VornBlockEntry& block = cluster.blocks[i];
        // Every key frame is a seek target, not only one that opens a cluster.
        add({block, block.absoluteTimecode, true, block.keyframe && block.absoluteTimecode >= 0});
        takeAudio(block.absoluteTimecode, false);
    }
    if (last)
        takeAudio(0, true);
    closeCluster();
    m_video.releaseCluster(cluster);
    m_audio.releaseConsumedClusters();
    return true;
}

void VornMKVInterleaver::takeAudio(int64_t untilTime, bool untilEnd) {
    while (std::optional<VornBlockEntry> block = m_audio.nextBlock()) {
        Item item{*block, audioTicks(block->absoluteTimecode), false, false};
        item.block.blockDuration =
            static_cast<uint64_t>(audioTicks(static_cast<int64_t>(block->blockDuration)));
        add(item);
        if (!untilEnd && item.time >= untilTime)
            break;
    }
}

void VornMKVInterleaver::add(const Item& item) {
    // A block timecode is 16 bits relative to its cluster. Where a block lies too far from the cluster
    // it would join (long audio after the video, or a gap), it opens a cluster of its own rather than
    // being written at a wrapped-round time.
    if (!fits(item.time, m_clusterTime)) {
        closeCluster();
        m_clusterTime = std::max<int64_t>(item.time, 0);
        if (!fits(item.time, m_clusterTime))
            return;
    }
    m_pending.push_back(item);
}

void VornMKVInterleaver::closeCluster() {
    if (m_pending.empty())
        return;
    const uint64_t timecode = static_cast<uint64_t>(m_clusterTime);
    uint64_t payload = unsignedElementSize(ID_TIMECODE, timecode);
    for (const Item& item : m_pending)
        payload += blockSize(item);
    const uint64_t start = static_cast<uint64_t>(m_output.outputPosition() - m_segmentDataStart);
    uint64_t relative = unsignedElementSize(ID_TIMECODE, timecode);
    for (const Item& item : m_pending) {
        if (item.cue)
            m_cuePoints.push_back({static_cast<uint64_t>(item.time), start, 1, relative});
        relative += blockSize(item);
    }
    m_output.writeMasterHeader(ID_CLUSTER, payload);
    m_output.writeUnsignedElement(ID_TIMECODE, timecode);
    for (const Item& item : m_pending)
        writeBlock(item, static_cast<int16_t>(item.time - m_clusterTime));
    m_pending.clear();
    m_audio.releaseConsumedClusters();
}

namespace {

uint64_t groupPayload(const VornBlockEntry& block) {
    uint64_t payload = elementSize(ID_BLOCK, block.dataSize + 4) + block.copiedSize;
    if (block.blockDuration != 0)
        payload += unsignedElementSize(ID_BLOCK_DURATION, block.blockDuration);
    if (block.discardPadding != 0)
        payload += static_cast<uint64_t>(idLength(ID_DISCARD_PADDING) + 1 +
                                         VornMKVWriter::signedLength(block.discardPadding));
    return payload;
}

} // namespace

uint64_t VornMKVInterleaver::blockSize(const Item& item) const {
    if (item.block.elementId == ID_BLOCK_GROUP)
        return elementSize(ID_BLOCK_GROUP, groupPayload(item.block));
    return elementSize(ID_SIMPLE_BLOCK, item.block.dataSize + 4);
}

void VornMKVInterleaver::writeBlock(const Item& item, int16_t relative) {
    const VornBlockEntry& block = item.block;
    if (block.elementId == ID_BLOCK_GROUP) {
        m_output.writeMasterHeader(ID_BLOCK_GROUP, groupPayload(block));
        if (block.blockDuration != 0)
            m_output.writeUnsignedElement(ID_BLOCK_DURATION, block.blockDuration);
        if (block.discardPadding != 0)
            m_output.writeSignedElement(ID_DISCARD_PADDING, block.discardPadding);
        m_output.writeMasterHeader(ID_BLOCK, block.dataSize + 4);
    } else {
        m_output.writeMasterHeader(ID_SIMPLE_BLOCK, block.dataSize + 4);
    }
    m_output.writeSize(item.video ? VornWebmReader::TRACK_TYPE_VIDEO : VornWebmReader::TRACK_TYPE_AUDIO, 1);
    m_output.writeUnsigned(static_cast<uint16_t>(relative), 2);
    m_output.writeUnsigned(block.flags, 1);
    VornWebmReader& input = item.video ? m_video : m_audio;
    if (block.dataSize > 0)
        m_output.copyFrom(input, block.dataPosition, block.dataSize);
    if (block.elementId == ID_BLOCK_GROUP && block.copiedSize > 0)
        copyGroupChildren(input, block);
}

void VornMKVInterleaver::copyGroupChildren(VornWebmReader& input, const VornBlockEntry& block) {
    // The group was walked when its cluster was parsed; walking it again finds the same children, and
    // anything else would leave the cluster's size wrong, so it counts as a corrupt input.
    const int64_t end = block.groupPosition + static_cast<int64_t>(block.groupSize);
    int64_t position = block.groupPosition;
    uint64_t left = block.copiedSize;
    while (position < end && left > 0) {
        const int64_t childStart = position;
        uint32_t id = 0;
        uint64_t size = 0;
        if (!input.readElementHeader(position, id, size) || size > static_cast<uint64_t>(end - position))
            VORN_THROW(801, 0, nullptr);
        position += static_cast<int64_t>(size);
        if (!VornClusters::copiedGroupChild(id))
            continue;
        const uint64_t length = static_cast<uint64_t>(position - childStart);
        if (length > left)
            VORN_THROW(801, 0, nullptr);
        m_output.copyFrom(input, childStart, length);
        left -= length;
    }
    if (left != 0)
        VORN_THROW(801, 0, nullptr);
}

int64_t VornMKVInterleaver::audioTicks(int64_t ticks) const {
    const uint64_t from = m_audio.timecodeScale();
    const uint64_t to = m_video.timecodeScale();
    if (from == to)
        return ticks;
    // The output counts in the video's ticks; audio written with another scale would drift.
    __int128 nanoseconds = static_cast<__int128>(ticks) * from;
    __int128 half = to / 2;
    __int128 scaled = nanoseconds >= 0 ? (nanoseconds + half) / to : -((-nanoseconds + half) / to);
    scaled = std::clamp<__int128>(scaled, std::numeric_limits<int64_t>::min() / 2,
                                  std::numeric_limits<int64_t>::max() / 2);
    return static_cast<int64_t>(scaled);
}
