// The SOCKS handshake on arbitrary proxy replies, delivered in pieces of varying size, for every version
// and with or without credentials: no crash, every message to send fits its buffer, every refusal says
// why, and after the tunnel is up the buffer holds only bytes that arrived.
#include "protocols/VornBuffer.h"
#include "protocols/VornSocksHandshake.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Byte 0: the version (low two bits), whether credentials are set (bit 2), the target (bits 3-4);
    // byte 1: the piece size; the rest: what the proxy sends.
    if (size < 2) {
        return 0;
    }
    const int32_t version = data[0] & 3;
    const bool credentials = (data[0] & 4) != 0;
    // SOCKS 4 resolves its target locally: only literals and localhost, so no name ever leaves the machine.
    static const char* const targets[] = {"http://127.0.0.1:8080/", "http://localhost/", "https://127.0.0.2/",
                                          "http://0.0.0.0:1/"};
    const size_t piece = 1 + data[1];
    const std::string wire(reinterpret_cast<const char*>(data) + 2, size - 2);

    VornSocksHandshake handshake(VornUrl(targets[(data[0] >> 3) & 3]), credentials ? "user" : "",
                                 credentials ? "password" : "", version);
    VornBuffer<char> received(32768);
    std::wstring message;
    int verdict = handshake.Step(received, message);
    size_t at = 0;
    while (verdict == SOCKS_VERDICT_SEND || verdict == SOCKS_VERDICT_MORE) {
        check(handshake.Buffer().Length() <= SOCKS_BUFFER_CAPACITY);
        check(handshake.Buffer().Data()[handshake.Buffer().Length()] == 0);
        if (verdict == SOCKS_VERDICT_SEND) {
            check(!handshake.Buffer().Empty());
            handshake.Buffer().Clear();
        }
        if (at >= wire.size()) {
            return 0;
        }
        const size_t n = std::min(piece, wire.size() - at);
        received.Assign(wire.data() + at, static_cast<uint32_t>(n));
        at += n;
        message.clear();
        verdict = handshake.Step(received, message);
    }
    if (verdict == SOCKS_VERDICT_DONE) {
        check(handshake.Stage() == SOCKS_STAGE_DONE);
        // What is left followed the reply in the last read.
        const uint32_t left = handshake.Buffer().Length();
        check(left < std::min(piece, wire.size()) + 1);
        check(std::equal(handshake.Buffer().Data(), handshake.Buffer().Data() + left,
                         reinterpret_cast<const unsigned char*>(wire.data()) + at - left));
    } else {
        check(verdict == SOCKS_VERDICT_AUTH_REFUSED || verdict == SOCKS_VERDICT_FAILED);
        check(!message.empty());
    }
    return 0;
}
