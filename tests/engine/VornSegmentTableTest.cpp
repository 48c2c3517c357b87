#include "engine/VornSegmentTable.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::wstring wide(const std::filesystem::path& path) {
    return path.wstring();
}

std::string encoded(const std::vector<VornSegmentRecord>& records) {
    std::string bytes(records.size() * VornSegmentTable::RECORD_SIZE, '\0');
    for (size_t i = 0; i < records.size(); ++i)
        VornSegmentTable::Encode(records[i], reinterpret_cast<unsigned char*>(bytes.data()) +
                                                 i * VornSegmentTable::RECORD_SIZE);
    return bytes;
}

class SegmentTableTest : public ::testing::Test {
protected:
    std::filesystem::path bin() const { return m_dir / "segments.bin"; }
    std::filesystem::path bak() const { return m_dir / "segments.bak"; }
    TempDir m_dir;
    VornSegmentTable table{wide(m_dir / "segments.bin"), wide(m_dir / "segments.bak")};
};

const std::vector<VornSegmentRecord> kTwo = {{0, 0, 1, 0, 549999}, {1, 1, -1, 550000, 999999}};

} // namespace

TEST(SegmentRecordTest, EncodesTheLittleEndianLayout) {
    unsigned char bytes[VornSegmentTable::RECORD_SIZE];
    const VornSegmentRecord record{0x0102, 0x0304, -1, 0x0A0B0C0D0E0F1011LL, 0x9FFFFFFFFFFLL, 0x0123456789LL};
    VornSegmentTable::Encode(record, bytes);
    const unsigned char expected[VornSegmentTable::RECORD_SIZE] = {
        0x02, 0x01, 0x04, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0x00, 0x00, 0x89, 0x67, 0x45, 0x23, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(bytes, expected, sizeof expected));
    EXPECT_EQ(VornSegmentTable::Decode(bytes), record);
}

TEST_F(SegmentTableTest, WriteAllThenLoadGivesTheRecordsAndLeavesNoBackup) {
    ASSERT_TRUE(table.WriteAll(kTwo));
    EXPECT_EQ(readWholeFile(bin()), encoded(kTwo));
    EXPECT_FALSE(std::filesystem::exists(bak()));
    EXPECT_EQ(table.Load(), kTwo);
}

TEST_F(SegmentTableTest, WriteAllOfNothingDeletesTheTable) {
    ASSERT_TRUE(table.WriteAll(kTwo));
    ASSERT_TRUE(table.WriteAll({}));
    EXPECT_FALSE(std::filesystem::exists(bin()));
    EXPECT_FALSE(table.Load());
}

TEST_F(SegmentTableTest, AppendRewritesThePredecessorWhereverItIsStored) {
    // Stored out of index order, as appends leave it.
    ASSERT_TRUE(table.WriteAll({{1, 1, -1, 500, 999}, {0, 0, 1, 0, 499}}));
    ASSERT_TRUE(table.Append({2, 2, -1, 750, 999}, VornSegmentRecord{1, 1, 2, 500, 749}));
    std::vector<VornSegmentRecord> expected = {{1, 1, 2, 500, 749}, {0, 0, 1, 0, 499}, {2, 2, -1, 750, 999}};
    EXPECT_EQ(table.Load(), expected);
    EXPECT_FALSE(std::filesystem::exists(bak()));
}

TEST_F(SegmentTableTest, AppendWithoutItsPredecessorFailsAndChangesNothing) {
    ASSERT_TRUE(table.WriteAll(kTwo));
    EXPECT_FALSE(table.Append({2, 2, -1, 800000, 999999}, VornSegmentRecord{7, 7, 2, 0, 1}));
    EXPECT_EQ(table.LastError(), "Can not Add  new Segment to config-file.");
    EXPECT_EQ(table.Load(), kTwo);
    EXPECT_FALSE(std::filesystem::exists(bak()));
}

TEST_F(SegmentTableTest, FirstAppendCreatesTheTable) {
    ASSERT_TRUE(table.Append({0, 0, -1, 0, 0x9FFFFFFFFFFLL}, std::nullopt));
    EXPECT_EQ(table.Load(), (std::vector<VornSegmentRecord>{{0, 0, -1, 0, 0x9FFFFFFFFFFLL}}));
}

TEST_F(SegmentTableTest, UpdateAtRewritesOnlyAMatchingRecord) {
    ASSERT_TRUE(table.WriteAll({{0, 0, 1, 0, 0x9FFFFFFFFFFLL}, {1, 1, -1, 0, 0x9FFFFFFFFFFLL}}));
    EXPECT_TRUE(table.UpdateAt(1, 4095));
    EXPECT_FALSE(table.UpdateAt(2, 10));
    EXPECT_EQ(table.LastError(), "Can not update Ts-Segment End-Pos");
    EXPECT_EQ(table.Load(),
              (std::vector<VornSegmentRecord>{{0, 0, 1, 0, 0x9FFFFFFFFFFLL}, {1, 1, -1, 0, 4095}}));
}

TEST_F(SegmentTableTest, TablesThatAreNotWholeRecordsDoNotLoad) {
    for (size_t size : {0, 1, 23, 25, 47}) {
        writeWholeFile(bin(), std::string(size, '\x01'));
        EXPECT_FALSE(table.Load()) << size << " bytes";
    }
}

TEST_F(SegmentTableTest, ABackupWinsOverTheNewerTableAndIsConsumed) {
    writeWholeFile(bin(), encoded({{0, 0, -1, 0, 99}}));
    writeWholeFile(bak(), encoded(kTwo));
    EXPECT_EQ(table.Load(), kTwo);
    EXPECT_FALSE(std::filesystem::exists(bak()));
    EXPECT_EQ(readWholeFile(bin()), encoded(kTwo));
}

TEST_F(SegmentTableTest, ABackupAloneRestoresTheTable) {
    writeWholeFile(bak(), encoded(kTwo));
    EXPECT_EQ(table.Load(), kTwo);
}

TEST_F(SegmentTableTest, RemoveDeletesTableBackupAndLeftovers) {
    ASSERT_TRUE(table.WriteAll(kTwo));
    writeWholeFile(bak(), "x");
    writeWholeFile(m_dir / "segments.bak.tmp", "x");
    table.Remove();
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.path()));
}

// The states a crash can leave while the table changes from `before` to `after`; each must load as
// one of the two whole tables, never as a mixture or a part.
TEST_F(SegmentTableTest, EveryCrashPointLoadsTheOldOrTheNewTable) {
    std::vector<VornSegmentRecord> before = {{0, 0, -1, 0, 999999}};
    std::vector<VornSegmentRecord> after = kTwo;
    std::string old = encoded(before), fresh = encoded(after);
    struct CrashState {
        const char* what;
        std::optional<std::string> bin, binTmp, bak, bakTmp;
        bool expectAfter;
    };
    const std::vector<CrashState> states = {
        {"backup being written", old, std::nullopt, std::nullopt, old.substr(0, 10), false},
        {"backup written, not renamed", old, std::nullopt, std::nullopt, old, false},
        {"backup in place", old, std::nullopt, old, std::nullopt, false},
        {"new table half written", old, fresh.substr(0, 30), old, std::nullopt, false},
        {"appended record half written", old + fresh.substr(24, 11), std::nullopt, old, std::nullopt, false},
        {"predecessor rewritten, backup kept", fresh, std::nullopt, old, std::nullopt, false},
        {"backup deleted", fresh, std::nullopt, std::nullopt, std::nullopt, true},
    };
    for (const CrashState& state : states) {
        SCOPED_TRACE(state.what);
        std::filesystem::remove_all(m_dir.path());
        std::filesystem::create_directories(m_dir.path());
        auto put = [&](const char* name, const std::optional<std::string>& content) {
            if (content)
                writeWholeFile(m_dir / name, *content);
        };
        put("segments.bin", state.bin);
        put("segments.bin.tmp", state.binTmp);
        put("segments.bak", state.bak);
        put("segments.bak.tmp", state.bakTmp);
        EXPECT_EQ(table.Load(), state.expectAfter ? after : before);
        // A second load (another crash right after) sees the same table.
        EXPECT_EQ(table.Load(), state.expectAfter ? after : before);
    }
}
