// The chunked transfer decoder on arbitrary server bytes, delivered in pieces of varying size: no
// crash, the buffer's zero stays after its contents, the body is never longer than what came in, and
// the result does not depend on how the bytes were split.
#include "protocols/VornBuffer.h"
#include "protocols/VornChunkDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr uint32_t kReceiveCapacity = 32768;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct Run {
    int result = VornChunkDecoder::CHUNK_MORE_DATA;
    std::string body;
    uint32_t chunks = 0;
};

Run decode(const std::string& wire, const std::string& pieces) {
    VornChunkDecoder decoder;
    VornBuffer<char> receive(kReceiveCapacity);
    std::wstring message;
    Run run;
    size_t at = 0;
    size_t turn = 0;
    while (at < wire.size() && run.result == VornChunkDecoder::CHUNK_MORE_DATA) {
        size_t piece =
            pieces.empty() ? wire.size() : 1 + static_cast<unsigned char>(pieces[turn++ % pieces.size()]);
        piece = std::min({piece, wire.size() - at, size_t{kReceiveCapacity}});
        receive.Assign(wire.data() + at, static_cast<uint32_t>(piece));
        at += piece;
        run.result = decoder.Decode(receive, message);
        check(receive.Length() <= piece);
        check(receive.Data()[receive.Length()] == '\0');
        check(run.result != VornChunkDecoder::CHUNK_MALFORMED || !message.empty());
        run.body += receive.ToString();
    }
    check(run.body.size() <= at);
    run.chunks = decoder.ChunkCount();
    return run;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte says how many of the following bytes choose the piece sizes.
    if (size == 0) {
        return 0;
    }
    const size_t pieceBytes = std::min<size_t>(data[0] % 8, size - 1);
    const std::string pieces(reinterpret_cast<const char*>(data) + 1, pieceBytes);
    const std::string wire(reinterpret_cast<const char*>(data) + 1 + pieceBytes, size - 1 - pieceBytes);

    const Run whole = decode(wire, std::string());
    const Run split = decode(wire, pieces);
    const bool malformed = whole.result == VornChunkDecoder::CHUNK_MALFORMED;
    check(malformed == (split.result == VornChunkDecoder::CHUNK_MALFORMED));
    if (!malformed) {
        check(whole.result == split.result);
        check(whole.body == split.body);
        check(whole.chunks == split.chunks);
    }
    return 0;
}
