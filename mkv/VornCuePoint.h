#pragma once

#include <cstdint>

// A seek target of the output: a video key frame that begins a cluster.
struct VornCuePoint {
    uint64_t cueTime = 0;
    // Relative to the Segment's data start.
    uint64_t clusterPosition = 0;
    uint64_t track = 0;
};
