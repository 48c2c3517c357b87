#pragma once

#include <cstdint>

// A seek target of the output: a video key frame.
struct VornCuePoint {
    uint64_t cueTime = 0;
    // Relative to the Segment's data start.
    uint64_t clusterPosition = 0;
    uint64_t track = 0;
    // The frame's block, relative to its cluster's data start.
    uint64_t relativePosition = 0;
};
