#include "engine/VornSegmentManager.h"

#include "tests/support/FakeSegmentHost.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "engine/VornFd.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string encoded(const std::vector<VornSegmentRecord>& records) {
    std::string bytes(records.size() * VornSegmentTable::RECORD_SIZE, '\0');
    for (size_t i = 0; i < records.size(); ++i)
        VornSegmentTable::Encode(records[i], reinterpret_cast<unsigned char*>(bytes.data()) +
                                                 i * VornSegmentTable::RECORD_SIZE);
    return bytes;
}

// A work folder with a table and a work file written by hand, loaded by a fresh manager.
class ResumeFixture {
public:
    ResumeFixture() {
        manager = std::make_unique<VornSegmentManager>(&host, work() + L"/", work() + L"/out/", false);
        host.manager = manager.get();
    }
    std::wstring work() const { return m_dir.path().wstring(); }
    std::filesystem::path File(const std::string& name) const { return m_dir / name; }
    // The work file of an earlier run holding the given number of bytes, recorded in the work folder.
    void WorkFile(size_t bytes) {
        VornWorkFile work(File("workfile.path").string());
        ASSERT_TRUE(work.Create(File(".download.part").string(), -1));
        writeWholeFile(File(".download.part"), std::string(bytes, 's'));
    }

    TempDir m_dir;
    FakeSegmentHost host;
    std::unique_ptr<VornSegmentManager> manager;
};

} // namespace

TEST(SegmentResumeTest, RecordsStoredOutOfOrderLoadWithTheirStoredProgress) {
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"),
                   encoded({{1, 3, -1, 600, 999, 0}, {2, 2, 1, 300, 599, 120}, {0, 0, 2, 0, 299, 300}}));
    f.WorkFile(1000);
    ASSERT_TRUE(f.manager->LoadSegments());
    ASSERT_EQ(f.manager->SegmentCount(), 3u);
    EXPECT_EQ(f.manager->FileSize(), 1000);
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_FILE_SIZE), std::vector<std::string>{"1000"});
    EXPECT_EQ(f.manager->DownloadedTotal(), 420);
    EXPECT_EQ(f.manager->Segment(0)->m_status, SEGMENT_COMPLETED);
    EXPECT_EQ(f.manager->Segment(1)->m_fileNumber, 3);
    EXPECT_EQ(f.manager->Segment(1)->m_received, 0);
    EXPECT_EQ(f.manager->Segment(2)->m_received, 120);
    EXPECT_EQ(f.manager->Segment(2)->m_status, SEGMENT_PENDING);
    EXPECT_EQ(f.manager->CompletedCount(), 1);
    EXPECT_TRUE(f.host.HasLog("3 Segments were loaded from segments.bin file."));
    // The counter went past the largest number in use: a split gets a fresh file.
    FakeSegmentConnection a(0), b(1), c(2);
    VornSegment* got = nullptr;
    ASSERT_EQ(f.manager->AssignSegment(got), 0);
    EXPECT_EQ(got, f.manager->Segment(1)); // first pending in vector order
    a.Take(got);
    ASSERT_EQ(f.manager->AssignSegment(got), 0);
    b.Take(got);
    f.manager.reset();
}

TEST(SegmentResumeTest, AFullTableMergesAtOnce) {
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"), encoded({{0, 0, 1, 0, 99, 100}, {1, 1, -1, 100, 199, 100}}));
    f.WorkFile(200);
    ASSERT_TRUE(f.manager->LoadSegments());
    EXPECT_EQ(f.manager->DownloadedTotal(), 200);
    EXPECT_EQ(f.manager->CompletedCount(), 2);
    EXPECT_EQ(f.host.mergingEntered, 1);
}

struct DoubtfulClaim {
    const char* name;
    int64_t workFileBytes; // -1: no work file
    int64_t firstClaim, secondClaim;
    int64_t firstReceived, secondReceived;
};

class DoubtfulClaimTest : public ::testing::TestWithParam<DoubtfulClaim> {};

// The table is trusted as far as the work file can hold it: a claim beyond its range or beyond the end of
// the work file starts that range again instead of handing out bytes that are not there.
TEST_P(DoubtfulClaimTest, StartsTheRangesThatCannotBeTrustedAgain) {
    const DoubtfulClaim& c = GetParam();
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"),
                   encoded({{0, 0, 1, 0, 99, c.firstClaim}, {1, 1, -1, 100, 199, c.secondClaim}}));
    if (c.workFileBytes >= 0)
        f.WorkFile(static_cast<size_t>(c.workFileBytes));
    bool resumed = f.manager->LoadSegments();
    EXPECT_EQ(resumed, c.firstReceived + c.secondReceived > 0);
    if (!resumed)
        return;
    EXPECT_EQ(f.manager->Segment(0)->m_received, c.firstReceived);
    EXPECT_EQ(f.manager->Segment(1)->m_received, c.secondReceived);
    EXPECT_EQ(f.manager->DownloadedTotal(), c.firstReceived + c.secondReceived);
    EXPECT_EQ(f.host.mergingEntered, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, DoubtfulClaimTest,
                         ::testing::Values(DoubtfulClaim{"AllHeld", 200, 100, 50, 100, 50},
                                           DoubtfulClaim{"BeyondItsRange", 200, 150, 50, 0, 50},
                                           DoubtfulClaim{"Negative", 200, -5, 50, 0, 50},
                                           DoubtfulClaim{"WorkFileCut", 140, 100, 50, 100, 0},
                                           DoubtfulClaim{"WorkFileMissing", -1, 100, 50, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Work folders of older versions kept each range in a segment file and no progress in the table.
TEST(SegmentResumeTest, AnOlderWorkFolderStartsAfreshWithALogLine) {
    for (bool oldTable : {true, false}) {
        ResumeFixture f;
        std::string table = encoded({{0, 0, -1, 0, 99, 10}});
        writeWholeFile(f.File("segments.bin"), oldTable ? table.substr(0, 24) + table.substr(0, 24) : table);
        f.WorkFile(100);
        if (!oldTable)
            writeWholeFile(f.File("seg.x0"), std::string(10, 's'));
        EXPECT_FALSE(f.manager->LoadSegments());
        EXPECT_TRUE(f.host.HasLog("Work folder of an older version found. The download starts afresh."));
        EXPECT_FALSE(std::filesystem::exists(f.File("seg.x0")));
        EXPECT_FALSE(std::filesystem::exists(f.File("segments.bin")));
        EXPECT_FALSE(std::filesystem::exists(f.File(".download.part")));
    }
}

TEST(SegmentResumeTest, TheBackupIsLoadedInsteadOfTheNewerTable) {
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"), encoded({{0, 0, 1, 0, 49, 10}, {1, 1, -1, 50, 99, 0}}));
    writeWholeFile(f.File("segments.bak"), encoded({{0, 0, -1, 0, 99, 10}}));
    f.WorkFile(100);
    ASSERT_TRUE(f.manager->LoadSegments());
    EXPECT_EQ(f.manager->SegmentCount(), 1u);
    EXPECT_EQ(f.manager->Segment(0)->m_end, 99);
    EXPECT_FALSE(std::filesystem::exists(f.File("segments.bak")));
}

TEST(SegmentResumeTest, ATableOfUnknownSizeSetsTheUnknownSizeAndRestarts) {
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"), encoded({{0, 0, -1, 0, 0x9FFFFFFFFFFLL, 5000}}));
    f.WorkFile(5000);
    EXPECT_FALSE(f.manager->LoadSegments());
    EXPECT_EQ(f.host.EventPayloads(ENGINE_EVENT_FILE_SIZE), std::vector<std::string>{"10995116277760"});
    EXPECT_EQ(f.manager->SegmentCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(f.File(".download.part")));
    EXPECT_FALSE(std::filesystem::exists(f.File("segments.bin")));
}

struct BadTable {
    const char* name;
    std::string bytes;
};

class BadTableTest : public ::testing::TestWithParam<BadTable> {};

// Whatever is wrong with the table, resuming fails cleanly and leaves nothing behind to confuse a fresh
// start.
TEST_P(BadTableTest, FailsAndClearsTheWorkFolder) {
    ResumeFixture f;
    writeWholeFile(f.File("segments.bin"), GetParam().bytes);
    f.WorkFile(100);
    EXPECT_FALSE(f.manager->LoadSegments());
    EXPECT_EQ(f.manager->SegmentCount(), 0u);
    EXPECT_EQ(f.manager->DownloadedTotal(), 0);
    EXPECT_EQ(f.manager->FileSize(), UNKNOWN_FILE_SIZE);
    EXPECT_FALSE(std::filesystem::exists(f.File("segments.bin")));
    EXPECT_FALSE(std::filesystem::exists(f.File(".download.part")));
    EXPECT_FALSE(std::filesystem::exists(f.File("workfile.path")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadTableTest,
    ::testing::Values(BadTable{"Empty", ""}, BadTable{"Bytes31", std::string(31, '\0')},
                      BadTable{"Bytes33", encoded({{0, 0, -1, 0, 99, 10}}) + "x"},
                      BadTable{"NothingDownloaded", encoded({{0, 5, -1, 0, 99}})},
                      BadTable{"Overlap", encoded({{0, 0, 1, 0, 59, 10}, {1, 1, -1, 50, 99, 10}})},
                      BadTable{"Gap", encoded({{0, 0, 1, 0, 39, 10}, {1, 1, -1, 50, 99, 10}})},
                      BadTable{"NextOutOfRange", encoded({{0, 0, 5, 0, 49, 10}, {1, 1, -1, 50, 99, 10}})},
                      BadTable{"Cycle", encoded({{0, 0, 1, 0, 49, 10}, {1, 1, 0, 50, 99, 10}})},
                      BadTable{"NotReachable", encoded({{0, 0, -1, 0, 49, 10}, {1, 1, -1, 50, 99, 10}})},
                      BadTable{"DuplicateIndex", encoded({{0, 0, 1, 0, 49, 10}, {0, 1, -1, 50, 99, 10}})},
                      BadTable{"IndexBeyondCount", encoded({{0, 0, 2, 0, 49, 10}, {2, 1, -1, 50, 99, 10}})},
                      BadTable{"NoFirstRange", encoded({{0, 0, 1, 10, 49, 10}, {1, 1, -1, 50, 99, 10}})},
                      BadTable{"EndBeforeStart", encoded({{0, 0, 1, 0, 49, 10}, {1, 1, -1, 50, 20, 10}})},
                      BadTable{"UnknownEndAmongMany",
                               encoded({{0, 0, 1, 0, 49, 10}, {1, 1, -1, 50, 0x9FFFFFFFFFFLL, 10}})}),
    [](const auto& info) { return std::string(info.param.name); });

namespace {

// Downloads a generated file through the manager with fake connections that write into the real work
// file, flushes now and then, crashes (destroys everything without the completed state) at random points,
// sometimes in the middle of a table change and losing what was not flushed, resumes from disk each time,
// and ends with the rename.
class DownloadSimulation {
public:
    DownloadSimulation(uint32_t seed, size_t size) : m_random(seed), m_source(size, '\0') {
        for (auto& byte : m_source)
            byte = static_cast<char>(m_random());
        Restart(false);
    }

    std::wstring Work() const { return m_dir.path().wstring() + L"/"; }
    std::filesystem::path Target() const { return m_dir / "out" / "Misc" / "download.bin"; }

    void Restart(bool resume) {
        m_manager.reset();
        m_connections.clear();
        m_host = std::make_unique<FakeSegmentHost>();
        m_manager = std::make_unique<VornSegmentManager>(m_host.get(), Work(), Work() + L"out/", false);
        m_host->manager = m_manager.get();
        for (int i = 0; i < 6; ++i)
            m_connections.emplace_back(i);
        if (!resume || !m_manager->LoadSegments())
            m_host->SetFileSize(static_cast<int64_t>(m_source.size()));
        ++m_restarts;
    }

    // Runs until the merge; true when the merged file equals the source.
    bool Run() {
        for (int step = 0; step < 200000; ++step) {
            if (m_host->mergingEntered > 0)
                return Merge();
            FakeSegmentConnection& connection = m_connections[m_random() % m_connections.size()];
            if (!connection.segment)
                Assign(connection);
            else
                Work(connection);
            if (step == m_nextCrash && m_restarts < 12) {
                m_nextCrash += 20 + static_cast<int>(m_random() % 40);
                Crash();
            }
        }
        ADD_FAILURE() << "the download did not finish";
        return false;
    }

    int Restarts() const { return m_restarts; }

    // A crash leaves the table as the last write made it: with the work file closed, the manager's end
    // flushes nothing on the way out.
    void CrashRestart() {
        if (m_manager)
            m_manager->WorkFile().Close();
        Restart(true);
    }

private:
    void Assign(FakeSegmentConnection& connection) {
        std::string before = readWholeFile(m_dir / "segments.bin");
        VornSegment* segment = nullptr;
        int result = m_manager->AssignSegment(segment);
        ASSERT_NE(result, VornSegmentManager::ASSIGN_ERROR);
        if (result != VornSegmentManager::ASSIGN_OK)
            return;
        connection.Take(segment);
        // A crash before the backup of this change was deleted: the old table comes back.
        if (m_random() % 40 == 0 && !before.empty()) {
            writeWholeFile(m_dir / "segments.bak", before);
            if (m_random() % 2)
                writeWholeFile(m_dir / "segments.bin", readWholeFile(m_dir / "segments.bin").substr(0, 13));
            CrashRestart();
        }
    }

    void Work(FakeSegmentConnection& connection) {
        VornSegment* segment = connection.segment;
        if (m_random() % 25 == 0) {
            connection.Close(); // a dropped connection
            return;
        }
        if (m_random() % 10 == 0) {
            ASSERT_TRUE(m_manager->Flush(true));
        }
        int64_t n = std::min<int64_t>(1 + m_random() % 30000, segment->RemainingBytes());
        ASSERT_TRUE(m_manager->OpenWorkFile());
        int64_t at = segment->m_start + segment->m_received;
        ASSERT_EQ(::pwrite(m_manager->WorkFileHandle(), m_source.data() + at, static_cast<size_t>(n), at), n);
        if (segment->AddProgress(n)) {
            m_manager->CheckFinished();
            connection.Close();
        }
    }

    void Crash() {
        // What was not flushed may be lost: the stretch of each range past its stored count turns to junk.
        std::string path = m_manager->WorkFile().Path();
        for (size_t i = 0; i < m_manager->SegmentCount() && !path.empty(); ++i) {
            const VornSegment& segment = *m_manager->Segment(i);
            if (segment.m_received > segment.m_stored && m_random() % 3 != 0) {
                std::string junk(static_cast<size_t>(segment.m_received - segment.m_stored), '#');
                VornFd fd(::open(path.c_str(), O_WRONLY));
                ASSERT_TRUE(
                    vornWriteFully(fd.get(), junk.data(), junk.size(), segment.m_start + segment.m_stored));
            }
        }
        for (auto& connection : m_connections)
            connection.segment = nullptr;
        CrashRestart();
    }

    bool Merge() {
        EXPECT_TRUE(m_manager->MergeSegments());
        bool same = readWholeFile(Target()) == m_source;
        m_host->completed = true;
        m_manager.reset();
        for (auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
            EXPECT_TRUE(entry.path().filename() == "out") << entry.path();
        }
        return same;
    }

    TempDir m_dir;
    std::mt19937 m_random;
    std::string m_source;
    std::unique_ptr<FakeSegmentHost> m_host;
    std::unique_ptr<VornSegmentManager> m_manager;
    std::deque<FakeSegmentConnection> m_connections;
    int m_restarts = 0;
    int m_nextCrash = 30;
};

} // namespace

TEST(SegmentResumeTest, DownloadsSurviveCrashesAtAnyPointByteForByte) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        DownloadSimulation simulation(seed, 3 * 1024 * 1024 + seed * 4099);
        EXPECT_TRUE(simulation.Run());
        EXPECT_GT(simulation.Restarts(), 4);
    }
}
