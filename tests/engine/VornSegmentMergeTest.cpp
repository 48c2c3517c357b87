#include "engine/VornSegmentManager.h"

#include "tests/support/FakeSegmentHost.h"
#include "tests/support/FullDisk.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>

namespace {

// Three completed ranges stored in an order different from the file order, with known content.
class MergeFixture {
public:
    explicit MergeFixture(bool pairMode = false, std::wstring fileName = L"clip.mp4") {
        std::filesystem::create_directories(m_dir / "work");
        for (size_t i = 0; i < 200000; ++i)
            content.push_back(static_cast<char>('a' + i * 7 % 26));
        // File order: number 0 [0, 69999], number 2 [70000, 139999], number 1 [140000, 199999].
        VornSegmentTable table(Work() + L"segments.bin", Work() + L"segments.bak");
        table.WriteAll({{0, 0, 2, 0, 69999}, {1, 1, -1, 140000, 199999}, {2, 2, 1, 70000, 139999}});
        writeWholeFile(m_dir / "work/seg.x0", content.substr(0, 70000));
        writeWholeFile(m_dir / "work/seg.x2", content.substr(70000, 70000));
        writeWholeFile(m_dir / "work/seg.x1", content.substr(140000));
        manager = std::make_unique<VornSegmentManager>(&host, Work(), Destination(), pairMode);
        host.manager = manager.get();
        manager->SetFileName(fileName);
    }
    ~MergeFixture() { manager.reset(); }

    bool Load() { return manager->LoadSegments(); }
    std::wstring Work() const { return (m_dir / "work").wstring() + L"/"; }
    std::wstring Destination() const { return (m_dir / "dl").wstring() + L"/"; }
    std::filesystem::path Dl(const std::string& name) const { return m_dir / "dl" / name; }
    std::filesystem::path WorkFile(const std::string& name) const { return m_dir / "work" / name; }

    TempDir m_dir;
    FakeSegmentHost host;
    std::unique_ptr<VornSegmentManager> manager;
    std::string content;
};

} // namespace

TEST(SegmentMergeTest, JoinsTheRangesInFileOrderIntoTheCategoryFolder) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.host.mergingEntered, 1);
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_TARGET_FOLDER),
              std::vector<std::string>{(f.m_dir / "dl/Video/").string()});
    // Progress after every block of 64 KiB, counted over all segments; the first range's file became
    // the target without a copy, so its bytes count at once.
    std::vector<std::string> progress = f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS);
    std::vector<std::string> expected = {"70000", "135536", "140000", "200000"};
    EXPECT_EQ(progress, expected);
    EXPECT_TRUE(f.host.HasLog("File completely Downloaded. ( 3  Segments) "));
    // A completed download leaves nothing in its work folder.
    f.host.completed = true;
    f.manager.reset();
    EXPECT_TRUE(std::filesystem::is_empty(f.m_dir / "work"));
}

TEST(SegmentMergeTest, AMergeInterruptedByACrashIsRedoneUnderTheSameName) {
    MergeFixture f;
    // What a crash in the middle of appending leaves: the target shares the first range's file,
    // which grew by part of the second range.
    std::filesystem::create_directories(f.Dl("Video"));
    ASSERT_EQ(::link(f.WorkFile("seg.x0").c_str(), f.Dl("Video/clip.mp4").c_str()), 0);
    writeWholeFile(f.WorkFile("seg.x0"), f.content.substr(0, 70000) + f.content.substr(70000, 1234));
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.manager->Segment(0)->m_received, 70000);
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
    EXPECT_TRUE(f.host.fileNames.empty());
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip(1).mp4")));
}

// When the target lies on another file system the first range is copied like the others.
TEST(SegmentMergeTest, ATargetOnAnotherFileSystemIsCopied) {
    TempDir other;
    std::filesystem::path shm = "/dev/shm";
    struct stat a {
    }, b{};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(other.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system";
    MergeFixture f;
    std::filesystem::path destination = shm / ("brellin-merge-" + std::to_string(::getpid()));
    f.manager = std::make_unique<VornSegmentManager>(&f.host, f.Work(), destination.wstring() + L"/", false);
    f.host.manager = f.manager.get();
    f.manager->SetFileName(L"clip.mp4");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(destination / "Video/clip.mp4"), f.content);
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS),
              (std::vector<std::string>{"65536", "70000", "135536", "140000", "200000"}));
    EXPECT_EQ(readWholeFile(f.WorkFile("seg.x0")), f.content.substr(0, 70000));
    std::filesystem::remove_all(destination);
}

TEST(SegmentMergeTest, CategoryFoldersOffPutsTheFileStraightIntoTheDestination) {
    MergeFixture f;
    f.host.categoryFolders = 2;
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("clip.mp4")), f.content);
}

TEST(SegmentMergeTest, AnEmptyFileNameBecomesTheDerivedName) {
    MergeFixture f(false, L"");
    f.host.derivedName = L"index.html";
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Misc/index.html")), f.content);
}

TEST(SegmentMergeTest, AnExistingTargetKeepsItsContentAndTheMergeTakesAUniqueName) {
    MergeFixture f;
    std::filesystem::create_directories(f.Dl("Video"));
    writeWholeFile(f.Dl("Video/clip.mp4"), "mine");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), "mine");
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip(1).mp4")), f.content);
    EXPECT_EQ(f.host.fileNames, std::vector<std::wstring>{L"clip(1).mp4"});
    EXPECT_EQ(f.manager->FileName(), L"clip(1).mp4");
}

TEST(SegmentMergeTest, BytesBeyondARangeNeverReachTheTarget) {
    MergeFixture f;
    writeWholeFile(f.WorkFile("seg.x0"), f.content.substr(0, 70000) + "GARBAGE");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
}

TEST(SegmentMergeTest, ASegmentFileThatShrankAfterItCompletedFailsTheMerge) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    writeWholeFile(f.WorkFile("seg.x2"), f.content.substr(70000, 69000));
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. an inComplete segment was found . SegmentIndex = 2and "
                              "segment->remainedBytes = 1000"));
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
}

TEST(SegmentMergeTest, AnIncompleteSegmentFailsTheMerge) {
    MergeFixture f;
    writeWholeFile(f.WorkFile("seg.x1"), f.content.substr(140000, 100));
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.host.mergingEntered, 0);
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. an inComplete segment was found . SegmentIndex = 1and "
                              "segment->remainedBytes = 59900"));
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
}

TEST(SegmentMergeTest, AStoppedDownloadAbandonsTheMergeAndLeavesNoPartialFile) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    f.host.cancelled = true;
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
    // Nothing was lost: the segment files stay for the next attempt.
    EXPECT_EQ(readWholeFile(f.WorkFile("seg.x1")), f.content.substr(140000));
}

TEST(SegmentMergeTest, WithoutAnySegmentTheFirstRangeIsMissing) {
    MergeFixture f;
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. Merging Failed.Can not find first Segment."));
}

// A disk that fills up during the merge, made with the file-size limit: the merge fails without
// leaving a partial target, and succeeds once there is room again.
TEST(SegmentMergeTest, AFullDiskFailsTheMergeAndARetryCompletesIt) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    FullDisk disk(100000);
    ASSERT_TRUE(disk.active());
    bool merged = f.manager->MergeSegments();
    disk.lift();
    EXPECT_FALSE(merged);
    EXPECT_TRUE(f.host.HasLog("Internal Error. Failed in Merging segments."));
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
}

TEST(SegmentMergeTest, PairModeMergesIntoTheDestinationAndReusesAFinishedTarget) {
    {
        MergeFixture f(true, L"Video.webm");
        std::filesystem::create_directories(f.Dl(""));
        writeWholeFile(f.Dl("Video.webm"), "short");
        ASSERT_TRUE(f.Load());
        ASSERT_TRUE(f.manager->MergeSegments());
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), f.content);
        // The segment files of a pair stay after the merge, so the target never shares one of them.
        struct stat target {
        }, segment{};
        ASSERT_EQ(::stat(f.Dl("Video.webm").c_str(), &target), 0);
        ASSERT_EQ(::stat(f.WorkFile("seg.x0").c_str(), &segment), 0);
        EXPECT_NE(target.st_ino, segment.st_ino);
        EXPECT_TRUE(f.host.EventPayloads(ENGINE_EVENT_TARGET_FOLDER).empty());
        // Inside a pair no merge progress is posted.
        EXPECT_TRUE(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS).empty());
    }
    {
        MergeFixture f(true, L"Video.webm");
        std::filesystem::create_directories(f.Dl(""));
        writeWholeFile(f.Dl("Video.webm"), std::string(200000, 'z'));
        ASSERT_TRUE(f.Load());
        ASSERT_TRUE(f.manager->MergeSegments());
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), std::string(200000, 'z'));
    }
}
