#include "mkv/VornMKVMuxer.h"

#include "base/VornException.h"
#include "tests/mkv/RecordingReporter.h"
#include "tests/support/FullDisk.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/resource.h>

using namespace webmfix;

namespace {

constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kCluster = 0x1F43B675;

class MKVMuxerTest : public ::testing::Test {
protected:
    void writeInputs(const Webm& video, const Webm& audio) {
        writeWholeFile(m_dir / "Video.webm", buildWebm(video));
        writeWholeFile(m_dir / "Audio.webm", buildWebm(audio));
    }

    bool mux() {
        VornMKVMuxer muxer(&m_reporter, (m_dir / "Video.webm").wstring(), (m_dir / "Audio.webm").wstring(),
                           (m_dir / "out.mkv").wstring());
        const bool ok = muxer.run();
        m_errorText = muxer.errorText();
        m_cues = muxer.cuePoints().size();
        m_output = readWholeFile(m_dir / "out.mkv");
        return ok;
    }

    // The Segment of the output and its clusters.
    const Node& segment() {
        m_top = walk(m_output, 0, m_output.size());
        EXPECT_EQ(m_top.size(), 2u);
        EXPECT_EQ(m_top.at(1).id, kSegment);
        return m_top.at(1);
    }

    std::vector<OutputBlock> allBlocks() {
        std::vector<OutputBlock> blocks;
        for (const Node* cluster : segment().all(kCluster)) {
            for (const OutputBlock& block : blocksOf(m_output, *cluster))
                blocks.push_back(block);
        }
        return blocks;
    }

    TempDir m_dir;
    RecordingReporter m_reporter;
    std::wstring m_errorText;
    size_t m_cues = 0;
    std::string m_output;
    std::vector<Node> m_top;
};

TEST_F(MKVMuxerTest, WritesTheFixedHeaderAndSegmentLayout) {
    writeInputs(videoWebm(regularClusters(3, 5, 40, 30, true)),
                audioWebm(regularClusters(6, 5, 20, 12, true)));
    ASSERT_TRUE(mux());

    // EBML header: the ID, size 35 with its marker, then the seven children in order.
    const std::string header =
        element(0x1A45DFA3, uintElement(0x4286, 1) + uintElement(0x42F7, 1) + uintElement(0x42F2, 4) +
                                uintElement(0x42F3, 8) + stringElement(0x4282, "matroska") +
                                uintElement(0x4287, 4) + uintElement(0x4285, 2));
    ASSERT_EQ(m_output.substr(0, 5), std::string("\x1A\x45\xDF\xA3\xA3", 5));
    EXPECT_EQ(m_output.substr(0, header.size()), header);

    // The Segment's 8-byte size field holds the distance from its data start to the end of the file.
    const Node& seg = segment();
    EXPECT_EQ(seg.start, header.size());
    EXPECT_EQ(seg.sizeLength, 8);
    EXPECT_EQ(static_cast<uint8_t>(m_output[seg.start + 4]), 0x01);
    EXPECT_EQ(seg.dataStart + seg.size, m_output.size());

    // SeekHead and its Void fill exactly 300 bytes; Info follows.
    ASSERT_GE(seg.children.size(), 5u);
    EXPECT_EQ(seg.children[0].id, 0x114D9B74u);
    EXPECT_EQ(seg.children[1].id, 0xECu);
    EXPECT_EQ(seg.children[2].id, 0x1549A966u);
    EXPECT_EQ(seg.children[2].start, seg.dataStart + 300);
    EXPECT_EQ(seg.children[3].id, 0x1654AE6Bu);
    EXPECT_EQ(seg.children.back().id, 0x1C53BB6Bu);
    EXPECT_EQ(seg.all(kCluster).size(), 3u);

    // Four Seek entries, in order Info, Tracks, first Cluster, Cues, each pointing at its element.
    const uint32_t targets[] = {0x1549A966, 0x1654AE6B, kCluster, 0x1C53BB6B};
    std::vector<const Node*> seeks = seg.children[0].all(0x4DBB);
    ASSERT_EQ(seeks.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(bytesOf(m_output, *seeks[i]->child(0x53AB)), bigEndian(targets[i], 4));
        const uint64_t position = seg.dataStart + uintOf(m_output, *seeks[i]->child(0x53AC));
        const Node* target = nullptr;
        for (const Node& child : seg.children)
            target = child.start == position ? &child : target;
        ASSERT_NE(target, nullptr) << "Seek " << i << " points between elements";
        EXPECT_EQ(target->id, targets[i]);
    }
    EXPECT_EQ(uintOf(m_output, *seeks[0]->child(0x53AC)), 300u);
}

TEST_F(MKVMuxerTest, WritesInfoAndBothTrackEntries) {
    Webm video = videoWebm(regularClusters(2, 3, 40, 10, true));
    video.duration = 6543.25;
    Webm audio = audioWebm(regularClusters(2, 3, 40, 10, true));
    writeInputs(video, audio);
    ASSERT_TRUE(mux());
    const Node& seg = segment();

    const Node* info = seg.child(0x1549A966);
    ASSERT_NE(info, nullptr);
    const Node* duration = info->child(0x4489);
    ASSERT_NE(duration, nullptr);
    ASSERT_EQ(duration->size, 4u);
    EXPECT_EQ(std::bit_cast<float>(static_cast<uint32_t>(uintOf(m_output, *duration))), 6543.25f);
    EXPECT_EQ(uintOf(m_output, *info->child(0x2AD7B1)), 1000000u);
    EXPECT_EQ(bytesOf(m_output, *info->child(0x4D80)), "VornMkvLib V 1.0");
    EXPECT_EQ(bytesOf(m_output, *info->child(0x5741)).rfind("Brellin V 1.0", 0), 0u);

    // The inputs store track number 7 and a large UID; the output numbers video 1 and audio 2.
    std::vector<const Node*> entries = seg.child(0x1654AE6B)->all(0xAE);
    ASSERT_EQ(entries.size(), 2u);
    for (uint64_t n = 1; n <= 2; ++n) {
        const Node& entry = *entries[n - 1];
        EXPECT_EQ(entry.children.at(0).id, 0xD7u);
        EXPECT_EQ(uintOf(m_output, entry.children.at(0)), n);
        EXPECT_EQ(entry.children.at(1).id, 0x73C5u);
        EXPECT_EQ(uintOf(m_output, entry.children.at(1)), n);
        EXPECT_EQ(entry.children.at(2).id, 0x83u);
        EXPECT_EQ(uintOf(m_output, entry.children.at(2)), n);
    }
    EXPECT_EQ(bytesOf(m_output, *entries[0]->child(0x86)), "V_VP9");
    EXPECT_EQ(uintOf(m_output, *entries[0]->child(0x23E383)), 40000000u);
    EXPECT_EQ(bytesOf(m_output, *entries[0]->child(0xE0)), video.track.settings);
    EXPECT_EQ(entries[0]->child(0x63A2), nullptr);
    EXPECT_EQ(bytesOf(m_output, *entries[1]->child(0x86)), "A_OPUS");
    EXPECT_EQ(bytesOf(m_output, *entries[1]->child(0x63A2)), "OpusHead-private");
    EXPECT_EQ(uintOf(m_output, *entries[1]->child(0x56AA)), 6500000u);
    EXPECT_EQ(uintOf(m_output, *entries[1]->child(0x56BB)), 80000000u);
    EXPECT_EQ(bytesOf(m_output, *entries[1]->child(0xE1)), audio.track.settings);
    EXPECT_EQ(entries[1]->child(0x23E383), nullptr) << "zero values are left out";
    EXPECT_EQ(entries[1]->child(0x9C), nullptr);
}

// Video clusters at 0 and 5000, video every 40 ticks and audio every 20: each video block is followed
// by the audio up to its time, and audio in the second cluster is timed against 5000.
TEST_F(MKVMuxerTest, InterleavesAudioByTime) {
    std::vector<Cluster> videoClusters = {{0, {}}, {5000, {}}};
    for (Cluster& cluster : videoClusters) {
        for (int16_t t : {0, 40, 80})
            cluster.blocks.push_back(
                Block{t, static_cast<uint8_t>(t == 0 ? 0x80 : 0), "v" + std::to_string(t)});
    }
    std::vector<Cluster> audioClusters;
    for (int c = 0; c < 6; ++c) {
        Cluster cluster{static_cast<uint64_t>(c) * 1000, {}};
        for (int t = 0; t < 1000; t += 20)
            cluster.blocks.push_back(
                Block{static_cast<int16_t>(t), 0x80, "a" + std::to_string(c * 1000 + t)});
        audioClusters.push_back(cluster);
    }
    writeInputs(videoWebm(videoClusters), audioWebm(audioClusters));
    ASSERT_TRUE(mux());
    std::vector<const Node*> clusters = segment().all(kCluster);
    ASSERT_EQ(clusters.size(), 2u);

    std::vector<std::string> first;
    for (const OutputBlock& block : blocksOf(m_output, *clusters[0])) {
        first.push_back(block.data);
        EXPECT_EQ(block.track, block.data[0] == 'v' ? 1u : 2u);
        EXPECT_EQ(block.relative, std::stoi(block.data.substr(1))) << block.data;
    }
    EXPECT_EQ(first, (std::vector<std::string>{"a0", "v0", "a20", "v40", "a40", "v80", "a60", "a80"}));

    std::vector<OutputBlock> second = blocksOf(m_output, *clusters[1]);
    EXPECT_EQ(uintOf(m_output, *clusters[1]->child(0xE7)), 5000u);
    ASSERT_GT(second.size(), 3u);
    EXPECT_EQ(second[0].data, "v0");
    EXPECT_EQ(second[1].data, "a100");
    EXPECT_EQ(second[1].relative, 100 - 5000);
    size_t audio = 0;
    int expected = 100;
    for (const OutputBlock& block : second) {
        if (block.track == 2) {
            EXPECT_EQ(block.data, "a" + std::to_string(expected));
            EXPECT_EQ(block.relative, expected - 5000);
            expected += 20;
            ++audio;
        }
    }
    // The second cluster is the last: every remaining audio block lands in it, up to 5980.
    EXPECT_EQ(expected, 6000);
    EXPECT_EQ(audio, (6000u - 100u) / 20u);
}

// Every video key frame is a cue: its own time, its cluster, and where its block starts inside it.
TEST_F(MKVMuxerTest, CuesNameEveryVideoKeyFrame) {
    std::vector<Cluster> video = regularClusters(4, 3, 40, 10, true);
    video[2].blocks[0].flags = 0x00;
    video[1].blocks[2].flags = 0x80;
    video[3].blocks[1].group = true;
    video[3].blocks[2].group = true;
    video[3].blocks[2].referenced = true;
    video[3].blocks[2].reference = -40;
    writeInputs(videoWebm(video), audioWebm(regularClusters(4, 6, 20, 5, true)));
    ASSERT_TRUE(mux());
    const Node& seg = segment();
    std::vector<const Node*> points = seg.child(0x1C53BB6B)->all(0xBB);
    // Cluster starts at 0, 120 and 360 (not 240: no key frame), 200 inside the second cluster, and the
    // group at 400 that refers to nothing; the group at 440 refers to an earlier frame.
    const uint64_t times[] = {0, 120, 200, 360, 400};
    ASSERT_EQ(points.size(), std::size(times));
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(uintOf(m_output, *points[i]->child(0xB3)), times[i]);
        const Node* positions = points[i]->child(0xB7);
        ASSERT_NE(positions, nullptr);
        EXPECT_EQ(uintOf(m_output, *positions->child(0xF7)), 1u);
        const uint64_t at = seg.dataStart + uintOf(m_output, *positions->child(0xF1));
        const Node* cluster = nullptr;
        for (const Node* candidate : seg.all(kCluster))
            cluster = candidate->start == at ? candidate : cluster;
        ASSERT_NE(cluster, nullptr) << times[i];
        ASSERT_NE(positions->child(0xF0), nullptr);
        const uint64_t blockAt = cluster->dataStart + uintOf(m_output, *positions->child(0xF0));
        const Node* block = nullptr;
        for (const Node& child : cluster->children)
            block = child.start == blockAt ? &child : block;
        ASSERT_NE(block, nullptr) << times[i] << ": the relative position names a block";
        const Node* frame = block->id == 0xA0 ? block->child(0xA1) : block;
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(static_cast<uint8_t>(m_output[frame->dataStart]), 0x81) << times[i] << ": a video block";
        const int16_t relative =
            static_cast<int16_t>((static_cast<uint8_t>(m_output[frame->dataStart + 1]) << 8) |
                                 static_cast<uint8_t>(m_output[frame->dataStart + 2]));
        EXPECT_EQ(uintOf(m_output, *cluster->child(0xE7)) + relative, times[i]);
    }
}

TEST_F(MKVMuxerTest, ReportsStagesAndProgress) {
    writeInputs(videoWebm(regularClusters(3, 2, 40, 4, true)), audioWebm(regularClusters(2, 4, 20, 4, true)));
    ASSERT_TRUE(mux());
    EXPECT_EQ(m_reporter.logTexts(),
              (std::vector<std::string>{
                  "Video Webm-File Parsed Copmletely. We have 3 Video Clusters.",
                  "Audio Webm-File Parsed Copmletely. We have 2 Audio Clusters.",
                  "MKV Header has been Writen Successfully.",
                  "MKV Segment-Info has been Writen Successfully.",
                  "MKV Tracks have been Writen Successfully.",
                  "All MKV Video-Audio Clusters and Blocks have been Writen Successfully.",
                  "MKV Cues have been Writen Successfully.",
                  "MKV Seek-Heads have been Writen Successfully.",
                  "MKV Muxing Completed  Successfully.",
              }));
    for (const auto& [level, text] : m_reporter.logs) {
        EXPECT_EQ(level, VornMuxReporter::LOG_DEBUG) << text;
    }
    using Event = std::pair<int, std::string>;
    EXPECT_EQ(m_reporter.events, (std::vector<Event>{{16, "0@3"}, {16, "1"}, {16, "2"}, {16, "3"}}));
}

struct BadInputCase {
    const char* name;
    bool videoBad;
    std::wstring expectedText;
};

TEST_F(MKVMuxerTest, InputsThatDoNotParseFailWithTheirStage) {
    const BadInputCase cases[] = {
        {"video", true, L"Error on parsing Video File"},
        {"audio", false, L"Error on parsing Audio File"},
    };
    for (const BadInputCase& c : cases) {
        m_reporter = RecordingReporter();
        writeInputs(videoWebm(regularClusters(2, 2, 40, 4, true)),
                    audioWebm(regularClusters(2, 2, 40, 4, true)));
        writeWholeFile(m_dir / (c.videoBad ? "Video.webm" : "Audio.webm"), "not a webm file at all");
        EXPECT_FALSE(mux()) << c.name;
        EXPECT_EQ(m_errorText, c.expectedText) << c.name;
        EXPECT_TRUE(m_reporter.events.empty()) << c.name << ": no progress before both inputs parsed";
    }
    EXPECT_EQ(m_reporter.logTexts(),
              std::vector<std::string>{"Video Webm-File Parsed Copmletely. We have 2 Video Clusters."});
}

TEST_F(MKVMuxerTest, MissingInputFailsItsStage) {
    writeWholeFile(m_dir / "Video.webm", buildWebm(videoWebm(regularClusters(1, 1, 40, 4, true))));
    EXPECT_FALSE(mux());
    EXPECT_EQ(m_errorText, L"Error on parsing Audio File");
}

// The video download broke after ten clusters: whatever way it broke, those ten are muxed.
TEST_F(MKVMuxerTest, VideoBrokenAfterTenClustersIsMuxedFromThem) {
    const std::vector<Cluster> clusters = regularClusters(11, 4, 40, 50, true);
    Webm video = videoWebm(clusters);
    const std::string whole = buildWebm(video);
    video.clusters.resize(10);
    const std::string tenAndJunk = ebmlHeader() + ebmlId(kSegment) + ebmlSize(1, 8);
    std::string payload = infoElement(1000000, 10000) + tracksElement(video.track);
    for (const Cluster& cluster : video.clusters)
        payload += clusterElement(cluster);
    payload += ebmlId(0x1254C367) + ebmlSize(900) + "tags";
    const std::string junk = ebmlHeader() + element(kSegment, payload, 8);
    const std::pair<const char*, std::string> inputs[] = {
        {"cut in the eleventh cluster", whole.substr(0, whole.size() - 60)},
        {"followed by an element running past the segment", junk},
    };
    for (const auto& [name, bytes] : inputs) {
        m_reporter = RecordingReporter();
        writeWholeFile(m_dir / "Video.webm", bytes);
        writeWholeFile(m_dir / "Audio.webm", buildWebm(audioWebm(regularClusters(30, 4, 40, 5, true))));
        ASSERT_TRUE(mux()) << name;
        EXPECT_EQ(segment().all(kCluster).size(), 10u) << name;
        EXPECT_EQ(m_reporter.logTexts().at(0),
                  "Video Webm-File could not be parsed copmletely. Some Cluster have not been parsed.")
            << name;
        EXPECT_EQ(m_reporter.events.front().second, "0@10") << name;
        std::vector<OutputBlock> blocks = allBlocks();
        EXPECT_EQ(
            std::count_if(blocks.begin(), blocks.end(), [](const OutputBlock& b) { return b.track == 1; }),
            40)
            << name;
    }
}

// The second cluster's first SimpleBlock is made shorter than a block header.
std::string withCorruptSecondCluster(const Webm& webm) {
    std::string bytes = buildWebm(webm);
    const size_t at = bytes.find(clusterElement(webm.clusters[1]));
    const size_t blockAt = at + 4 + 1 + 3;
    EXPECT_EQ(static_cast<uint8_t>(bytes.at(blockAt)), 0xA3);
    bytes[blockAt + 1] = static_cast<char>(0x82);
    return bytes;
}

TEST_F(MKVMuxerTest, CorruptBlockOnEitherSideThrowsParseError) {
    vornLoadErrorStrings();
    for (bool videoSide : {true, false}) {
        const Webm video = videoWebm(regularClusters(3, 2, 40, 4, true));
        const Webm audio = audioWebm(regularClusters(3, 4, 20, 4, true));
        writeInputs(video, audio);
        writeWholeFile(m_dir / (videoSide ? "Video.webm" : "Audio.webm"),
                       withCorruptSecondCluster(videoSide ? video : audio));
        VornMKVMuxer muxer(&m_reporter, (m_dir / "Video.webm").wstring(), (m_dir / "Audio.webm").wstring(),
                           (m_dir / "out.mkv").wstring());
        try {
            muxer.run();
            ADD_FAILURE() << "a corrupt block must throw (video side: " << videoSide << ")";
        } catch (const VornException& error) {
            EXPECT_EQ(error.code(), 801);
            EXPECT_NE(std::string(error.what()).find("Failed to parse Webm file"), std::string::npos);
        }
        EXPECT_EQ(muxer.errorText(), L"Error on Muxing MKV File");
    }
}

// An audio cluster that does not parse ends the audio there; the video goes on without it.
TEST_F(MKVMuxerTest, AudioClusterThatDoesNotParseEndsTheAudio) {
    Webm audio = audioWebm({});
    std::string payload = infoElement(1000000, 1000) + tracksElement(audio.track) +
                          clusterElement({0, {Block{0}, Block{20}}}) +
                          element(kCluster, uintElement(0xE7, 40) + std::string(2, '\0')) +
                          clusterElement({60, {Block{0}, Block{20}}});
    writeWholeFile(m_dir / "Video.webm", buildWebm(videoWebm(regularClusters(3, 2, 40, 4, true))));
    writeWholeFile(m_dir / "Audio.webm", ebmlHeader() + element(kSegment, payload, 8));
    ASSERT_TRUE(mux());
    std::vector<OutputBlock> blocks = allBlocks();
    EXPECT_EQ(std::count_if(blocks.begin(), blocks.end(), [](const OutputBlock& b) { return b.track == 2; }),
              2);
    EXPECT_EQ(std::count_if(blocks.begin(), blocks.end(), [](const OutputBlock& b) { return b.track == 1; }),
              6);
}

TEST_F(MKVMuxerTest, AudioShorterThanVideoLeavesLaterClustersSilent) {
    writeInputs(videoWebm(regularClusters(5, 5, 40, 8, true)), audioWebm(regularClusters(2, 5, 20, 4, true)));
    ASSERT_TRUE(mux());
    std::vector<const Node*> clusters = segment().all(kCluster);
    ASSERT_EQ(clusters.size(), 5u);
    size_t audio = 0;
    for (size_t i = 0; i < clusters.size(); ++i) {
        for (const OutputBlock& block : blocksOf(m_output, *clusters[i])) {
            if (block.track == 2) {
                ++audio;
                EXPECT_LE(i, 1u) << "audio ends at 200 ticks, inside the second cluster";
            }
        }
    }
    EXPECT_EQ(audio, 10u);
}

TEST_F(MKVMuxerTest, AudioLongerThanVideoGoesAtTheEnd) {
    writeInputs(videoWebm(regularClusters(2, 5, 40, 8, true)),
                audioWebm(regularClusters(4, 10, 20, 4, true)));
    ASSERT_TRUE(mux());
    std::vector<const Node*> clusters = segment().all(kCluster);
    ASSERT_EQ(clusters.size(), 2u);
    std::vector<OutputBlock> last = blocksOf(m_output, *clusters[1]);
    int64_t expected = -1;
    for (const OutputBlock& block : last) {
        if (block.track != 2)
            continue;
        const int64_t time = 200 + block.relative;
        EXPECT_GT(time, expected);
        expected = time;
    }
    EXPECT_EQ(expected, 780) << "the last audio block, 780 ticks, is in the last cluster";
    EXPECT_EQ(allBlocks().size(), 10u + 40u);
}

// Audio running on for minutes after the video cannot all be timed against the last video cluster: a
// block timecode holds only 16 bits. It goes into clusters of its own, at its true times.
TEST_F(MKVMuxerTest, AudioFarPastTheVideoKeepsItsTimes) {
    std::vector<Cluster> audio;
    for (int c = 0; c < 10; ++c) {
        Cluster cluster{static_cast<uint64_t>(c) * 10000, {}};
        for (int t = 0; t < 10000; t += 500)
            cluster.blocks.push_back(Block{static_cast<int16_t>(t), 0x80, std::to_string(c * 10000 + t)});
        audio.push_back(cluster);
    }
    writeInputs(videoWebm(regularClusters(2, 5, 40, 8, true)), audioWebm(audio));
    ASSERT_TRUE(mux());
    std::vector<const Node*> clusters = segment().all(kCluster);
    EXPECT_GT(clusters.size(), 3u);
    int64_t expected = 0;
    for (const Node* cluster : clusters) {
        for (const OutputBlock& block : blocksOf(m_output, *cluster)) {
            if (block.track != 2)
                continue;
            EXPECT_EQ(static_cast<int64_t>(block.clusterTimecode) + block.relative, expected) << block.data;
            EXPECT_EQ(block.data, std::to_string(expected));
            expected += 500;
        }
    }
    EXPECT_EQ(expected, 100000);
}

TEST_F(MKVMuxerTest, AudioWithAnotherTimecodeScaleIsRetimed) {
    Webm audio = audioWebm({{0, {}}});
    audio.timecodeScale = 500000;
    for (int16_t t = 0; t < 800; t += 40)
        audio.clusters[0].blocks.push_back(Block{t, 0x80, "a"});
    audio.clusters[0].blocks.back().group = true;
    audio.clusters[0].blocks.back().duration = 40;
    writeInputs(videoWebm(regularClusters(2, 5, 40, 8, true)), audio);
    ASSERT_TRUE(mux());
    std::vector<int64_t> times;
    uint64_t duration = 0;
    for (const OutputBlock& block : allBlocks()) {
        if (block.track == 2) {
            times.push_back(static_cast<int64_t>(block.clusterTimecode) + block.relative);
            duration = block.group ? block.duration : duration;
        }
    }
    ASSERT_EQ(times.size(), 20u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i], static_cast<int64_t>(i) * 20) << "half-millisecond ticks become milliseconds";
    }
    EXPECT_EQ(duration, 20u);
}

// The first audio block is timed against the first video cluster like every other block.
TEST_F(MKVMuxerTest, FirstAudioBlockKeepsItsTime) {
    writeInputs(videoWebm(regularClusters(2, 5, 40, 8, true)), audioWebm({{100, {Block{0}, Block{20}}}}));
    ASSERT_TRUE(mux());
    std::vector<OutputBlock> blocks = allBlocks();
    ASSERT_EQ(blocks[0].track, 2u);
    EXPECT_EQ(blocks[0].relative, 100);
}

TEST_F(MKVMuxerTest, BlockGroupsKeepDurationAndDiscardPadding) {
    Webm audio = audioWebm({{0, {Block{0}, Block{20}}}});
    audio.clusters[0].blocks[1].group = true;
    audio.clusters[0].blocks[1].duration = 13;
    audio.clusters[0].blocks[1].discardPadding = 128;
    writeInputs(videoWebm(regularClusters(1, 2, 40, 8, true)), audio);
    ASSERT_TRUE(mux());
    const Node* group = nullptr;
    for (const Node& child : segment().all(kCluster)[0]->children)
        group = child.id == 0xA0 ? &child : group;
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(uintOf(m_output, *group->child(0x9B)), 13u);
    // 128 needs two bytes as a signed value; one byte would read as -128.
    EXPECT_EQ(bytesOf(m_output, *group->child(0x75A2)), std::string("\x00\x80", 2));
}

// The references that make a frame a delta frame, and the additions (VP9 alpha), go to the output as
// they stand, on both sides.
TEST_F(MKVMuxerTest, BlockGroupsKeepTheirReferencesAndAdditions) {
    std::vector<Cluster> clusters = regularClusters(2, 3, 40, 8, true);
    for (Cluster& cluster : clusters) {
        for (size_t b = 0; b < cluster.blocks.size(); ++b) {
            Block& block = cluster.blocks[b];
            block.group = true;
            block.flags = 0x00;
            block.referenced = b > 0;
            block.reference = -40;
            block.additions = "alpha-" + std::to_string(b);
        }
    }
    Webm audio = audioWebm(regularClusters(2, 6, 20, 5, true));
    audio.clusters[1].blocks[0].group = true;
    audio.clusters[1].blocks[0].additions = "audio-extra";
    writeInputs(videoWebm(clusters), audio);
    ASSERT_TRUE(mux());
    size_t videoGroups = 0;
    size_t audioGroups = 0;
    for (const Node* cluster : segment().all(kCluster)) {
        for (const Node& child : cluster->children) {
            if (child.id != 0xA0)
                continue;
            const Node* block = child.child(0xA1);
            ASSERT_NE(block, nullptr);
            const uint8_t track = static_cast<uint8_t>(m_output[block->dataStart]) & 0x7F;
            const Node* additions = child.child(0x75A1);
            ASSERT_NE(additions, nullptr);
            const std::string payload = bytesOf(m_output, *additions);
            if (track == 2) {
                ++audioGroups;
                EXPECT_NE(payload.find("audio-extra"), std::string::npos);
                continue;
            }
            const int frame = static_cast<int>(videoGroups++ % 3);
            EXPECT_NE(payload.find("alpha-" + std::to_string(frame)), std::string::npos);
            const Node* reference = child.child(0xFB);
            ASSERT_EQ(reference != nullptr, frame > 0);
            if (reference) {
                EXPECT_EQ(bytesOf(m_output, *reference), std::string("\xFF\xD8", 2));
            }
        }
    }
    EXPECT_EQ(videoGroups, 6u);
    EXPECT_EQ(audioGroups, 1u);
    EXPECT_EQ(m_cues, 2u) << "the groups without a reference are the key frames";
}

TEST_F(MKVMuxerTest, VideoWithoutABlockToWriteIsAFailure) {
    Webm video = videoWebm({});
    const std::string cluster = element(kCluster, uintElement(0xE7, 0) + std::string(2, '\0'));
    writeWholeFile(m_dir / "Video.webm",
                   ebmlHeader() +
                       element(kSegment, infoElement(1000000, 10) + tracksElement(video.track) + cluster, 8));
    writeWholeFile(m_dir / "Audio.webm", buildWebm(audioWebm(regularClusters(1, 2, 20, 4, true))));
    EXPECT_FALSE(mux());
    EXPECT_EQ(m_errorText, L"Error on Muxing MKV File");
}

TEST_F(MKVMuxerTest, OutputThatCannotBeCreatedFailsTheMuxingStage) {
    writeInputs(videoWebm(regularClusters(1, 2, 40, 8, true)), audioWebm(regularClusters(1, 2, 20, 4, true)));
    VornMKVMuxer muxer(&m_reporter, (m_dir / "Video.webm").wstring(), (m_dir / "Audio.webm").wstring(),
                       (m_dir / "no-such-folder" / "out.mkv").wstring());
    EXPECT_FALSE(muxer.run());
    EXPECT_EQ(muxer.errorText(), L"Error on Muxing MKV File");
}

// The file-size limit makes the disk "full" part of the way through the clusters.
TEST_F(MKVMuxerTest, OutputWriteFailureThrowsWriteError) {
    writeInputs(videoWebm(regularClusters(40, 10, 40, 2000, true)),
                audioWebm(regularClusters(10, 10, 20, 40, true)));
    FullDisk disk(100000);
    ASSERT_TRUE(disk.active());
    int code = 0;
    int systemCode = 0;
    try {
        mux();
    } catch (const VornException& error) {
        code = error.code();
        systemCode = error.systemCode();
    }
    disk.lift();
    EXPECT_EQ(code, 802);
    EXPECT_EQ(systemCode, EFBIG);
}

// Names in the output folder apart from the inputs.
std::vector<std::string> outputNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "Video.webm" && name != "Audio.webm")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Until the mux succeeds the output has a temporary name beside the final one; a failure of any kind
// leaves neither name behind, and the inputs stay for another try.
TEST_F(MKVMuxerTest, FailedMuxLeavesNoOutputAndKeepsTheInputs) {
    vornLoadErrorStrings();
    // Large enough for the "full" disk to stop it in the clusters.
    const Webm video = videoWebm(regularClusters(40, 10, 40, 2000, true));
    const Webm audio = audioWebm(regularClusters(10, 10, 20, 40, true));
    const Webm smallVideo = videoWebm(regularClusters(3, 2, 40, 4, true));
    enum Failure { NONE, AUDIO_UNPARSABLE, CORRUPT_BLOCK, DISK_FULL };
    const std::pair<const char*, Failure> cases[] = {
        {"audio that does not parse", AUDIO_UNPARSABLE},
        {"a corrupt video block", CORRUPT_BLOCK},
        {"a full disk", DISK_FULL},
        {"success", NONE},
    };
    for (const auto& [name, failure] : cases) {
        writeInputs(video, audio);
        if (failure == AUDIO_UNPARSABLE)
            writeWholeFile(m_dir / "Audio.webm", "not a webm file");
        if (failure == CORRUPT_BLOCK)
            writeWholeFile(m_dir / "Video.webm", withCorruptSecondCluster(smallVideo));
        const std::string videoBytes = readWholeFile(m_dir / "Video.webm");
        const std::string audioBytes = readWholeFile(m_dir / "Audio.webm");
        bool muxed = false;
        bool threw = false;
        {
            VornMKVMuxer muxer(&m_reporter, (m_dir / "Video.webm").wstring(),
                               (m_dir / "Audio.webm").wstring(), (m_dir / "out.mkv").wstring());
            EXPECT_EQ(outputNames(m_dir.path()), std::vector<std::string>{"out.mkv.muxing"}) << name;
            std::optional<FullDisk> disk;
            if (failure == DISK_FULL)
                disk.emplace(100000);
            try {
                muxed = muxer.run();
            } catch (const VornException&) {
                threw = true;
            }
            disk.reset();
            // Gone already when run answers, not only when the muxer is destroyed.
            if (failure != NONE) {
                EXPECT_EQ(outputNames(m_dir.path()), std::vector<std::string>{}) << name;
            }
        }
        EXPECT_EQ(muxed, failure == NONE) << name;
        EXPECT_EQ(threw, failure == CORRUPT_BLOCK || failure == DISK_FULL) << name;
        EXPECT_EQ(outputNames(m_dir.path()),
                  failure == NONE ? std::vector<std::string>{"out.mkv"} : std::vector<std::string>{})
            << name;
        EXPECT_EQ(readWholeFile(m_dir / "Video.webm"), videoBytes) << name;
        EXPECT_EQ(readWholeFile(m_dir / "Audio.webm"), audioBytes) << name;
    }
    ASSERT_TRUE(mux());
    EXPECT_EQ(segment().dataStart + segment().size, m_output.size()) << "the published file is whole";
}

// A file already at the output name stays as it was when the mux fails.
TEST_F(MKVMuxerTest, FailedMuxLeavesAnExistingFileAlone) {
    writeWholeFile(m_dir / "out.mkv", "earlier file");
    writeInputs(videoWebm(regularClusters(2, 2, 40, 8, true)), audioWebm(regularClusters(2, 2, 20, 4, true)));
    writeWholeFile(m_dir / "Video.webm", "broken");
    EXPECT_FALSE(mux());
    EXPECT_EQ(readWholeFile(m_dir / "out.mkv"), "earlier file");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out.mkv.muxing"));

    // Nor is a folder that stands at the temporary name removed: the muxer never opened it.
    writeInputs(videoWebm(regularClusters(2, 2, 40, 8, true)), audioWebm(regularClusters(2, 2, 20, 4, true)));
    std::filesystem::create_directory(m_dir / "out.mkv.muxing");
    EXPECT_FALSE(mux());
    EXPECT_EQ(m_errorText, L"Error on Muxing MKV File");
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "out.mkv.muxing"));
    EXPECT_EQ(readWholeFile(m_dir / "out.mkv"), "earlier file");
}

TEST_F(MKVMuxerTest, ReplacesAnExistingLongerOutput) {
    writeWholeFile(m_dir / "out.mkv", std::string(1 << 20, 'x'));
    writeInputs(videoWebm(regularClusters(2, 2, 40, 8, true)), audioWebm(regularClusters(2, 2, 20, 4, true)));
    ASSERT_TRUE(mux());
    EXPECT_EQ(segment().dataStart + segment().size, m_output.size());
}

} // namespace
