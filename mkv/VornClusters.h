#pragma once

#include "mkv/VornClusterEntry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class VornMKVFile;

// The clusters of one WebM input in file order, parsed on demand. Walking them hands out every block
// once; clusters whose blocks were all handed out are released on request, so only the clusters in use
// hold block entries.
class VornClusters {
public:
    VornClusters(VornMKVFile& file, uint8_t trackType);

    void append(int64_t elementStart, int64_t dataStart, uint64_t dataSize);
    size_t count() const { return m_clusters.size(); }
    VornClusterEntry& at(size_t index) { return m_clusters.at(index); }

    // Reads the cluster's Timecode and blocks, once until released. False for a child header that cannot
    // be read or a child that runs past the cluster or the file; a corrupt block throws code 801.
    bool parse(VornClusterEntry& cluster);
    // Frees the cluster's block entries; a later parse reads them again.
    void release(VornClusterEntry& cluster);

    // The next block of the walk over all clusters, none after the last one or at a cluster that does
    // not parse (the walk ends there).
    std::optional<VornBlockEntry> nextBlock();
    // Releases the clusters the walk has finished with.
    void releaseConsumed();

    // The BlockGroup children a player needs that the output takes over byte for byte: the references
    // that make a frame a delta frame, and the additions (such as a VP9 alpha channel).
    static bool copiedGroupChild(uint32_t id);

private:
    bool parseChild(VornClusterEntry& cluster, uint32_t id, int64_t position, uint64_t size);
    VornBlockEntry buildBlock(uint32_t id, int64_t position, uint64_t size, uint64_t clusterTimecode);
    void readBlockGroup(int64_t position, uint64_t size, VornBlockEntry& block);
    void readBlockHeader(int64_t position, uint64_t size, VornBlockEntry& block);

    VornMKVFile& m_file;
    uint8_t m_trackType;
    std::vector<VornClusterEntry> m_clusters;
    size_t m_current = 0;
    bool m_exhausted = false;
    std::vector<size_t> m_consumed;
};
