#include "mkv/VornMKVFile.h"

#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace {

std::wstring widePath(const std::filesystem::path& path) {
    return path.wstring();
}

class MKVFileTest : public ::testing::Test {
protected:
    VornMKVFile& fileWith(const std::string& bytes) {
        writeWholeFile(m_dir / "in.bin", bytes);
        m_file = std::make_unique<VornMKVFile>(widePath(m_dir / "in.bin"), false);
        return *m_file;
    }

    TempDir m_dir;
    std::unique_ptr<VornMKVFile> m_file;
};

struct SizeCase {
    std::string bytes;
    bool ok;
    uint64_t value;
    int length;
};

TEST_F(MKVFileTest, ReadsVariableSizeIntegers) {
    const SizeCase cases[] = {
        {"\x81", true, 1, 1},
        {"\xFF", true, 127, 1},
        {std::string("\x40\x02", 2), true, 2, 2},
        {std::string("\x01\x00\x00\x00\x00\x00\x00\x01", 8), true, 1, 8},
        {"\x1A\x45\xDF\xA3", true, 0x0A45DFA3, 4},
        {std::string("\x00\x81", 2), false, 0, 0},
        // Promises two bytes, the file has one.
        {"\x40", false, 0, 0},
    };
    for (const SizeCase& c : cases) {
        uint64_t value = 0;
        int length = 0;
        EXPECT_EQ(fileWith(c.bytes).readSize(0, value, length), c.ok) << testing::PrintToString(c.bytes);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(length, c.length);
        }
    }
}

struct IdCase {
    std::string bytes;
    bool ok;
    uint32_t id;
    int length;
};

TEST_F(MKVFileTest, ReadsIdsWithTheirMarkerBits) {
    const IdCase cases[] = {
        {"\xEC", true, 0xEC, 1},
        {"\x42\x86", true, 0x4286, 2},
        {"\x2A\xD7\xB1", true, 0x2AD7B1, 3},
        {"\x18\x53\x80\x67", true, 0x18538067, 4},
        // The marker bit lies outside the top four bits: a five-byte ID is not allowed.
        {std::string("\x08\x00\x00\x00\x00", 5), false, 0, 0},
        {"\x18\x53", false, 0, 0},
    };
    for (const IdCase& c : cases) {
        uint32_t id = 0;
        int length = 0;
        EXPECT_EQ(fileWith(c.bytes).readId(0, id, length), c.ok) << testing::PrintToString(c.bytes);
        if (c.ok) {
            EXPECT_EQ(id, c.id);
            EXPECT_EQ(length, c.length);
        }
    }
}

TEST_F(MKVFileTest, ReadsNumbersAndStrings) {
    const std::string bytes =
        webmfix::bigEndian(0xFFFE, 2) + webmfix::bigEndian(std::bit_cast<uint32_t>(1.5f), 4) +
        webmfix::bigEndian(std::bit_cast<uint64_t>(-2.25), 8) + "V_VP9" +
        webmfix::bigEndian(std::bit_cast<uint32_t>(std::numeric_limits<float>::infinity()), 4) +
        webmfix::bigEndian(std::bit_cast<uint64_t>(std::nan("")), 8);
    VornMKVFile& file = fileWith(bytes);
    int16_t small = 0;
    ASSERT_TRUE(file.readSigned16(0, small));
    EXPECT_EQ(small, -2);
    uint64_t value = 0;
    ASSERT_TRUE(file.readUnsigned(0, 2, value));
    EXPECT_EQ(value, 0xFFFEu);
    EXPECT_FALSE(file.readUnsigned(0, 0, value));
    EXPECT_FALSE(file.readUnsigned(0, 9, value));
    double number = 0;
    ASSERT_TRUE(file.readFloat(2, 4, number));
    EXPECT_EQ(number, 1.5);
    ASSERT_TRUE(file.readFloat(6, 8, number));
    EXPECT_EQ(number, -2.25);
    EXPECT_FALSE(file.readFloat(2, 5, number));
    EXPECT_FALSE(file.readFloat(19, 4, number)) << "infinity";
    EXPECT_FALSE(file.readFloat(23, 8, number)) << "NaN";
    std::string text;
    ASSERT_TRUE(file.readString(14, 5, text));
    EXPECT_EQ(text, "V_VP9");
    EXPECT_FALSE(file.readString(14, 0, text));
    // A size field that lies about the length is refused before anything is allocated for it.
    EXPECT_FALSE(file.readString(14, uint64_t{1} << 50, text));
}

TEST_F(MKVFileTest, SignedPayloadsAreSignExtended) {
    VornMKVFile& file = fileWith(std::string("\xFF\x7F\x00\x80", 4));
    int64_t value = 0;
    ASSERT_TRUE(file.readSignedPayload(0, 2, value));
    EXPECT_EQ(value, -129);
    ASSERT_TRUE(file.readSignedPayload(2, 2, value));
    EXPECT_EQ(value, 128);
    ASSERT_TRUE(file.readSignedPayload(0, 0, value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(file.readSignedPayload(0, 9, value));
}

TEST_F(MKVFileTest, PositionsOutsideTheFileFailWithoutThrowing) {
    VornMKVFile& file = fileWith("abcd");
    char buffer[8];
    EXPECT_TRUE(file.readBytes(0, 4, buffer));
    EXPECT_FALSE(file.readBytes(-1, 1, buffer));
    EXPECT_FALSE(file.readBytes(4, 1, buffer));
    EXPECT_FALSE(file.readBytes(2, 3, buffer)) << "runs past the end";
    EXPECT_FALSE(file.readBytes(0, 0, buffer));

    VornMKVFile missing(widePath(m_dir / "missing.webm"), false);
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(missing.fileSize(), 0u);
    EXPECT_FALSE(missing.readBytes(0, 1, buffer));
}

TEST_F(MKVFileTest, ElementHeaderAdvancesPastIdAndSize) {
    VornMKVFile& file = fileWith(webmfix::element(0x1A45DFA3, "xyz") + "\x1F\x43");
    int64_t position = 0;
    uint32_t id = 0;
    uint64_t size = 0;
    ASSERT_TRUE(file.readElementHeader(position, id, size));
    EXPECT_EQ(id, 0x1A45DFA3u);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(position, 5);
    position = 8;
    EXPECT_FALSE(file.readElementHeader(position, id, size)) << "truncated ID";
    EXPECT_EQ(position, 8);
}

// A size field of all ones, whatever its length, is the unknown size of a live stream; one short of
// all ones is a size like any other.
TEST_F(MKVFileTest, AllOnesSizeFieldsAreUnknown) {
    const std::pair<std::string, uint64_t> cases[] = {
        {"\xFF", VornMKVFile::UNKNOWN_SIZE},
        {"\x7F\xFF", VornMKVFile::UNKNOWN_SIZE},
        {std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8), VornMKVFile::UNKNOWN_SIZE},
        {"\xFE", 126},
        {"\x7F\xFE", 16382},
    };
    for (const auto& [field, expected] : cases) {
        VornMKVFile& file = fileWith("\xE7" + field + "....");
        int64_t position = 0;
        uint32_t id = 0;
        uint64_t size = 0;
        ASSERT_TRUE(file.readElementHeader(position, id, size));
        EXPECT_EQ(size, expected) << field.size();
        EXPECT_EQ(position, static_cast<int64_t>(1 + field.size()));
    }
}

// Small reads go through a window of the file; every range must still read what the file holds,
// including ranges that straddle the window's edge and reads that jump backwards.
TEST_F(MKVFileTest, ReadsMatchTheFileAcrossTheReadWindow) {
    std::string bytes(300 * 1024, '\0');
    std::mt19937 random(7);
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    VornMKVFile& file = fileWith(bytes);
    std::uniform_int_distribution<int64_t> position(0, static_cast<int64_t>(bytes.size()) - 1);
    std::uniform_int_distribution<uint64_t> length(1, 40000);
    std::string got;
    for (int i = 0; i < 2000; ++i) {
        const int64_t at = i % 3 == 0 ? 65536 - 3 + i % 7 : position(random);
        const uint64_t count =
            std::min<uint64_t>(length(random) % (i % 2 ? 20 : 40000) + 1, bytes.size() - at);
        got.assign(count, '\0');
        ASSERT_TRUE(file.readBytes(at, count, got.data())) << at << " " << count;
        ASSERT_EQ(got, bytes.substr(at, count)) << at << " " << count;
    }
}

TEST_F(MKVFileTest, CreatingForWritingEmptiesAnExistingFile) {
    writeWholeFile(m_dir / "out.mkv", std::string(1000, 'x'));
    {
        VornMKVFile out(widePath(m_dir / "out.mkv"), true);
        ASSERT_TRUE(out.isWritable());
        out.write("new", 3);
    }
    EXPECT_EQ(readWholeFile(m_dir / "out.mkv"), "new");
}

} // namespace
