#pragma once

#include <cstdint>

// One frame of a WebM input, as positions and sizes: the media bytes stay in the input file.
struct VornBlockEntry {
    // 0xA3 (SimpleBlock) or 0xA0 (BlockGroup).
    uint32_t elementId = 0;
    int64_t dataPosition = 0;
    uint64_t dataSize = 0;
    // The reader's expected track type; the number stored in the input is only skipped.
    uint8_t trackNumber = 0;
    uint8_t flags = 0;
    int16_t relativeTimecode = 0;
    int64_t absoluteTimecode = 0;
    // A SimpleBlock's flag; in a BlockGroup, the lack of a ReferenceBlock.
    bool keyframe = false;
    // BlockGroup children, 0 when absent.
    uint64_t blockDuration = 0;
    int64_t discardPadding = 0;
    // A BlockGroup's payload in the input, and the encoded size of the children that are copied to the
    // output as they stand (ReferenceBlock, BlockAdditions).
    int64_t groupPosition = 0;
    uint64_t groupSize = 0;
    uint64_t copiedSize = 0;
    bool referenced = false;
};
