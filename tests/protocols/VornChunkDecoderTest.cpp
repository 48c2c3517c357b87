#include "protocols/VornChunkDecoder.h"
#include "protocols/VornBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kReceiveCapacity = 32768;

struct Outcome {
    std::string body;
    int result = VornChunkDecoder::CHUNK_MORE_DATA;
    std::wstring message;
    std::vector<int> results;
};

// Feeds the wire bytes in pieces of the given size, the way a connection's reads arrive.
Outcome decodeInPieces(VornChunkDecoder& decoder, const std::string& wire, size_t piece) {
    VornBuffer<char> receive(kReceiveCapacity);
    Outcome outcome;
    for (size_t at = 0; at < wire.size(); at += piece) {
        const std::string part = wire.substr(at, piece);
        receive.Assign(part.data(), static_cast<uint32_t>(part.size()));
        outcome.result = decoder.Decode(receive, outcome.message);
        outcome.results.push_back(outcome.result);
        outcome.body += receive.ToString();
        EXPECT_EQ(receive.Data()[receive.Length()], '\0');
        if (outcome.result != VornChunkDecoder::CHUNK_MORE_DATA) {
            break;
        }
    }
    return outcome;
}

Outcome decodeInPieces(const std::string& wire, size_t piece) {
    VornChunkDecoder decoder;
    return decodeInPieces(decoder, wire, piece);
}

const std::wstring kMalformed = L"MallFormed Chunk Size Received From Server.";

TEST(VornBuffer, KeepsAZeroAfterItsContents) {
    VornBuffer<char> buffer(8);
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_EQ(buffer.Append("abcdef", 6), 6u);
    EXPECT_STREQ(buffer.Data(), "abcdef");
    buffer.KeepLast(3);
    EXPECT_EQ(buffer.ToString(), "def");
    EXPECT_STREQ(buffer.Data(), "def");
    EXPECT_EQ(buffer.FreeSpace(), 5u);
    buffer.KeepLast(0);
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.Append("x", 0), 0u);
    EXPECT_EQ(buffer.Assign("12", 2), 2u);
    buffer.RemoveFront(1);
    EXPECT_EQ(buffer.ToString(), "2");
    buffer.Clear();
    EXPECT_EQ(buffer.ToString(), "");
    EXPECT_EQ(buffer.Data()[0], '\0');
}

TEST(VornBuffer, NeverWritesPastItsCapacity) {
    VornBuffer<unsigned char> buffer(4);
    const unsigned char bytes[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(buffer.Append(bytes, 3), 3u);
    EXPECT_EQ(buffer.Append(bytes, 3), 1u); // only the free space is taken
    EXPECT_EQ(buffer.Length(), 4u);
    EXPECT_EQ(buffer.Data()[4], 0);
    buffer.Grow(10);
    EXPECT_EQ(buffer.Length(), 4u);
    buffer.KeepLast(99);
    EXPECT_EQ(buffer.Length(), 4u);
    EXPECT_EQ(buffer.Data()[0], 1);
}

TEST(VornBuffer, GrowCountsBytesWrittenInPlaceAndReallocateEmpties) {
    VornBuffer<char> buffer(16);
    std::memcpy(buffer.Data(), "abc", 3);
    buffer.Grow(3);
    EXPECT_EQ(buffer.ToString(), "abc");
    buffer.Reallocate(64);
    EXPECT_EQ(buffer.Capacity(), 64u);
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.FreeSpace(), 64u);
    EXPECT_THROW(VornBuffer<char>(UINT32_MAX), std::bad_alloc);
}

TEST(VornChunkDecoder, DecodesWholeBodiesAndAnyPieceSize) {
    const struct {
        const char* name;
        std::string wire;
        std::string body;
        uint32_t chunks;
    } cases[] = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", 2},
        {"two chunks", "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", "abcdefg", 3},
        {"upper-case hex and blanks", " A \r\n0123456789\r\n0\r\n\r\n", "0123456789", 2},
        {"extension within eight bytes", "3;x=y\r\nabc\r\n0\r\n\r\n", "abc", 2},
        {"trailer after the last chunk", "2\r\nhi\r\n0\r\nX-Trailer: 1\r\n\r\n", "hi", 2},
        {"data holding CRLF", "4\r\n\r\n\r\n\r\n0\r\n\r\n", "\r\n\r\n", 2},
        {"chunk larger than pending", "9000\r\n" + std::string(0x9000, 'z') + "\r\n0\r\n\r\n",
         std::string(0x9000, 'z'), 2},
    };
    for (const auto& c : cases) {
        for (size_t piece : {std::min<size_t>(c.wire.size(), kReceiveCapacity), size_t{1}, size_t{2},
                             size_t{3}, size_t{7}, size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            VornChunkDecoder decoder;
            const Outcome outcome = decodeInPieces(decoder, c.wire, piece);
            EXPECT_EQ(outcome.result, VornChunkDecoder::CHUNK_LAST_READ);
            EXPECT_EQ(outcome.body.size(), c.body.size());
            EXPECT_TRUE(outcome.body == c.body);
            EXPECT_EQ(decoder.ChunkCount(), c.chunks);
            for (size_t i = 0; i + 1 < outcome.results.size(); ++i) {
                EXPECT_EQ(outcome.results[i], VornChunkDecoder::CHUNK_MORE_DATA);
            }
        }
    }
}

TEST(VornChunkDecoder, ReadEndingAfterTheCarriageReturn) {
    VornChunkDecoder decoder;
    VornBuffer<char> receive(kReceiveCapacity);
    std::wstring message;
    receive.Assign("5\r\nhello\r", 9);
    EXPECT_EQ(decoder.Decode(receive, message), VornChunkDecoder::CHUNK_MORE_DATA);
    EXPECT_EQ(receive.ToString(), "hello");
    receive.Assign("\n3\r\nabc\r\n0\r\n\r\n", 15);
    EXPECT_EQ(decoder.Decode(receive, message), VornChunkDecoder::CHUNK_LAST_READ);
    EXPECT_EQ(receive.ToString(), "abc");
}

TEST(VornChunkDecoder, RejectsMalformedSizeLines) {
    const struct {
        std::string wire;
        std::wstring message;
    } cases[] = {
        {"1a;name=v\r\n", kMalformed + L" HexCharsCount= 9"},
        {"\r\nabc", kMalformed + L" HexCharsCount= 0"},
        {"zz\r\n", kMalformed},
        {";ext\r\n", kMalformed},
        {" \t \r\n", kMalformed},
        {"1234567890", kMalformed},   // ten bytes and no line end yet
        {"FFFFFFFF\r\n", kMalformed}, // its CRLF count would wrap 32 bits
        {"3\r\nabc\r\nq\r\n", kMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        const Outcome outcome = decodeInPieces(c.wire, c.wire.size());
        EXPECT_EQ(outcome.result, VornChunkDecoder::CHUNK_MALFORMED);
        EXPECT_EQ(outcome.message, c.message);
    }
}

TEST(VornChunkDecoder, WaitsForASizeLineUpToTenBytes) {
    VornChunkDecoder decoder;
    VornBuffer<char> receive(kReceiveCapacity);
    std::wstring message;
    receive.Assign("1a;x=y000", 9);
    EXPECT_EQ(decoder.Decode(receive, message), VornChunkDecoder::CHUNK_MORE_DATA);
    EXPECT_EQ(receive.Length(), 0u);
    receive.Assign("0", 1);
    EXPECT_EQ(decoder.Decode(receive, message), VornChunkDecoder::CHUNK_MALFORMED);
    EXPECT_EQ(message, kMalformed);

    // The six-byte line 1a;x=y reads as 26 (0x1a).
    const std::string body(26, 'b');
    const Outcome outcome = decodeInPieces("1a;x=y\r\n" + body + "\r\n0\r\n\r\n", 4);
    EXPECT_EQ(outcome.result, VornChunkDecoder::CHUNK_LAST_READ);
    EXPECT_EQ(outcome.body, body);
}

TEST(VornChunkDecoder, FullReceiveBufferWithPendingBytesLosesNothing) {
    // A connection that ignores the pending space still gets every byte decoded.
    std::string wire;
    std::string body;
    for (int i = 0; i < 40; ++i) {
        const std::string data(1000, static_cast<char>('a' + i % 26));
        wire += "3e8\r\n" + data + "\r\n";
        body += data;
    }
    wire += "0\r\n\r\n";
    VornChunkDecoder decoder;
    VornBuffer<char> receive(kReceiveCapacity);
    std::wstring message;
    std::string decoded;
    receive.Assign("3", 1); // leaves a pending size-line byte
    ASSERT_EQ(decoder.Decode(receive, message), VornChunkDecoder::CHUNK_MORE_DATA);
    size_t at = 1;
    int result = VornChunkDecoder::CHUNK_MORE_DATA;
    while (at < wire.size() && result == VornChunkDecoder::CHUNK_MORE_DATA) {
        const size_t n = std::min<size_t>(kReceiveCapacity, wire.size() - at);
        receive.Assign(wire.data() + at, static_cast<uint32_t>(n));
        at += n;
        result = decoder.Decode(receive, message);
        decoded += receive.ToString();
    }
    EXPECT_EQ(result, VornChunkDecoder::CHUNK_LAST_READ);
    EXPECT_EQ(decoded, body);
}

} // namespace
