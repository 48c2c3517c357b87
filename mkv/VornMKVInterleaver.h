#pragma once

#include "mkv/VornBlockEntry.h"
#include "mkv/VornCuePoint.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class VornMKVWriter;
class VornMuxReporter;
class VornWebmReader;

// Writes the output clusters: the video clusters in input order, each audio block placed after the
// video block whose time it reaches and retimed against the cluster it lands in. Audio left when the
// video ends goes at the end; audio that ends early leaves the later clusters silent.
class VornMKVInterleaver {
public:
    VornMKVInterleaver(VornMKVWriter& output, VornWebmReader& video, VornWebmReader& audio,
                       int64_t segmentDataStart, std::vector<VornCuePoint>& cuePoints,
                       VornMuxReporter* reporter);

    // False when a video cluster does not parse; the clusters written before it stay. A corrupt block
    // throws code 801.
    bool writeClusters();

private:
    struct Item {
        VornBlockEntry block;
        // In ticks of the output's timecode scale.
        int64_t time = 0;
        bool video = false;
        bool cue = false;
    };

    bool writeVideoCluster(size_t index, bool last);
    void takeAudio(int64_t untilTime, bool untilEnd);
    void add(const Item& item);
    void closeCluster();
    uint64_t blockSize(const Item& item) const;
    void writeBlock(const Item& item, int16_t relative);
    void copyGroupChildren(VornWebmReader& input, const VornBlockEntry& block);
    int64_t audioTicks(int64_t ticks) const;
    // Whether a block at time lies within a 16-bit timecode of the cluster; wide enough that hostile
    // times at the ends of the range cannot overflow.
    static bool fits(int64_t time, int64_t clusterTime) {
        const __int128 relative = static_cast<__int128>(time) - clusterTime;
        return relative >= INT16_MIN && relative <= INT16_MAX;
    }

    VornMKVWriter& m_output;
    VornWebmReader& m_video;
    VornWebmReader& m_audio;
    int64_t m_segmentDataStart;
    std::vector<VornCuePoint>& m_cuePoints;
    VornMuxReporter* m_reporter;
    // The output cluster being gathered and its timecode.
    std::vector<Item> m_pending;
    int64_t m_clusterTime = 0;
};
