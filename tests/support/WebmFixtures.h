#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Hand-built EBML and WebM for the media tests, an independent EBML walker to check what the muxer
// wrote, and helpers that make real WebM files with ffmpeg and run the Matroska tools on a result.
namespace webmfix {

// EBML pieces as byte strings.
std::string bigEndian(uint64_t value, int bytes);
std::string ebmlId(uint32_t id);
// A size field; length 0 picks the shortest.
std::string ebmlSize(uint64_t value, int length = 0);
std::string element(uint32_t id, const std::string& payload, int sizeLength = 0);
std::string uintElement(uint32_t id, uint64_t value);
std::string floatElement(uint32_t id, double value, int bytes = 8);
std::string stringElement(uint32_t id, const std::string& text);

struct Block {
    int16_t relative = 0;
    uint8_t flags = 0x80;
    std::string data = "frame";
    // A BlockGroup with a Block instead of a SimpleBlock.
    bool group = false;
    uint64_t duration = 0;
    int64_t discardPadding = 0;
    // A group's ReferenceBlock (written when referenced) and the payload of its BlockAdditions (none
    // when empty); both follow the Block.
    bool referenced = false;
    int16_t reference = 0;
    std::string additions{};
    uint64_t storedTrack = 1;
    // Length of the stored track number's size field.
    int trackLength = 1;
};

struct Cluster {
    uint64_t timecode = 0;
    std::vector<Block> blocks;
    // Written with the all-ones size field of a live stream.
    bool unknownSize = false;
};

struct Track {
    uint64_t type = 1;
    std::string codecId = "V_VP8";
    std::string codecPrivate;
    // The payload of the Video or Audio element (by type), empty for none.
    std::string settings;
    uint64_t defaultDuration = 0;
    uint64_t codecDelay = 0;
    uint64_t seekPreRoll = 0;
    bool withType = true;
};

struct Webm {
    // 0 leaves TimecodeScale out.
    uint64_t timecodeScale = 1000000;
    // Negative leaves Duration out.
    double duration = 10000;
    Track track;
    std::vector<Cluster> clusters;
    bool voidAfterHeader = false;
    // The Segment's size field as a live stream leaves it: all ones.
    bool unknownSegmentSize = false;
};

std::string ebmlHeader(const std::string& docType = "webm");
std::string blockElement(const Block& block);
std::string clusterElement(const Cluster& cluster);
std::string infoElement(uint64_t timecodeScale, double duration);
std::string tracksElement(const Track& track);
// The whole file: EBML header, a Segment with an 8-byte size holding Info, Tracks and the clusters.
std::string buildWebm(const Webm& webm);

Webm videoWebm(const std::vector<Cluster>& clusters);
Webm audioWebm(const std::vector<Cluster>& clusters);
// Clusters of blockCount blocks each, one block every step ticks, clusterCount clusters back to back.
std::vector<Cluster> regularClusters(int clusterCount, int blockCount, int step, size_t frameSize,
                                     bool keyframes);

// Writes a long single-track WebM straight to disk, cluster by cluster, so that building it costs no
// memory: clusterCount clusters of blockCount blocks of frameSize bytes, a block every step ticks.
void writeLongWebm(const std::filesystem::path& path, const Track& track, int clusterCount, int blockCount,
                   int step, size_t frameSize);

// An element found by walking EBML bytes, with the children of the master elements Matroska defines.
struct Node {
    uint32_t id = 0;
    uint64_t start = 0;
    uint64_t dataStart = 0;
    uint64_t size = 0;
    int sizeLength = 0;
    std::vector<Node> children;

    const Node* child(uint32_t wanted) const;
    std::vector<const Node*> all(uint32_t wanted) const;
};

// Walks [start, end) of bytes; fails the calling test (and stops) where an element does not fit.
std::vector<Node> walk(const std::string& bytes, uint64_t start, uint64_t end);
uint64_t uintOf(const std::string& bytes, const Node& node);
std::string bytesOf(const std::string& bytes, const Node& node);

// A frame of the output as the tests see it: track, time relative to its cluster and flags.
struct OutputBlock {
    uint64_t track = 0;
    int16_t relative = 0;
    uint64_t clusterTimecode = 0;
    uint8_t flags = 0;
    bool group = false;
    uint64_t duration = 0;
    std::string data;
};
std::vector<OutputBlock> blocksOf(const std::string& bytes, const Node& cluster);

// Runs a shell command; the exit status and everything it printed on both streams.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult run(const std::string& command);
bool haveTool(const std::string& name);

// ffmpeg-made inputs: a video-only WebM (codec "libvpx" or "libvpx-vp9") with a key frame every
// keyInterval frames at 10 frames a second, clusters of at most clusterMs, and an audio-only WebM
// (codec "libopus" or "libvorbis"), live as below when asked. Each answers whether ffmpeg succeeded.
bool makeVideo(const std::filesystem::path& path, const std::string& codec, double seconds, int keyInterval,
               int clusterMs);
bool makeAudio(const std::filesystem::path& path, const std::string& codec, double seconds,
               bool live = false);
// A video-only file of ffmpeg's 64x48 test picture at fps frames a second, encoded with the given output
// options (codec, key-frame interval, pixel format, container...). A live one is written through a pipe
// as a stream would be: no Duration, a Segment of unknown size.
bool makeVideoWith(const std::filesystem::path& path, double seconds, int fps, const std::string& options,
                   bool live = false);
// The bytes with every Cluster's size field (Segment children only) replaced by all ones of the same
// length: the unknown size a live writer leaves. Offsets stay as they were.
std::string withUnknownClusterSizes(const std::string& bytes);

} // namespace webmfix
