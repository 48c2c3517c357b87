#pragma once

#include "mkv/VornBlockEntry.h"

#include <cstdint>
#include <vector>

// One Cluster of a WebM input. Its blocks exist only between a parse and the release that follows.
struct VornClusterEntry {
    int64_t elementStart = 0;
    int64_t dataStart = 0;
    uint64_t dataSize = 0;
    uint8_t trackNumber = 0;
    uint64_t timecode = 0;
    bool parsed = false;
    uint64_t nextBlock = 0;
    std::vector<VornBlockEntry> blocks;
};
