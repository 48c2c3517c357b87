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

// Three completed ranges stored in an order different from the file order, written into one work file
// with known content. The work file lies in the target's category folder, as a download makes it, or
// in another folder (which may be on another file system).
class MergeFixture {
public:
    explicit MergeFixture(bool pairMode = false, std::wstring fileName = L"clip.mp4",
                          std::filesystem::path workAt = {}) {
        std::filesystem::create_directories(m_dir / "work");
        for (size_t i = 0; i < 200000; ++i)
            content.push_back(static_cast<char>('a' + i * 7 % 26));
        // File order: number 0 [0, 69999], number 2 [70000, 139999], number 1 [140000, 199999].
        VornSegmentTable table(Work() + L"segments.bin", Work() + L"segments.bak");
        table.WriteAll(
            {{0, 0, 2, 0, 69999, 70000}, {1, 1, -1, 140000, 199999, 60000}, {2, 2, 1, 70000, 139999, 70000}});
        if (workAt.empty())
            workAt =
                pairMode ? m_dir / "dl" : m_dir / "dl" / (fileName.ends_with(L".mp4") ? "Video" : "Misc");
        std::filesystem::create_directories(workAt);
        workPath = workAt / ".clip.part";
        VornWorkFile work(WorkFile("workfile.path").string());
        work.Create(workPath.string(), -1);
        writeWholeFile(workPath, content);
        MakeManager(pairMode, Destination());
        manager->SetFileName(fileName);
    }
    ~MergeFixture() { manager.reset(); }

    void MakeManager(bool pairMode, const std::wstring& destination) {
        manager = std::make_unique<VornSegmentManager>(&host, Work(), destination, pairMode);
        host.manager = manager.get();
    }
    bool Load() { return manager->LoadSegments(); }
    std::wstring Work() const { return (m_dir / "work").wstring() + L"/"; }
    std::wstring Destination() const { return (m_dir / "dl").wstring() + L"/"; }
    std::filesystem::path Dl(const std::string& name) const { return m_dir / "dl" / name; }
    std::filesystem::path WorkFile(const std::string& name) const { return m_dir / "work" / name; }

    TempDir m_dir;
    FakeSegmentHost host;
    std::unique_ptr<VornSegmentManager> manager;
    std::string content;
    std::filesystem::path workPath;
};

// A folder on another file system than the temporary folders, or nothing.
std::filesystem::path OtherFileSystem(const TempDir& here) {
    std::filesystem::path shm = "/dev/shm";
    struct stat a {
    }, b{};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(here.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
        return {};
    return shm / ("brellin-merge-" + std::to_string(::getpid()));
}

} // namespace

TEST(SegmentMergeTest, JoinsTheRangesInFileOrderIntoTheCategoryFolder) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.host.mergingEntered, 1);
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_TARGET_FOLDER),
              std::vector<std::string>{(f.m_dir / "dl/Video/").string()});
    // The work file became the target by a rename: every byte counts at once, and it is gone.
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS), std::vector<std::string>{"200000"});
    EXPECT_FALSE(std::filesystem::exists(f.workPath));
    EXPECT_TRUE(f.host.HasLog("File completely Downloaded. ( 3  Segments) "));
    // A completed download leaves nothing in its work folder.
    f.host.completed = true;
    f.manager.reset();
    EXPECT_TRUE(std::filesystem::is_empty(f.m_dir / "work"));
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
}

// A crash in the middle of a copy to another file system leaves only a hidden partial copy and the whole
// work file: the next end copies again under the target's own name.
TEST(SegmentMergeTest, ACopyInterruptedByACrashIsRedoneUnderTheSameName) {
    MergeFixture f;
    std::filesystem::path destination = OtherFileSystem(f.m_dir);
    if (destination.empty())
        GTEST_SKIP() << "no second file system";
    std::filesystem::create_directories(destination / "Video");
    writeWholeFile(destination / "Video/.clip.mp4.brellin-copy", f.content.substr(0, 1234));
    f.MakeManager(false, destination.wstring() + L"/");
    f.manager->SetFileName(L"clip.mp4");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(destination / "Video/clip.mp4"), f.content);
    EXPECT_TRUE(f.host.fileNames.empty());
    EXPECT_FALSE(std::filesystem::exists(destination / "Video/.clip.mp4.brellin-copy"));
    std::filesystem::remove_all(destination);
}

// Bytes beyond the file's size (a reservation, or junk) never reach the target.
TEST(SegmentMergeTest, AWorkFileThatGrewPastTheSizeIsCutToIt) {
    MergeFixture f;
    writeWholeFile(f.workPath, f.content + "GARBAGE");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(f.Dl("Video/clip.mp4")), f.content);
}

// When the target lies on another file system the work file is copied once, with progress per block.
TEST(SegmentMergeTest, ATargetOnAnotherFileSystemIsCopiedOnce) {
    MergeFixture f;
    std::filesystem::path destination = OtherFileSystem(f.m_dir);
    if (destination.empty())
        GTEST_SKIP() << "no second file system";
    f.MakeManager(false, destination.wstring() + L"/");
    f.manager->SetFileName(L"clip.mp4");
    ASSERT_TRUE(f.Load());
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(destination / "Video/clip.mp4"), f.content);
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS),
              (std::vector<std::string>{"65536", "131072", "196608", "200000"}));
    EXPECT_FALSE(std::filesystem::exists(f.workPath));
    f.host.completed = true;
    f.manager.reset();
    EXPECT_TRUE(std::filesystem::is_empty(f.m_dir / "work"));
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

TEST(SegmentMergeTest, AWorkFileThatShrankAfterItCompletedFailsTheMerge) {
    MergeFixture f;
    ASSERT_TRUE(f.Load());
    ASSERT_EQ(::truncate(f.workPath.c_str(), 139000), 0);
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. an inComplete segment was found . SegmentIndex = 2and "
                              "segment->remainedBytes = 1000"));
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
}

TEST(SegmentMergeTest, AnIncompleteSegmentFailsTheMerge) {
    MergeFixture f;
    VornSegmentTable(f.Work() + L"segments.bin", f.Work() + L"segments.bak")
        .WriteAll(
            {{0, 0, 2, 0, 69999, 70000}, {1, 1, -1, 140000, 199999, 100}, {2, 2, 1, 70000, 139999, 70000}});
    ASSERT_TRUE(f.Load());
    EXPECT_EQ(f.host.mergingEntered, 0);
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. an inComplete segment was found . SegmentIndex = 1and "
                              "segment->remainedBytes = 59900"));
    EXPECT_FALSE(std::filesystem::exists(f.Dl("Video/clip.mp4")));
}

// A stop before the rename, or in the middle of a copy to another file system, leaves no partial target
// and the whole work file for the next attempt.
TEST(SegmentMergeTest, AStoppedDownloadAbandonsTheMergeAndLeavesNoPartialFile) {
    for (bool across : {false, true}) {
        SCOPED_TRACE(across ? "copy" : "rename");
        MergeFixture f;
        std::filesystem::path destination = across ? OtherFileSystem(f.m_dir) : f.m_dir / "dl";
        if (destination.empty())
            continue;
        f.MakeManager(false, destination.wstring() + L"/");
        f.manager->SetFileName(L"clip.mp4");
        ASSERT_TRUE(f.Load());
        // The stop comes after the first block when copying, at once otherwise.
        f.host.cancelAfterEvents = across ? ENGINE_EVENT_MERGE_PROGRESS : 0;
        f.host.cancelled = !across;
        EXPECT_FALSE(f.manager->MergeSegments());
        EXPECT_FALSE(std::filesystem::exists(destination / "Video/clip.mp4"));
        EXPECT_EQ(readWholeFile(f.workPath), f.content);
        if (across) {
            EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS), std::vector<std::string>{"65536"});
            std::filesystem::remove_all(destination);
        }
    }
}

TEST(SegmentMergeTest, WithoutAnySegmentTheFirstRangeIsMissing) {
    MergeFixture f;
    EXPECT_FALSE(f.manager->MergeSegments());
    EXPECT_TRUE(f.host.HasLog("Internal Error. Merging Failed.Can not find first Segment."));
}

// A disk that fills up during the copy to another file system, made with the file-size limit: the merge
// fails without leaving a partial target, and succeeds once there is room again. A rename needs no room.
TEST(SegmentMergeTest, AFullDiskFailsTheMergeAndARetryCompletesIt) {
    MergeFixture f;
    std::filesystem::path destination = OtherFileSystem(f.m_dir);
    if (destination.empty())
        GTEST_SKIP() << "no second file system";
    f.MakeManager(false, destination.wstring() + L"/");
    f.manager->SetFileName(L"clip.mp4");
    ASSERT_TRUE(f.Load());
    FullDisk disk(100000);
    ASSERT_TRUE(disk.active());
    bool merged = f.manager->MergeSegments();
    disk.lift();
    EXPECT_FALSE(merged);
    EXPECT_TRUE(f.host.HasLog("Internal Error. Failed in Merging segments."));
    EXPECT_FALSE(std::filesystem::exists(destination / "Video/clip.mp4"));
    ASSERT_TRUE(f.manager->MergeSegments());
    EXPECT_EQ(readWholeFile(destination / "Video/clip.mp4"), f.content);
    std::filesystem::remove_all(destination);
}

TEST(SegmentMergeTest, PairModeMergesIntoTheDestinationAndReusesAFinishedTarget) {
    {
        MergeFixture f(true, L"Video.webm");
        writeWholeFile(f.Dl("Video.webm"), "short");
        ASSERT_TRUE(f.Load());
        ASSERT_TRUE(f.manager->MergeSegments());
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), f.content);
        EXPECT_TRUE(f.host.EventPayloads(ENGINE_EVENT_TARGET_FOLDER).empty());
        // Inside a pair no merge progress is posted.
        EXPECT_TRUE(f.host.EventPayloads(ENGINE_EVENT_MERGE_PROGRESS).empty());
        // The stream outlives the engine for the muxer, and a resume of the finished pair finds it
        // complete without fetching anything.
        f.manager.reset();
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), f.content);
        f.MakeManager(true, f.Destination());
        f.manager->SetFileName(L"Video.webm");
        ASSERT_TRUE(f.Load());
        EXPECT_EQ(f.manager->DownloadedTotal(), 200000);
        ASSERT_TRUE(f.manager->MergeSegments());
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), f.content);
    }
    {
        MergeFixture f(true, L"Video.webm");
        writeWholeFile(f.Dl("Video.webm"), std::string(200000, 'z'));
        ASSERT_TRUE(f.Load());
        ASSERT_TRUE(f.manager->MergeSegments());
        EXPECT_EQ(readWholeFile(f.Dl("Video.webm")), std::string(200000, 'z'));
        EXPECT_FALSE(std::filesystem::exists(f.workPath));
    }
}
