#include "mkv/VornWebmReader.h"

#include "base/VornException.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <string>

using namespace webmfix;

namespace {

class WebmReaderTest : public ::testing::Test {
protected:
    VornWebmReader& readerFor(const std::string& bytes, uint32_t type = 1) {
        writeWholeFile(m_dir / "in.webm", bytes);
        m_reader = std::make_unique<VornWebmReader>((m_dir / "in.webm").wstring(), type);
        return *m_reader;
    }

    TempDir m_dir;
    std::unique_ptr<VornWebmReader> m_reader;
};

std::string segmentOf(const std::string& payload) {
    return ebmlHeader() + element(0x18538067, payload, 8);
}

std::string trackWithType(uint64_t type) {
    Track track;
    track.type = type;
    return tracksElement(track);
}

struct RejectCase {
    const char* name;
    std::string bytes;
};

TEST_F(WebmReaderTest, RejectsInputsThatDoNotParse) {
    const std::string info = infoElement(1000000, 5000);
    const std::string clusters = clusterElement({0, {Block{}}});
    const RejectCase cases[] = {
        {"empty file", ""},
        {"first element is not the EBML header", element(0xEC, "..") + element(0x18538067, info)},
        {"second element is neither Void nor Segment", ebmlHeader() + element(0x1549A966, "")},
        {"after a Void, not a Segment", ebmlHeader() + element(0xEC, "") + element(0xEC, "")},
        // The only frame starts at 0 and has no duration: nothing gives the file a length.
        {"no Duration and no length in the blocks",
         segmentOf(infoElement(1000000, -1) + trackWithType(1) + clusters)},
        {"Duration of 0 and no length in the blocks",
         segmentOf(infoElement(1000000, 0) + trackWithType(1) + clusters)},
        {"Duration of a length other than 4 or 8",
         segmentOf(element(0x1549A966, element(0x4489, "abc")) + trackWithType(1) + clusters)},
        {"video input whose track is audio", segmentOf(info + trackWithType(2) + clusters)},
        {"Tracks beginning with something other than a TrackEntry",
         segmentOf(info + element(0x1654AE6B, uintElement(0xD7, 1)) + clusters)},
        {"TrackEntry without TrackType",
         segmentOf(info + element(0x1654AE6B, element(0xAE, stringElement(0x86, "V_VP8"))) + clusters)},
        {"TrackEntry child running past the entry",
         segmentOf(info +
                   element(0x1654AE6B, element(0xAE, uintElement(0x83, 1) + ebmlId(0x86) + ebmlSize(40))) +
                   clusters)},
        {"empty CodecID",
         segmentOf(info + element(0x1654AE6B, element(0xAE, uintElement(0x83, 1) + element(0x86, ""))) +
                   clusters)},
        {"no Tracks at all", segmentOf(info + clusters)},
        {"no Info at all", segmentOf(trackWithType(1) + clusters)},
    };
    for (const RejectCase& c : cases) {
        EXPECT_FALSE(readerFor(c.bytes).parse()) << c.name;
    }
}

TEST_F(WebmReaderTest, MissingInputDoesNotParse) {
    VornWebmReader reader((m_dir / "none.webm").wstring(), 1);
    EXPECT_FALSE(reader.parse());
    EXPECT_EQ(reader.clusterCount(), 0u);
}

TEST_F(WebmReaderTest, TakesTheTrackDescriptionAndTheClusterList) {
    Webm webm = audioWebm(regularClusters(3, 4, 20, 10, true));
    webm.voidAfterHeader = true;
    webm.duration = 240.5;
    const std::string bytes = buildWebm(webm);
    VornWebmReader& reader = readerFor(bytes, 2);
    ASSERT_TRUE(reader.parse());
    EXPECT_EQ(reader.clusterCount(), 3u);
    EXPECT_EQ(reader.codecId(), "A_OPUS");
    EXPECT_EQ(reader.duration(), 240.5);
    EXPECT_EQ(reader.timecodeScale(), 1000000u);
    EXPECT_EQ(reader.codecDelay(), 6500000u);
    EXPECT_EQ(reader.seekPreRoll(), 80000000u);
    EXPECT_EQ(reader.defaultDuration(), 0u);
    EXPECT_EQ(bytes.substr(reader.codecPrivate().position, reader.codecPrivate().size), "OpusHead-private");
    EXPECT_EQ(bytes.substr(reader.audioSettings().position, reader.audioSettings().size),
              webm.track.settings);
    EXPECT_EQ(reader.videoSettings().size, 0u);
    EXPECT_EQ(reader.segmentEnd(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(reader.segmentEnd() - reader.segmentDataStart(), static_cast<int64_t>(reader.segmentSize()));
    const std::string firstCluster = clusterElement(webm.clusters[0]);
    const VornClusterEntry& cluster = reader.cluster(0);
    EXPECT_EQ(bytes.substr(cluster.elementStart, firstCluster.size()), firstCluster);
    EXPECT_FALSE(cluster.parsed) << "clusters are read only when asked for";
}

TEST_F(WebmReaderTest, TimecodeScaleDefaultsToOneMillisecond) {
    Webm webm = videoWebm(regularClusters(1, 1, 1, 1, true));
    webm.timecodeScale = 0;
    const std::string absent = buildWebm(webm);
    // An explicit TimecodeScale of 0 counts as absent; a 4-byte Duration reads as well as an 8-byte one.
    const std::string zero =
        segmentOf(element(0x1549A966, uintElement(0x2AD7B1, 0) + floatElement(0x4489, 10, 4)) +
                  tracksElement(webm.track) + clusterElement(webm.clusters[0]));
    for (const std::string& bytes : {absent, zero}) {
        VornWebmReader& reader = readerFor(bytes);
        ASSERT_TRUE(reader.parse());
        EXPECT_EQ(reader.timecodeScale(), 1000000u);
    }
    EXPECT_EQ(m_reader->duration(), 10.0);
}

// Matroska writers open master elements with a CRC-32; a Void may stand there too.
TEST_F(WebmReaderTest, AVoidOrACrcMayLeadTheTracks) {
    Webm webm = videoWebm(regularClusters(1, 1, 1, 1, true));
    for (const std::string& lead : {element(0xEC, "  "), element(0xBF, "\x01\x02\x03\x04"),
                                    element(0xBF, "abcd") + element(0xEC, "")}) {
        const std::string bytes = segmentOf(
            infoElement(1000000, 10) +
            element(0x1654AE6B, lead + element(0xAE, uintElement(0x83, 1) + stringElement(0x86, "V_AV1"))) +
            clusterElement(webm.clusters[0]));
        VornWebmReader& reader = readerFor(bytes);
        ASSERT_TRUE(reader.parse());
        EXPECT_EQ(reader.codecId(), "V_AV1");
    }
}

// A Segment child that runs past the Segment's end stops the walk; what came before stays.
TEST_F(WebmReaderTest, ChildRunningPastTheSegmentKeepsTheEarlierClusters) {
    Webm webm = videoWebm(regularClusters(2, 2, 40, 8, true));
    std::string payload = infoElement(1000000, 160) + tracksElement(webm.track) +
                          clusterElement(webm.clusters[0]) + clusterElement(webm.clusters[1]) +
                          ebmlId(0x1254C367) + ebmlSize(5000) + "tag";
    VornWebmReader& reader = readerFor(segmentOf(payload));
    EXPECT_FALSE(reader.parse());
    EXPECT_EQ(reader.clusterCount(), 2u);
    EXPECT_TRUE(reader.trackEntryRead());
}

// A download cut short in its third cluster: the walk stops there, the two whole clusters stay.
TEST_F(WebmReaderTest, TruncatedFileKeepsItsWholeClusters) {
    const std::string whole = buildWebm(videoWebm(regularClusters(3, 5, 40, 100, true)));
    VornWebmReader& reader = readerFor(whole.substr(0, whole.size() - 150));
    EXPECT_FALSE(reader.parse());
    ASSERT_EQ(reader.clusterCount(), 2u);
    EXPECT_TRUE(reader.parseCluster(reader.cluster(1)));
    EXPECT_EQ(reader.cluster(1).blocks.size(), 5u);
}

TEST_F(WebmReaderTest, BuildsBlockEntries) {
    Block simple;
    simple.relative = -2;
    simple.flags = 0x86;
    simple.data = "simple-data";
    Block group;
    group.group = true;
    group.relative = 40;
    group.flags = 0x00;
    group.duration = 33;
    group.discardPadding = -1500;
    group.referenced = true;
    group.reference = -40;
    group.additions = "alpha";
    group.data = "grouped";
    Block wideTrack;
    wideTrack.storedTrack = 200;
    wideTrack.trackLength = 2;
    wideTrack.data = "wide";
    const std::string cluster = clusterElement({1000, {simple, group, wideTrack}});
    Webm webm = videoWebm({});
    const std::string head = ebmlHeader() + ebmlId(0x18538067);
    const std::string payload = infoElement(1000000, 10) + tracksElement(webm.track) + cluster;
    const std::string bytes = head + ebmlSize(payload.size(), 8) + payload;
    VornWebmReader& reader = readerFor(bytes);
    ASSERT_TRUE(reader.parse());
    VornClusterEntry& entry = reader.cluster(0);
    ASSERT_TRUE(reader.parseCluster(entry));
    EXPECT_TRUE(entry.parsed);
    EXPECT_EQ(entry.timecode, 1000u);
    ASSERT_EQ(entry.blocks.size(), 3u);

    const VornBlockEntry& first = entry.blocks[0];
    EXPECT_EQ(first.elementId, 0xA3u);
    EXPECT_EQ(first.relativeTimecode, -2);
    EXPECT_EQ(first.absoluteTimecode, 998);
    EXPECT_EQ(first.flags, 0x86);
    EXPECT_TRUE(first.keyframe);
    EXPECT_EQ(first.blockDuration, 0u);
    EXPECT_EQ(bytes.substr(first.dataPosition, first.dataSize), "simple-data");

    const VornBlockEntry& second = entry.blocks[1];
    EXPECT_EQ(second.elementId, 0xA0u);
    EXPECT_EQ(second.absoluteTimecode, 1040);
    EXPECT_FALSE(second.keyframe);
    EXPECT_EQ(second.blockDuration, 33u);
    EXPECT_EQ(second.discardPadding, -1500);
    EXPECT_EQ(bytes.substr(second.dataPosition, second.dataSize), "grouped");
    EXPECT_TRUE(second.referenced);
    // The ReferenceBlock and BlockAdditions, with their headers, go to the output as they stand.
    const uint64_t copied =
        element(0xFB, bigEndian(0xFFD8, 2)).size() +
        element(0x75A1, element(0xA6, uintElement(0xEE, 1) + element(0xA5, "alpha"))).size();
    EXPECT_EQ(second.copiedSize, copied);
    EXPECT_EQ(bytes.substr(second.groupPosition, second.groupSize), blockElement(group).substr(2));

    // Two bytes of stored track number: the frame starts three bytes after them and is five shorter.
    const VornBlockEntry& third = entry.blocks[2];
    const std::string element = blockElement(wideTrack);
    const int64_t blockData = third.dataPosition - 5;
    EXPECT_EQ(bytes.substr(blockData - 2, 2), element.substr(0, 2)) << "ID and size precede the block data";
    EXPECT_EQ(third.dataSize, element.size() - 2 - 5);
    EXPECT_EQ(third.trackNumber, 1) << "the reader's own track type, not the stored 200";
    EXPECT_EQ(bytes.substr(third.dataPosition, third.dataSize), "wide");
}

struct KeyframeCase {
    const char* name;
    bool group;
    uint8_t flags;
    bool referenced;
    bool keyframe;
};

// In a SimpleBlock the top flag bit marks a key frame; inside a BlockGroup that bit is reserved and
// only the lack of a ReferenceBlock does.
TEST_F(WebmReaderTest, KeyFramesOfSimpleBlocksAndGroups) {
    const KeyframeCase cases[] = {
        {"SimpleBlock with the key flag", false, 0x80, false, true},
        {"SimpleBlock without it", false, 0x00, false, false},
        {"group without a reference, flags 0", true, 0x00, false, true},
        {"group with a reference", true, 0x00, true, false},
        {"group with a reference and the top bit set", true, 0x80, true, false},
    };
    Webm webm = videoWebm({});
    for (const KeyframeCase& c : cases) {
        Block block;
        block.group = c.group;
        block.flags = c.flags;
        block.referenced = c.referenced;
        block.reference = -1;
        webm.clusters = {{0, {block}}};
        VornWebmReader& reader = readerFor(buildWebm(webm));
        ASSERT_TRUE(reader.parse()) << c.name;
        ASSERT_TRUE(reader.parseCluster(reader.cluster(0))) << c.name;
        EXPECT_EQ(reader.cluster(0).blocks.at(0).keyframe, c.keyframe) << c.name;
        EXPECT_EQ(reader.cluster(0).blocks.at(0).flags, c.flags) << c.name << ": flags are kept as read";
    }
}

// A live stream's clusters have the all-ones size: each one runs to the next element that cannot be
// its child, or to the end of the file; so does a Segment of unknown size.
TEST_F(WebmReaderTest, UnknownSizeClustersEndWhereTheNextSegmentChildBegins) {
    Webm webm = videoWebm(regularClusters(4, 3, 40, 20, true));
    webm.clusters[0].unknownSize = true;
    webm.clusters[1].unknownSize = true;
    webm.clusters[3].unknownSize = true;
    webm.unknownSegmentSize = true;
    webm.duration = 480;
    std::string bytes = buildWebm(webm);
    // Cues between the third and the fourth cluster end nothing here (the third has its size); a Tags
    // element after the last, unknown-size cluster ends it.
    const std::string tags = element(0x1254C367, element(0x7373, ""));
    bytes += tags;
    VornWebmReader& reader = readerFor(bytes);
    ASSERT_TRUE(reader.parse());
    ASSERT_EQ(reader.clusterCount(), 4u);
    EXPECT_EQ(reader.segmentEnd(), static_cast<int64_t>(bytes.size()));
    const std::string clusterPayload = clusterElement({0, webm.clusters[0].blocks}).substr(4 + 1);
    for (size_t i = 0; i < 4; ++i) {
        VornClusterEntry& cluster = reader.cluster(i);
        ASSERT_TRUE(reader.parseCluster(cluster)) << i;
        EXPECT_EQ(cluster.timecode, i * 120) << i;
        ASSERT_EQ(cluster.blocks.size(), 3u) << i;
        EXPECT_EQ(bytes.substr(cluster.blocks[2].dataPosition, cluster.blocks[2].dataSize),
                  webm.clusters[i].blocks[2].data);
        EXPECT_EQ(cluster.dataStart + static_cast<int64_t>(cluster.dataSize),
                  i + 1 < 4 ? reader.cluster(i + 1).elementStart
                            : static_cast<int64_t>(bytes.size() - tags.size()))
            << i;
    }
}

// A live stream cut off inside a frame: the last cluster keeps its whole frames, the walk stops at the
// torn one, and the length comes from the last whole frame.
TEST_F(WebmReaderTest, UnknownSizeClusterCutShortKeepsItsWholeFrames) {
    Webm webm = videoWebm(regularClusters(2, 4, 40, 50, true));
    webm.clusters[0].unknownSize = true;
    webm.clusters[1].unknownSize = true;
    webm.unknownSegmentSize = true;
    webm.duration = -1;
    const std::string whole = buildWebm(webm);
    VornWebmReader& reader = readerFor(whole.substr(0, whole.size() - 20));
    EXPECT_FALSE(reader.parse()) << "the walk ends at the torn frame";
    ASSERT_EQ(reader.clusterCount(), 2u);
    ASSERT_TRUE(reader.parseCluster(reader.cluster(1)));
    EXPECT_EQ(reader.cluster(1).blocks.size(), 3u);
    // Frames at 160, 200, 240 survive; the last ends one default duration (40 ticks) later.
    EXPECT_EQ(reader.duration(), 280.0);
}

struct DurationCase {
    const char* name;
    double headerDuration;
    bool lastIsGroup;
    bool corruptLastCluster;
    double expected;
};

TEST_F(WebmReaderTest, DurationComesFromTheLastFrameWhenTheHeaderHasNone) {
    const DurationCase cases[] = {
        {"header Duration wins", 5000, false, false, 5000},
        {"no Duration: last frame plus the default duration", -1, false, false, 280 + 40},
        {"Duration 0 counts as none", 0, false, false, 280 + 40},
        {"a BlockDuration is the last frame's own length", -1, true, false, 280 + 13},
        {"a corrupt last cluster: the one before it", -1, false, true, 160},
    };
    for (const DurationCase& c : cases) {
        Webm webm = videoWebm(regularClusters(2, 4, 40, 10, true));
        webm.duration = c.headerDuration;
        if (c.lastIsGroup) {
            webm.clusters[1].blocks[3].group = true;
            webm.clusters[1].blocks[3].duration = 13;
        }
        std::string bytes = buildWebm(webm);
        if (c.corruptLastCluster) {
            // A SimpleBlock too short for its own header throws inside the second cluster.
            const std::string cluster =
                element(0x1F43B675, uintElement(0xE7, 160) + element(0xA3, std::string("\x81\x00", 2)));
            const std::string head = ebmlHeader() + ebmlId(0x18538067);
            std::string payload = infoElement(1000000, c.headerDuration) + tracksElement(webm.track) +
                                  clusterElement(webm.clusters[0]) + cluster;
            bytes = head + ebmlSize(payload.size(), 8) + payload;
        }
        VornWebmReader& reader = readerFor(bytes);
        ASSERT_TRUE(reader.parse()) << c.name;
        EXPECT_EQ(reader.duration(), c.expected) << c.name;
        for (size_t i = 0; i < reader.clusterCount(); ++i) {
            EXPECT_FALSE(reader.cluster(i).parsed) << c.name << ": nothing stays parsed";
        }
    }
}

struct CorruptCase {
    const char* name;
    std::string child;
};

TEST_F(WebmReaderTest, CorruptBlocksThrowParseError) {
    const CorruptCase cases[] = {
        {"SimpleBlock shorter than its header", element(0xA3, std::string("\x81\x00", 2))},
        {"SimpleBlock track number with a zero first byte",
         element(0xA3, std::string("\x00\x00\x00\x80", 4))},
        {"BlockGroup child header unreadable", element(0xA0, std::string("\x00\x00\x00", 3))},
        {"BlockGroup child running past the group", element(0xA0, ebmlId(0xA1) + ebmlSize(30) + "abc")},
        {"BlockGroup without a Block", element(0xA0, uintElement(0x9B, 5))},
    };
    Webm webm = videoWebm({});
    for (const CorruptCase& c : cases) {
        const std::string cluster = element(0x1F43B675, uintElement(0xE7, 0) + c.child);
        VornWebmReader& reader =
            readerFor(segmentOf(infoElement(1000000, 10) + tracksElement(webm.track) + cluster));
        ASSERT_TRUE(reader.parse()) << c.name;
        try {
            reader.parseCluster(reader.cluster(0));
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const VornException& error) {
            EXPECT_EQ(error.code(), 801) << c.name;
            EXPECT_NE(std::string(error.sourceFile()).find("VornClusters"), std::string::npos);
            EXPECT_TRUE(error.context().empty());
        }
    }
}

TEST_F(WebmReaderTest, UnreadableClusterChildFailsTheClusterWithoutThrowing) {
    Webm webm = videoWebm({});
    const std::string cluster =
        element(0x1F43B675, uintElement(0xE7, 0) + blockElement(Block{}) + std::string(3, '\0'));
    VornWebmReader& reader =
        readerFor(segmentOf(infoElement(1000000, 10) + tracksElement(webm.track) + cluster));
    ASSERT_TRUE(reader.parse());
    EXPECT_FALSE(reader.parseCluster(reader.cluster(0)));
    EXPECT_FALSE(reader.cluster(0).parsed);
    EXPECT_TRUE(reader.cluster(0).blocks.empty()) << "a failed parse leaves no half list behind";
}

TEST_F(WebmReaderTest, NextBlockWalksEveryBlockOnceThenStops) {
    VornWebmReader& reader = readerFor(buildWebm(audioWebm(regularClusters(3, 4, 20, 6, true))), 2);
    ASSERT_TRUE(reader.parse());
    std::vector<int64_t> times;
    while (std::optional<VornBlockEntry> block = reader.nextBlock())
        times.push_back(block->absoluteTimecode);
    ASSERT_EQ(times.size(), 12u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i], static_cast<int64_t>(i) * 20);
    }
    EXPECT_FALSE(reader.nextBlock());
    EXPECT_FALSE(reader.nextBlock());

    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(reader.cluster(i).parsed);
    }
    reader.releaseConsumedClusters();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(reader.cluster(i).parsed);
        EXPECT_TRUE(reader.cluster(i).blocks.empty());
    }
}

TEST_F(WebmReaderTest, ReleaseFreesOnlyTheClustersTheWalkFinished) {
    VornWebmReader& reader = readerFor(buildWebm(audioWebm(regularClusters(3, 2, 20, 6, true))), 2);
    ASSERT_TRUE(reader.parse());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.nextBlock());
    }
    reader.releaseConsumedClusters();
    EXPECT_FALSE(reader.cluster(0).parsed);
    EXPECT_TRUE(reader.cluster(1).parsed) << "still being walked";
    std::optional<VornBlockEntry> fourth = reader.nextBlock();
    ASSERT_TRUE(fourth);
    EXPECT_EQ(fourth->absoluteTimecode, 60);
}

TEST_F(WebmReaderTest, WalkEndsAtAClusterThatDoesNotParse) {
    Webm webm = audioWebm({});
    const std::string good = clusterElement({0, {Block{}}});
    const std::string bad = element(0x1F43B675, uintElement(0xE7, 20) + std::string(2, '\0'));
    const std::string later = clusterElement({40, {Block{}}});
    VornWebmReader& reader =
        readerFor(segmentOf(infoElement(1000000, 10) + tracksElement(webm.track) + good + bad + later), 2);
    ASSERT_TRUE(reader.parse());
    EXPECT_TRUE(reader.nextBlock());
    EXPECT_FALSE(reader.nextBlock());
    EXPECT_FALSE(reader.nextBlock()) << "the cluster after the broken one is not reached";
}

TEST_F(WebmReaderTest, ReadsFfmpegFiles) {
    if (!haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(makeVideo(m_dir / "v.webm", "libvpx", 6, 10, 2000));
    ASSERT_TRUE(makeAudio(m_dir / "a.webm", "libopus", 3));
    VornWebmReader video((m_dir / "v.webm").wstring(), 1);
    ASSERT_TRUE(video.parse());
    EXPECT_EQ(video.codecId(), "V_VP8");
    EXPECT_GE(video.clusterCount(), 3u);
    EXPECT_NEAR(video.duration(), 6000, 1);
    VornWebmReader audio((m_dir / "a.webm").wstring(), 2);
    ASSERT_TRUE(audio.parse());
    EXPECT_EQ(audio.codecId(), "A_OPUS");
    EXPECT_EQ(audio.codecPrivate().size, 19u);
    size_t blocks = 0;
    while (audio.nextBlock())
        ++blocks;
    EXPECT_GT(blocks, 100u) << "20 ms packets over 3 seconds";
    VornWebmReader videoAsAudio((m_dir / "v.webm").wstring(), 2);
    EXPECT_FALSE(videoAsAudio.parse());
}

} // namespace
