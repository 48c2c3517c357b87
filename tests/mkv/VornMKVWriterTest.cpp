#include "mkv/VornMKVWriter.h"

#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace webmfix;

namespace {

class MKVWriterTest : public ::testing::Test {
protected:
    // Runs the writes on a fresh output and answers what reached the file.
    template <typename Writes> std::string written(Writes writes, bool* result = nullptr) {
        const auto path = m_dir / "out.mkv";
        {
            VornMKVWriter writer(path.wstring());
            const bool ok = writes(writer);
            if (result)
                *result = ok;
        }
        return readWholeFile(path);
    }

    TempDir m_dir;
};

struct SizeCase {
    uint64_t value;
    int length;
    bool ok;
    std::string bytes;
};

TEST_F(MKVWriterTest, WritesSizeFields) {
    const SizeCase cases[] = {
        {0, 0, true, "\x80"},
        {126, 0, true, "\xFE"},
        // All ones is reserved for "unknown", so 127 needs two bytes.
        {127, 0, true, std::string("\x40\x7F", 2)},
        {127, 1, false, ""},
        {1, 8, true, std::string("\x01\x00\x00\x00\x00\x00\x00\x01", 8)},
        {(uint64_t{1} << 56) - 2, 0, true, std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 8)},
        {(uint64_t{1} << 56) - 1, 0, false, ""},
        {5, 9, false, ""},
        {300, -1, true, std::string("\x41\x2C", 2)},
    };
    for (const SizeCase& c : cases) {
        bool ok = false;
        const std::string bytes =
            written([&](VornMKVWriter& w) { return w.writeSize(c.value, c.length); }, &ok);
        EXPECT_EQ(ok, c.ok) << c.value << "/" << c.length;
        EXPECT_EQ(bytes, c.bytes) << c.value << "/" << c.length;
    }
}

TEST_F(MKVWriterTest, WritesIdsAndElements) {
    const std::string bytes = written([](VornMKVWriter& w) {
        return w.writeId(0xEC) && w.writeId(0x4286) && w.writeId(0x2AD7B1) && w.writeId(0x1A45DFA3) &&
               w.writeUnsignedElement(0x83, 0) && w.writeUnsignedElement(0xD7, 256) &&
               w.writeSignedElement(0x75A2, -1) && w.writeSignedElement(0x75A2, 128) &&
               w.writeSignedElement(0x75A2, -129) && w.writeStringElement(0x86, "V_VP8") &&
               w.writeFloat32(1.5f);
    });
    const std::string expected = std::string("\xEC\x42\x86\x2A\xD7\xB1\x1A\x45\xDF\xA3", 10) +
                                 std::string("\x83\x81\x00", 3) + std::string("\xD7\x82\x01\x00", 4) +
                                 std::string("\x75\xA2\x81\xFF", 4) + std::string("\x75\xA2\x82\x00\x80", 5) +
                                 std::string("\x75\xA2\x82\xFF\x7F", 5) + "\x86\x85V_VP8" +
                                 std::string("\x3F\xC0\x00\x00", 4);
    EXPECT_EQ(bytes, expected);
}

// Every Void length the SeekHead area can leave over, including those where the payload alone would
// take a shorter size field than the whole element (127 and 128 bytes, 16384 and 16385 bytes).
TEST_F(MKVWriterTest, VoidFillsExactlyTheGivenLength) {
    std::vector<uint64_t> lengths;
    for (uint64_t length = 2; length <= 400; ++length)
        lengths.push_back(length);
    for (uint64_t length : {16383, 16384, 16385, 16386, 70000})
        lengths.push_back(length);
    for (uint64_t length : lengths) {
        bool ok = false;
        const std::string bytes = written([&](VornMKVWriter& w) { return w.writeVoid(length); }, &ok);
        ASSERT_TRUE(ok) << length;
        ASSERT_EQ(bytes.size(), length);
        std::vector<Node> nodes = walk(bytes, 0, bytes.size());
        ASSERT_EQ(nodes.size(), 1u) << length;
        EXPECT_EQ(nodes[0].id, 0xECu);
        EXPECT_EQ(bytes.find_first_not_of('\0', nodes[0].dataStart), std::string::npos);
    }
    bool ok = true;
    written([](VornMKVWriter& w) { return w.writeVoid(1); }, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(MKVWriterTest, PositionCountsBufferedBytesAndSeeksWriteBack) {
    const std::string bytes = written([](VornMKVWriter& w) {
        std::string big(300 * 1024, 'b');
        EXPECT_TRUE(w.writeRaw("abc", 3));
        EXPECT_EQ(w.outputPosition(), 3);
        EXPECT_TRUE(w.writeRaw(big.data(), big.size()));
        EXPECT_EQ(w.outputPosition(), static_cast<int64_t>(3 + big.size()));
        EXPECT_TRUE(w.seekOutput(1));
        EXPECT_TRUE(w.writeRaw("X", 1));
        EXPECT_EQ(w.outputPosition(), 2);
        return w.closeOutput();
    });
    ASSERT_EQ(bytes.size(), 3 + 300 * 1024u);
    EXPECT_EQ(bytes.substr(0, 4), "aXcb");
}

TEST_F(MKVWriterTest, CopiesFromAnInputInBoundedPieces) {
    std::string media(200 * 1024 + 17, '\0');
    for (size_t i = 0; i < media.size(); ++i)
        media[i] = static_cast<char>(i * 7);
    writeWholeFile(m_dir / "in.webm", media);
    VornMKVFile input((m_dir / "in.webm").wstring(), false);
    const std::string bytes =
        written([&](VornMKVWriter& w) { return w.copyFrom(input, 5, media.size() - 10); });
    EXPECT_EQ(bytes, media.substr(5, media.size() - 10));
}

TEST_F(MKVWriterTest, FailedWriteIsRememberedWithTheSystemError) {
    VornMKVWriter writer(L"/dev/full");
    ASSERT_TRUE(writer.isOpen());
    EXPECT_TRUE(writer.writeRaw("abc", 3)) << "still in the buffer";
    EXPECT_FALSE(writer.flushOutput());
    EXPECT_TRUE(writer.writeFailed());
    EXPECT_EQ(writer.failureSystemCode(), ENOSPC);
    EXPECT_FALSE(writer.writeRaw("d", 1)) << "every write after a failure fails";
    EXPECT_FALSE(writer.closeOutput());
}

TEST_F(MKVWriterTest, OutputThatCouldNotBeCreatedFailsItsFirstWrite) {
    VornMKVWriter writer((m_dir / "missing" / "out.mkv").wstring());
    EXPECT_FALSE(writer.isOpen());
    EXPECT_FALSE(writer.writeId(0xEC));
    EXPECT_TRUE(writer.writeFailed());
}

} // namespace
