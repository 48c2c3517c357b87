#include "engine/VornSegmentManager.h"

#include "tests/support/FakeSegmentHost.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <memory>

#include <unistd.h>

namespace {

// A manager working in a temporary folder, with fake connections that take its segments.
class ManagerFixture {
public:
    explicit ManagerFixture(bool pairMode = false)
        : manager(std::make_unique<VornSegmentManager>(&host, m_dir.path().wstring() + L"/",
                                                       m_dir.path().wstring() + L"/dl/", pairMode)) {
        host.manager = manager.get();
    }
    ~ManagerFixture() { manager.reset(); }

    // Assigns work to a new connection; the segment, or null when the result was not OK.
    VornSegment* Connect(int expected = VornSegmentManager::ASSIGN_OK) {
        VornSegment* segment = nullptr;
        EXPECT_EQ(manager->AssignSegment(segment), expected);
        auto& connection = connections.emplace_back(static_cast<int>(connections.size()));
        if (segment)
            connection.Take(segment);
        return segment;
    }
    // Writes n bytes into the work file at the range's offset, as the connection's body handling does.
    bool Receive(VornSegment* segment, int64_t n) {
        EXPECT_TRUE(manager->OpenWorkFile());
        std::string bytes(static_cast<size_t>(n), 'x');
        EXPECT_EQ(::pwrite(manager->WorkFileHandle(), bytes.data(), bytes.size(),
                           segment->m_start + segment->m_received),
                  static_cast<ssize_t>(n));
        return segment->AddProgress(n);
    }
    // A work file left by an earlier run, with the given bytes, recorded in the work folder.
    void PlaceWorkFile(const std::string& bytes) {
        VornWorkFile work((m_dir.path() / "workfile.path").string());
        ASSERT_TRUE(work.Create((m_dir.path() / ".earlier.part").string(), -1));
        writeWholeFile(m_dir.path() / ".earlier.part", bytes);
    }
    std::vector<VornSegmentRecord> StoredTable() {
        return VornSegmentTable(m_dir.path().wstring() + L"/segments.bin",
                                m_dir.path().wstring() + L"/segments.bak")
            .Load()
            .value_or(std::vector<VornSegmentRecord>{});
    }
    std::filesystem::path Folder() const { return m_dir.path(); }

    TempDir m_dir;
    FakeSegmentHost host;
    std::unique_ptr<VornSegmentManager> manager;
    std::deque<FakeSegmentConnection> connections;
};

struct Range {
    int64_t start, end;
    int32_t next;
    bool operator==(const Range&) const = default;
};

std::vector<Range> Ranges(const VornSegmentManager& manager) {
    std::vector<Range> ranges;
    for (size_t i = 0; i < manager.SegmentCount(); ++i)
        ranges.push_back(
            {manager.Segment(i)->m_start, manager.Segment(i)->m_end, manager.Segment(i)->m_next});
    return ranges;
}

} // namespace

TEST(SegmentManagerTest, FirstSegmentCoversTheWholeFileAndIsStored) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    ASSERT_TRUE(first);
    EXPECT_EQ(Ranges(*f.manager), (std::vector<Range>{{0, 999999, -1}}));
    EXPECT_EQ(first->m_status, SEGMENT_ACTIVE);
    EXPECT_EQ(f.StoredTable(), (std::vector<VornSegmentRecord>{{0, 0, -1, 0, 999999}}));
    EXPECT_TRUE(f.host.HasLog("SegmentManager has Created a New Segment and now has 1 Segments."));
}

TEST(SegmentManagerTest, UnknownSizeGivesOneOpenRangeAndRefusesMoreWork) {
    ManagerFixture f;
    VornSegment* first = f.Connect();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->m_end, 0x9FFFFFFFFFFLL);
    f.Connect(VornSegmentManager::ASSIGN_ERROR);
    // Learning the size closes the range and rewrites the table.
    f.manager->SetFileSize(4096);
    EXPECT_EQ(first->m_end, 4095);
    EXPECT_EQ(f.StoredTable(), (std::vector<VornSegmentRecord>{{0, 0, -1, 0, 4095}}));
}

struct SplitCase {
    const char* name;
    bool pairMode;
    int64_t fileSize;
    int64_t received;
    int expected;
    int64_t newStart;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SecondConnectionGetsTheSecondHalfOfWhatRemains) {
    const SplitCase& c = GetParam();
    ManagerFixture f(c.pairMode);
    f.manager->SetFileSize(c.fileSize);
    VornSegment* first = f.Connect();
    if (c.received > 0)
        f.Receive(first, c.received);
    VornSegment* second = f.Connect(c.expected);
    if (c.expected != VornSegmentManager::ASSIGN_OK) {
        EXPECT_EQ(f.manager->SegmentCount(), 1u);
        EXPECT_EQ(first->m_end, c.fileSize - 1);
        return;
    }
    ASSERT_TRUE(second);
    EXPECT_EQ(Ranges(*f.manager),
              (std::vector<Range>{{0, c.newStart - 1, 1}, {c.newStart, c.fileSize - 1, -1}}));
    EXPECT_EQ(second->m_fileNumber, 1);
    // The split is on disk before the connection starts writing.
    EXPECT_EQ(f.StoredTable(), (std::vector<VornSegmentRecord>{{0, 0, 1, 0, c.newStart - 1},
                                                               {1, 1, -1, c.newStart, c.fileSize - 1}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitTest,
                         ::testing::Values(SplitCase{"MillionAfter100k", false, 1000000, 100000, 0, 550000},
                                           SplitCase{"Remaining300k", false, 300000, 0, 0, 150000},
                                           SplitCase{"RemainingExactlyMinimum", false, 204800, 0, 1, 0},
                                           SplitCase{"RemainingOneAboveMinimum", false, 204801, 0, 0, 102400},
                                           SplitCase{"PairModeExactlyMinimum", true, 524288, 0, 1, 0},
                                           SplitCase{"PairModeOneAbove", true, 524289, 0, 0, 262144},
                                           SplitCase{"PairModeTooSmallForPair", true, 300000, 0, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SegmentManagerTest, SplitsTheLargestRemainingRangeWithTiesToTheLowestIndex) {
    ManagerFixture f;
    f.manager->SetFileSize(4000000);
    f.Connect();                      // [0, 3999999]
    f.Connect();                      // [0, 1999999] [2000000, 3999999]
    VornSegment* third = f.Connect(); // tie: splits index 0
    EXPECT_EQ(third->m_start, 1000000);
    f.Receive(f.manager->Segment(1), 500000); // index 1 now has 1 500 000 left, the largest
    VornSegment* fourth = f.Connect();
    EXPECT_EQ(fourth->m_start, 2000000 + 500000 + 750000);
    EXPECT_EQ(Ranges(*f.manager),
              (std::vector<Range>{
                  {0, 999999, 2}, {2000000, 3249999, 3}, {1000000, 1999999, 1}, {3250000, 3999999, -1}}));
    // Records were appended, so the stored order is not the index order; the content must match.
    auto stored = f.StoredTable();
    ASSERT_EQ(stored.size(), 4u);
    for (auto& record : stored) {
        const VornSegment* segment = f.manager->Segment(record.index);
        EXPECT_EQ(record, (VornSegmentRecord{segment->m_index, segment->m_fileNumber, segment->m_next,
                                             segment->m_start, segment->m_end}));
    }
}

TEST(SegmentManagerTest, APendingSegmentIsReusedBeforeAnySplit) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    VornSegment* second = f.Connect();
    f.Receive(second, 1000);
    f.connections[1].Close();
    EXPECT_EQ(second->m_status, SEGMENT_PENDING);
    EXPECT_EQ(f.Connect(), second);
    EXPECT_EQ(f.manager->SegmentCount(), 2u);
    EXPECT_EQ(first->m_status, SEGMENT_ACTIVE);
}

// A pending range is handed out again with the progress it had: its bytes are in the shared work file,
// which no one else writes at that range's offsets.
TEST(SegmentManagerTest, APendingRangeIsHandedOutAgainWithItsProgress) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    f.Connect();
    VornSegment* second = f.Connect(); // [500000, 999999]
    f.Receive(second, 2000);
    f.connections[1].Close();
    EXPECT_EQ(second->m_status, SEGMENT_PENDING);
    EXPECT_EQ(f.Connect(), second);
    EXPECT_EQ(second->m_received, 2000);
    EXPECT_EQ(f.manager->DownloadedTotal(), 2000);
}

// The table claims only what has been flushed: received bytes reach it with the next flush, which syncs
// the work file first.
TEST(SegmentManagerTest, TheTableClaimsProgressOnlyAfterAFlush) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    f.Receive(first, 3000);
    VornSegment* second = f.Connect(); // a split writes the table, with the old count
    f.Receive(second, 10);
    auto stored = f.StoredTable();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].received, 0);
    EXPECT_EQ(stored[1].received, 0);
    // Inside the interval nothing is written unless forced.
    ASSERT_TRUE(f.manager->Flush(false));
    EXPECT_EQ(f.StoredTable()[0].received, 0);
    ASSERT_TRUE(f.manager->Flush(true));
    stored = f.StoredTable();
    EXPECT_EQ(stored[0].received, 3000);
    EXPECT_EQ(stored[1].received, 10);
    EXPECT_EQ(first->m_stored, 3000);
}

TEST(SegmentManagerTest, AnEmptyRangeWhoseConnectionLeftGoesBackToItsPredecessor) {
    ManagerFixture f;
    f.manager->SetFileSize(4000000);
    f.Connect();                      // index 0
    f.Connect();                      // index 1 [2000000, 3999999]
    VornSegment* third = f.Connect(); // index 2 [1000000, 1999999], between 0 and 1
    ASSERT_EQ(third->m_index, 2);
    f.Receive(f.manager->Segment(1), 10);
    f.connections[2].Close();
    EXPECT_EQ(Ranges(*f.manager), (std::vector<Range>{{0, 1999999, 1}, {2000000, 3999999, -1}}));
    EXPECT_TRUE(f.host.HasLog("Segment Rolled Back To Socket ( 1 ). Segment 2 Merged To Segment 0"));
    EXPECT_EQ(f.StoredTable(),
              (std::vector<VornSegmentRecord>{{0, 0, 1, 0, 1999999}, {1, 1, -1, 2000000, 3999999}}));
    EXPECT_EQ(f.connections[2].released, 1);
}

TEST(SegmentManagerTest, RemovingASegmentRenumbersIndexesAndNexts) {
    ManagerFixture f;
    f.manager->SetFileSize(4000000);
    f.Connect();                       // 0: [0, 999999] -> 2
    VornSegment* second = f.Connect(); // 1: [2000000, 2999999] -> 3
    f.Connect();                       // 2: [1000000, 1999999] -> 1
    f.Connect();                       // 3: [3000000, 3999999]
    ASSERT_EQ(second->m_index, 1);
    f.connections[1].Close();
    EXPECT_EQ(Ranges(*f.manager),
              (std::vector<Range>{{0, 999999, 1}, {1000000, 2999999, 2}, {3000000, 3999999, -1}}));
    for (size_t i = 0; i < f.manager->SegmentCount(); ++i) {
        EXPECT_EQ(f.manager->Segment(i)->m_index, i);
    }
}

TEST(SegmentManagerTest, TheFirstRangeWaitsInsteadOfRollingBackWhileOthersExist) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    f.Connect();
    f.connections[0].Close();
    EXPECT_EQ(f.manager->SegmentCount(), 2u);
    EXPECT_EQ(first->m_status, SEGMENT_PENDING);
    // and the next connection picks it up again.
    EXPECT_EQ(f.Connect(), first);
}

TEST(SegmentManagerTest, ALoneEmptySegmentDisappearsAndStartsAfreshOnTheNextAssignment) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    f.Connect();
    f.connections[0].Close();
    EXPECT_EQ(f.manager->SegmentCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(f.Folder() / "segments.bin"));
    VornSegment* again = f.Connect();
    ASSERT_TRUE(again);
    EXPECT_EQ(Ranges(*f.manager), (std::vector<Range>{{0, 999999, -1}}));
}

TEST(SegmentManagerTest, ACompletedPredecessorThatTakesARangeBackIsPendingAgain) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    f.Connect(); // [500000, 999999]
    EXPECT_TRUE(f.Receive(first, 500000));
    EXPECT_EQ(f.manager->CompletedCount(), 1);
    f.connections[1].Close();
    EXPECT_EQ(first->m_end, 999999);
    EXPECT_EQ(first->m_status, SEGMENT_PENDING);
    EXPECT_EQ(f.manager->CompletedCount(), 0);
    EXPECT_EQ(f.manager->CompletedBytes(), 0);
    EXPECT_EQ(f.manager->RemainingBytes(), 500000);
}

struct SpecialCase {
    const char* name;
    bool ftp, chunked, nextHasConnection, nextReceiving;
    int64_t nextReceived;
    bool absorbed;
};

class SpecialRollBackTest : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialRollBackTest, ANearlyDoneRangeSwallowsAnUnstartedNextRange) {
    const SpecialCase& c = GetParam();
    ManagerFixture f;
    f.host.ftp = c.ftp;
    f.host.chunked = c.chunked;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    VornSegment* second = nullptr;
    if (c.nextHasConnection) {
        second = f.Connect(); // [500000, 999999]
    } else {
        // Assigned but not yet taken by its connection.
        ASSERT_EQ(f.manager->AssignSegment(second), VornSegmentManager::ASSIGN_OK);
        f.connections.emplace_back(1);
    }
    if (c.nextReceived > 0)
        f.Receive(second, c.nextReceived);
    f.connections[1].receiving = c.nextReceiving;
    int64_t firstEnd = first->m_end;
    f.Receive(first, first->m_length - 1000); // 1 000 bytes left: inside the window
    if (c.absorbed) {
        EXPECT_EQ(f.manager->SegmentCount(), 1u);
        EXPECT_EQ(first->m_end, 999999);
        EXPECT_EQ(first->m_next, -1);
        EXPECT_TRUE(
            f.host.HasLog("Special Segment-RollBack Occured. Socket ( 1 ) should continue downloading."));
        EXPECT_EQ(f.StoredTable(), (std::vector<VornSegmentRecord>{{0, 0, -1, 0, 999999}}));
    } else {
        EXPECT_EQ(f.manager->SegmentCount(), 2u);
        EXPECT_EQ(first->m_end, firstEnd);
    }
    EXPECT_EQ(f.connections[1].resets, c.absorbed && c.nextHasConnection ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpecialRollBackTest,
    ::testing::Values(SpecialCase{"NextConnectionNotReceiving", false, false, true, false, 0, true},
                      SpecialCase{"NextWithoutConnection", false, false, false, false, 0, true},
                      SpecialCase{"NextAlreadyReceiving", false, false, true, true, 0, false},
                      SpecialCase{"NextHasBytes", false, false, true, false, 10, false},
                      SpecialCase{"FtpNever", true, false, true, false, 0, false},
                      SpecialCase{"ChunkedNever", false, true, true, false, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SegmentManagerTest, SpecialRollBackWaitsForTheLastSixtyFourKibibytes) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    f.Connect();
    f.Receive(first, first->m_length - 65536); // exactly 65 536 left: not yet
    EXPECT_EQ(f.manager->SegmentCount(), 2u);
    f.Receive(first, 1);
    EXPECT_EQ(f.manager->SegmentCount(), 1u);
}

TEST(SegmentManagerTest, CanSplitAndUsefulConnectionsFollowTheRemainingBytes) {
    {
        ManagerFixture f;
        f.manager->SetFileSize(237568 * 4);
        EXPECT_TRUE(f.manager->CanSplit());
        EXPECT_EQ(f.manager->UsefulConnections(), 4);
        VornSegment* first = f.Connect();
        EXPECT_EQ(f.manager->UsefulConnections(), 5); // 4 work units left + 1
        f.Receive(first, 237568 * 3);
        EXPECT_FALSE(f.manager->CanSplit()); // exactly one work unit left
        EXPECT_EQ(f.manager->UsefulConnections(), 2);
        f.Receive(first, 237568);
        EXPECT_EQ(f.manager->UsefulConnections(), 0);
    }
    {
        ManagerFixture f;
        f.manager->SetFileSize(100000);
        f.Connect();
        f.Receive(f.manager->Segment(0), 10);
        f.connections[0].Close(); // pending with bytes left: work for a connection
        EXPECT_TRUE(f.manager->CanSplit());
    }
}

TEST(SegmentManagerTest, CompletingEveryRangeMovesTheEngineToMerging) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    VornSegment* second = f.Connect();
    EXPECT_FALSE(f.manager->CheckFinished());
    EXPECT_TRUE(f.Receive(second, 500000));
    EXPECT_EQ(f.host.mergingEntered, 0);
    EXPECT_TRUE(f.Receive(first, 500000));
    EXPECT_TRUE(f.manager->CheckFinished());
    EXPECT_EQ(f.host.mergingEntered, 1);
    EXPECT_EQ(f.manager->RemainingBytes(), 0);
    EXPECT_EQ(f.manager->CompletedCount(), 2);
    // No more work once everything is complete.
    f.Connect(VornSegmentManager::ASSIGN_NO_WORK);
}

TEST(SegmentManagerTest, CompletionWithTheWrongTotalDoesNotMerge) {
    ManagerFixture f;
    f.manager->SetFileSize(1000);
    VornSegment* first = f.Connect();
    EXPECT_TRUE(f.Receive(first, 1000));
    f.manager->AddDownloaded(-1); // a bookkeeping fault must not start a merge
    EXPECT_TRUE(f.manager->CheckFinished());
    EXPECT_EQ(f.host.mergingEntered, 0);
    f.manager->AddDownloaded(1);
    EXPECT_TRUE(f.manager->CheckFinished());
    EXPECT_EQ(f.host.mergingEntered, 1);
}

TEST(SegmentManagerTest, ProgressReportsListChangedSegmentsOnce) {
    ManagerFixture f;
    f.manager->SetFileSize(1000000);
    VornSegment* first = f.Connect();
    VornSegment* second = f.Connect();
    EXPECT_EQ(f.manager->ProgressReport(false, 0, "x"), "0@0@x");
    f.Receive(second, 5);
    f.Receive(first, 7);
    f.Receive(second, 5);
    EXPECT_EQ(f.manager->ProgressReport(false, 1234, "12 KB"), "17@1234@12 KB@500000*10@0*7");
    EXPECT_EQ(f.manager->ProgressReport(false, 0, "t"), "17@0@t");
    f.Receive(first, 1);
    EXPECT_EQ(f.manager->ProgressReport(true, 0, "Unkown"), "18@0@Unkown@0*8@500000*10");
    EXPECT_TRUE(f.manager->ChangedList().empty());
}

TEST(SegmentManagerTest, SegmentLimitStopsSplitting) {
    // A table of 25 001 ranges of 1 MB, the largest a download can reach, each worked on by a connection.
    ManagerFixture f;
    const size_t count = VornSegmentManager::SEGMENT_LIMIT + 1;
    std::vector<VornSegmentRecord> records;
    for (size_t i = 0; i < count; ++i)
        records.push_back({static_cast<uint16_t>(i), static_cast<uint16_t>(i),
                           i + 1 < count ? static_cast<int32_t>(i + 1) : -1,
                           static_cast<int64_t>(i) * 1000000, static_cast<int64_t>(i) * 1000000 + 999999});
    VornSegmentTable table(f.Folder().wstring() + L"/segments.bin", f.Folder().wstring() + L"/segments.bak");
    records[0].received = 1;
    ASSERT_TRUE(table.WriteAll(records));
    f.PlaceWorkFile("a");
    ASSERT_TRUE(f.manager->LoadSegments());
    std::vector<FakeSegmentConnection> connections;
    connections.reserve(count);
    for (size_t i = 0; i < count; ++i)
        connections.emplace_back(static_cast<int>(i)).Take(f.manager->Segment(i));
    f.Connect(VornSegmentManager::ASSIGN_NO_WORK);
    // One range fewer, and splitting goes on.
    connections.back().Close();
    connections.back().segment = nullptr;
    ASSERT_EQ(f.manager->SegmentCount(), count - 1);
    f.manager->Segment(count - 2)->Attach(&connections[count - 2]);
    EXPECT_TRUE(f.Connect());
    f.manager.reset();
}

TEST(SegmentManagerTest, DestroyingKeepsFilesUnlessTheDownloadCompleted) {
    for (bool completed : {false, true}) {
        ManagerFixture f;
        f.manager->SetFileSize(1000000);
        f.Receive(f.Connect(), 10);
        f.host.completed = completed;
        f.connections[0].segment = nullptr;
        std::string work = f.manager->WorkFile().Path();
        ASSERT_FALSE(work.empty());
        f.manager.reset();
        EXPECT_EQ(std::filesystem::exists(work), !completed);
        EXPECT_EQ(std::filesystem::exists(f.Folder() / "segments.bin"), !completed);
        EXPECT_EQ(std::filesystem::exists(f.Folder() / "workfile.path"), !completed);
        // What was received before the stop is in the table for the resume.
        if (!completed) {
            EXPECT_EQ(f.StoredTable()[0].received, 10);
        }
    }
}
