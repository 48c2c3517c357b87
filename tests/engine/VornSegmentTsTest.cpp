#include "engine/VornSegmentManager.h"

#include "tests/support/FakeSegmentHost.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

// A manager in TS mode with one pending piece per playlist entry.
class TsFixture {
public:
    TsFixture() {
        manager = std::make_unique<VornSegmentManager>(&host, Work(), Work() + L"out/", false);
        host.manager = manager.get();
    }
    ~TsFixture() { manager.reset(); }
    std::wstring Work() const { return m_dir.path().wstring() + L"/"; }
    std::vector<VornSegmentRecord> Stored() const {
        return VornSegmentTable(Work() + L"segments.bin", Work() + L"segments.bak")
            .Load()
            .value_or(std::vector<VornSegmentRecord>{});
    }
    void Create(size_t count, bool resuming) {
        std::vector<std::string> pieces;
        for (size_t i = 0; i < count; ++i)
            pieces.push_back("piece" + std::to_string(i) + ".ts");
        manager->CreateTsSegments(pieces, VornUrl("https://cdn.example.com:8443/live/list.m3u8"), "60.0",
                                  resuming);
    }

    TempDir m_dir;
    FakeSegmentHost host;
    std::unique_ptr<VornSegmentManager> manager;
};

} // namespace

TEST(SegmentTsTest, PiecesAreCreatedAndStoredFresh) {
    TsFixture f;
    f.Create(3, false);
    ASSERT_EQ(f.manager->SegmentCount(), 3u);
    EXPECT_TRUE(f.manager->IsTsMode());
    EXPECT_EQ(f.Stored(), (std::vector<VornSegmentRecord>{{0, 0, 1, 0, 0x9FFFFFFFFFFLL},
                                                          {1, 1, 2, 0, 0x9FFFFFFFFFFLL},
                                                          {2, 2, -1, 0, 0x9FFFFFFFFFFLL}}));
    EXPECT_TRUE(f.host.HasLog("SegmentManager has Created 3 TS-Segments."));
    EXPECT_EQ(f.manager->RemainingBytes(), -1);
}

TEST(SegmentTsTest, PiecesAreHandedOutInOrderAndNeverSplit) {
    TsFixture f;
    f.Create(2, false);
    FakeSegmentConnection a(0), b(1);
    VornSegment* got = nullptr;
    ASSERT_EQ(f.manager->AssignSegment(got), VornSegmentManager::ASSIGN_OK);
    EXPECT_EQ(got->m_index, 0);
    a.Take(got);
    ASSERT_EQ(f.manager->AssignSegment(got), VornSegmentManager::ASSIGN_OK);
    EXPECT_EQ(got->m_index, 1);
    b.Take(got);
    EXPECT_EQ(f.manager->AssignSegment(got), VornSegmentManager::ASSIGN_NO_WORK);
    // A piece whose length became known is rewritten in place; completing it posts the counts.
    f.manager->Segment(1)->SetEnd(999, true);
    EXPECT_EQ(f.Stored()[1], (VornSegmentRecord{1, 1, -1, 0, 999}));
    writeWholeFile(std::filesystem::path(f.manager->Segment(1)->SegmentFilePath()), std::string(1000, 'p'));
    EXPECT_TRUE(f.manager->Segment(1)->AddProgress(1000));
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_SEGMENTS),
              std::vector<std::string>{"1@Segments : 2     Completed : 1"});
    EXPECT_EQ(f.manager->RemainingBytes(),
              1000); // two pieces of the average completed size, minus what is in
    // A dropped piece with bytes waits for another connection.
    writeWholeFile(std::filesystem::path(f.manager->Segment(0)->SegmentFilePath()), "abc");
    f.manager->Segment(0)->AddProgress(3);
    a.Close();
    EXPECT_EQ(f.manager->Segment(0)->m_status, SEGMENT_PENDING);
    EXPECT_EQ(f.manager->ProgressReport(true, 0, "Unkown"), "1003@0@Unkown@0*3*10995116277760@1*1000*1000");
    f.manager.reset();
}

TEST(SegmentTsTest, AResumedTableRestoresPieceLengthsAndProgress) {
    TsFixture f;
    f.Create(2, false);
    f.manager->Segment(0)->SetEnd(499, true);
    writeWholeFile(std::filesystem::path(f.manager->Segment(0)->SegmentFilePath()), std::string(500, 'q'));
    writeWholeFile(std::filesystem::path(f.manager->Segment(1)->SegmentFilePath()), std::string(20, 'q'));
    f.manager.reset();
    f.manager = std::make_unique<VornSegmentManager>(&f.host, f.Work(), f.Work() + L"out/", false);
    f.host.manager = f.manager.get();
    f.Create(2, true);
    ASSERT_TRUE(f.manager->LoadSegments());
    EXPECT_EQ(f.manager->Segment(0)->m_length, 500);
    EXPECT_TRUE(f.manager->Segment(0)->IsCompleted());
    EXPECT_EQ(f.manager->Segment(1)->m_received, 20);
    EXPECT_EQ(f.manager->DownloadedTotal(), 520);
    EXPECT_TRUE(f.host.HasLog("2 TS Segments were loaded from segments.bin file."));
}

TEST(SegmentTsTest, AMismatchedTableRestartsEveryPiece) {
    TsFixture f;
    f.Create(3, false);
    writeWholeFile(std::filesystem::path(f.manager->Segment(2)->SegmentFilePath()), "zz");
    f.manager.reset();
    f.manager = std::make_unique<VornSegmentManager>(&f.host, f.Work(), f.Work() + L"out/", false);
    f.host.manager = f.manager.get();
    f.Create(4, true); // the playlist changed
    EXPECT_FALSE(f.manager->LoadSegments());
    EXPECT_EQ(f.Stored().size(), 4u);
    EXPECT_EQ(f.manager->DownloadedTotal(), 0);
    EXPECT_FALSE(std::filesystem::exists(f.m_dir / "seg.x2"));
}

struct PieceCase {
    const char* name;
    const char* piece;
    const char* expected;
};

class PieceUrlTest : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceUrlTest, ResolvesAgainstThePlaylist) {
    TsFixture f;
    f.manager->CreateTsSegments({GetParam().piece},
                                VornUrl("https://cdn.example.com:8443/live/list.m3u8?t=1"), "", true);
    VornUrl url;
    f.manager->PieceUrl(0, url);
    EXPECT_EQ(url.fullUrl(), VornUrl(GetParam().expected).fullUrl());
    EXPECT_EQ(url.host(), VornUrl(GetParam().expected).host());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PieceUrlTest,
    ::testing::Values(
        PieceCase{"BareName", "seg1.ts", "https://cdn.example.com:8443/live/seg1.ts"},
        PieceCase{"Rooted", "/other/seg1.ts", "https://cdn.example.com:8443/other/seg1.ts"},
        PieceCase{"AbsoluteAnyCase", "hTTpS://media.example.org/a.ts", "https://media.example.org/a.ts"},
        PieceCase{"PlainHttp", "http://media.example.org/b.ts", "http://media.example.org/b.ts"},
        PieceCase{"SchemeRelative", "//media.example.org/c.ts", "https://media.example.org/c.ts"}),
    [](const auto& info) { return std::string(info.param.name); });
