#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <fstream>
#include <set>
#include <sys/wait.h>

namespace webmfix {

namespace {

int fewestBytes(uint64_t value) {
    int length = 1;
    while (length < 8 && (value >> (8 * length)) != 0)
        ++length;
    return length;
}

int idBytes(uint32_t id) {
    return id < 0x100 ? 1 : id < 0x10000 ? 2 : id < 0x1000000 ? 3 : 4;
}

// Segment, SeekHead, Seek, Info, Tracks, TrackEntry, Cluster, BlockGroup, Cues, CuePoint,
// CueTrackPositions and the EBML header: the masters the tests look inside.
const std::set<uint32_t>& masters() {
    static const std::set<uint32_t> ids = {0x18538067, 0x114D9B74, 0x4DBB,     0x1549A966,
                                           0x1654AE6B, 0xAE,       0x1F43B675, 0xA0,
                                           0x1C53BB6B, 0xBB,       0xB7,       0x1A45DFA3};
    return ids;
}

std::string trackEntryPayload(const Track& track) {
    std::string entry = uintElement(0xD7, 7) + uintElement(0x73C5, 123456789);
    if (track.withType)
        entry += uintElement(0x83, track.type);
    entry += stringElement(0x86, track.codecId) + uintElement(0x9C, 0) + stringElement(0x22B59C, "und");
    if (track.defaultDuration)
        entry += uintElement(0x23E383, track.defaultDuration);
    if (track.codecDelay)
        entry += uintElement(0x56AA, track.codecDelay);
    if (track.seekPreRoll)
        entry += uintElement(0x56BB, track.seekPreRoll);
    if (!track.codecPrivate.empty())
        entry += element(0x63A2, track.codecPrivate);
    if (!track.settings.empty())
        entry += element(track.type == 1 ? 0xE0 : 0xE1, track.settings);
    return entry;
}

} // namespace

std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::string ebmlId(uint32_t id) {
    return bigEndian(id, idBytes(id));
}

std::string ebmlSize(uint64_t value, int length) {
    if (length == 0) {
        length = 1;
        while (length < 8 && value > (uint64_t{1} << (7 * length)) - 2)
            ++length;
    }
    return bigEndian(value | (uint64_t{1} << (7 * length)), length);
}

std::string element(uint32_t id, const std::string& payload, int sizeLength) {
    return ebmlId(id) + ebmlSize(payload.size(), sizeLength) + payload;
}

std::string uintElement(uint32_t id, uint64_t value) {
    return element(id, bigEndian(value, fewestBytes(value)));
}

std::string floatElement(uint32_t id, double value, int bytes) {
    if (bytes == 4)
        return element(id, bigEndian(std::bit_cast<uint32_t>(static_cast<float>(value)), 4));
    return element(id, bigEndian(std::bit_cast<uint64_t>(value), 8));
}

std::string stringElement(uint32_t id, const std::string& text) {
    return element(id, text);
}

std::string ebmlHeader(const std::string& docType) {
    return element(0x1A45DFA3, uintElement(0x4286, 1) + uintElement(0x42F7, 1) + uintElement(0x42F2, 4) +
                                   uintElement(0x42F3, 8) + stringElement(0x4282, docType) +
                                   uintElement(0x4287, 4) + uintElement(0x4285, 2));
}

std::string blockElement(const Block& block) {
    std::string body = ebmlSize(block.storedTrack, block.trackLength) +
                       bigEndian(static_cast<uint16_t>(block.relative), 2) + static_cast<char>(block.flags) +
                       block.data;
    if (!block.group)
        return element(0xA3, body);
    std::string group;
    if (block.duration)
        group += uintElement(0x9B, block.duration);
    if (block.discardPadding)
        group += element(0x75A2, bigEndian(static_cast<uint64_t>(block.discardPadding), 8));
    group += element(0xA1, body);
    if (block.referenced)
        group += element(0xFB, bigEndian(static_cast<uint16_t>(block.reference), 2));
    if (!block.additions.empty())
        group += element(0x75A1, element(0xA6, uintElement(0xEE, 1) + element(0xA5, block.additions)));
    return element(0xA0, group);
}

std::string clusterElement(const Cluster& cluster) {
    std::string payload = uintElement(0xE7, cluster.timecode);
    for (const Block& block : cluster.blocks)
        payload += blockElement(block);
    if (cluster.unknownSize)
        return ebmlId(0x1F43B675) + std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) + payload;
    return element(0x1F43B675, payload);
}

std::string infoElement(uint64_t timecodeScale, double duration) {
    std::string payload;
    if (timecodeScale)
        payload += uintElement(0x2AD7B1, timecodeScale);
    payload += stringElement(0x4D80, "fixture") + stringElement(0x5741, "fixture");
    if (duration >= 0)
        payload += floatElement(0x4489, duration);
    return element(0x1549A966, payload);
}

std::string tracksElement(const Track& track) {
    return element(0x1654AE6B, element(0xAE, trackEntryPayload(track)));
}

std::string buildWebm(const Webm& webm) {
    std::string segment = infoElement(webm.timecodeScale, webm.duration) + tracksElement(webm.track);
    for (const Cluster& cluster : webm.clusters)
        segment += clusterElement(cluster);
    std::string out = ebmlHeader();
    if (webm.voidAfterHeader)
        out += element(0xEC, std::string(5, '\0'));
    if (webm.unknownSegmentSize)
        return out + ebmlId(0x18538067) + std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) + segment;
    return out + element(0x18538067, segment, 8);
}

Webm videoWebm(const std::vector<Cluster>& clusters) {
    Webm webm;
    webm.track.type = 1;
    webm.track.codecId = "V_VP9";
    webm.track.settings = uintElement(0xB0, 64) + uintElement(0xBA, 48);
    webm.track.defaultDuration = 40000000;
    webm.clusters = clusters;
    return webm;
}

Webm audioWebm(const std::vector<Cluster>& clusters) {
    Webm webm;
    webm.track.type = 2;
    webm.track.codecId = "A_OPUS";
    webm.track.codecPrivate = "OpusHead-private";
    webm.track.settings = uintElement(0x9F, 2) + floatElement(0xB5, 48000.0);
    webm.track.codecDelay = 6500000;
    webm.track.seekPreRoll = 80000000;
    webm.clusters = clusters;
    return webm;
}

std::vector<Cluster> regularClusters(int clusterCount, int blockCount, int step, size_t frameSize,
                                     bool keyframes) {
    std::vector<Cluster> clusters;
    for (int c = 0; c < clusterCount; ++c) {
        Cluster cluster;
        cluster.timecode = static_cast<uint64_t>(c) * blockCount * step;
        for (int b = 0; b < blockCount; ++b) {
            Block block;
            block.relative = static_cast<int16_t>(b * step);
            block.flags = (keyframes && b == 0) ? 0x80 : 0x00;
            block.data = std::string(frameSize, static_cast<char>('a' + (c + b) % 26));
            cluster.blocks.push_back(block);
        }
        clusters.push_back(cluster);
    }
    return clusters;
}

void writeLongWebm(const std::filesystem::path& path, const Track& track, int clusterCount, int blockCount,
                   int step, size_t frameSize) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << ebmlHeader() << ebmlId(0x18538067);
    const std::streamoff sizeAt = out.tellp();
    out << ebmlSize(1, 8);
    const std::streamoff dataStart = out.tellp();
    const double duration = static_cast<double>(clusterCount) * blockCount * step;
    out << infoElement(1000000, duration) << tracksElement(track);
    std::vector<Cluster> one = regularClusters(1, blockCount, step, frameSize, true);
    for (int c = 0; c < clusterCount; ++c) {
        one[0].timecode = static_cast<uint64_t>(c) * blockCount * step;
        out << clusterElement(one[0]);
    }
    const uint64_t segmentSize = static_cast<uint64_t>(out.tellp() - dataStart);
    out.seekp(sizeAt);
    out << ebmlSize(segmentSize, 8);
}

const Node* Node::child(uint32_t wanted) const {
    for (const Node& node : children) {
        if (node.id == wanted)
            return &node;
    }
    return nullptr;
}

std::vector<const Node*> Node::all(uint32_t wanted) const {
    std::vector<const Node*> found;
    for (const Node& node : children) {
        if (node.id == wanted)
            found.push_back(&node);
    }
    return found;
}

namespace {

bool readVint(const std::string& bytes, uint64_t& position, uint64_t& value, int& length, bool keepMarker) {
    if (position >= bytes.size())
        return false;
    const uint8_t first = static_cast<uint8_t>(bytes[position]);
    if (first == 0)
        return false;
    length = 1 + std::countl_zero(first);
    if (position + length > bytes.size())
        return false;
    value = keepMarker ? first : (first & (0xFF >> length));
    for (int i = 1; i < length; ++i)
        value = (value << 8) | static_cast<uint8_t>(bytes[position + i]);
    position += length;
    return true;
}

} // namespace

std::vector<Node> walk(const std::string& bytes, uint64_t start, uint64_t end) {
    std::vector<Node> nodes;
    uint64_t position = start;
    while (position < end) {
        Node node;
        node.start = position;
        uint64_t id = 0;
        int idLength = 0;
        if (!readVint(bytes, position, id, idLength, true) ||
            !readVint(bytes, position, node.size, node.sizeLength, false) || node.size > end - position) {
            ADD_FAILURE() << "element at " << node.start << " does not fit before " << end;
            return nodes;
        }
        node.id = static_cast<uint32_t>(id);
        node.dataStart = position;
        if (masters().count(node.id))
            node.children = walk(bytes, node.dataStart, node.dataStart + node.size);
        position = node.dataStart + node.size;
        nodes.push_back(std::move(node));
    }
    return nodes;
}

uint64_t uintOf(const std::string& bytes, const Node& node) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < node.size; ++i)
        value = (value << 8) | static_cast<uint8_t>(bytes[node.dataStart + i]);
    return value;
}

std::string bytesOf(const std::string& bytes, const Node& node) {
    return bytes.substr(node.dataStart, node.size);
}

std::vector<OutputBlock> blocksOf(const std::string& bytes, const Node& cluster) {
    std::vector<OutputBlock> blocks;
    const Node* timecode = cluster.child(0xE7);
    for (const Node& child : cluster.children) {
        const Node* block = &child;
        OutputBlock out;
        if (child.id == 0xA0) {
            out.group = true;
            block = child.child(0xA1);
            if (const Node* duration = child.child(0x9B))
                out.duration = uintOf(bytes, *duration);
        } else if (child.id != 0xA3) {
            continue;
        }
        if (!block)
            continue;
        uint64_t position = block->dataStart;
        int length = 0;
        readVint(bytes, position, out.track, length, false);
        out.relative = static_cast<int16_t>((static_cast<uint8_t>(bytes[position]) << 8) |
                                            static_cast<uint8_t>(bytes[position + 1]));
        out.flags = static_cast<uint8_t>(bytes[position + 2]);
        out.data = bytes.substr(position + 3, block->dataStart + block->size - position - 3);
        out.clusterTimecode = timecode ? uintOf(bytes, *timecode) : 0;
        blocks.push_back(out);
    }
    return blocks;
}

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> chunk{};
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        result.output.append(chunk.data(), got);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool haveTool(const std::string& name) {
    return run("command -v " + name).status == 0;
}

bool makeVideo(const std::filesystem::path& path, const std::string& codec, double seconds, int keyInterval,
               int clusterMs) {
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -t " +
                                std::to_string(seconds) + " -c:v " + codec + " -g " +
                                std::to_string(keyInterval) + " -b:v 40k -cluster_time_limit " +
                                std::to_string(clusterMs) + " -f webm '" + path.string() + "'";
    return run(command).status == 0;
}

bool makeAudio(const std::filesystem::path& path, const std::string& codec, double seconds, bool live) {
    const std::string target = "'" + path.string() + "'";
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t " +
        std::to_string(seconds) + " -c:a " + codec + " -f webm " + (live ? "-live 1 - > " + target : target);
    return run(command).status == 0;
}

bool makeVideoWith(const std::filesystem::path& path, double seconds, int fps, const std::string& options,
                   bool live) {
    const std::string target = "'" + path.string() + "'";
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=" + std::to_string(fps) + " -t " +
        std::to_string(seconds) + " " + options + (live ? " -live 1 - > " + target : " " + target);
    return run(command).status == 0;
}

std::string withUnknownClusterSizes(const std::string& bytes) {
    std::string out = bytes;
    uint64_t position = 0;
    uint64_t id = 0;
    uint64_t size = 0;
    int length = 0;
    // The EBML header, then the Segment's header: its children follow.
    if (!readVint(out, position, id, length, true) || !readVint(out, position, size, length, false))
        return out;
    position += size;
    if (!readVint(out, position, id, length, true) || !readVint(out, position, size, length, false))
        return out;
    while (position < out.size()) {
        if (!readVint(out, position, id, length, true))
            break;
        const uint64_t sizeAt = position;
        if (!readVint(out, position, size, length, false))
            break;
        if (id == 0x1F43B675) {
            out[sizeAt] = static_cast<char>(0xFF >> (length - 1));
            for (int i = 1; i < length; ++i)
                out[sizeAt + i] = static_cast<char>(0xFF);
        }
        position += size;
    }
    return out;
}

} // namespace webmfix
