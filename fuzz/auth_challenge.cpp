// Authentication challenges as a hostile server writes them: Digest and NTLM answers to arbitrary
// challenge lines and challenge messages, and the reading of a challenge's body in pieces. No crash,
// nothing of the server's ever ends up as a line break in our header, and the body's end does not
// depend on how its bytes were split.
#include "base/VornText.h"
#include "base/VornUrl.h"
#include "protocols/VornAuthDigest.h"
#include "protocols/VornAuthNTLM.h"
#include "protocols/VornHttpBodyDrain.h"
#include "protocols/VornNtlmMessages.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkLine(const std::string& line) {
    check(line.find('\r') == std::string::npos && line.find('\n') == std::string::npos);
}

bool drainEnds(const std::string& body, size_t piece) {
    VornHttpBodyDrain drain;
    drain.NoteHeader("Transfer-Encoding: chunked");
    drain.Start();
    bool ended = !drain.Active();
    for (size_t at = 0; at < body.size() && !ended; at += piece) {
        const std::string part = body.substr(at, piece);
        ended = drain.Feed(part.data(), part.size());
    }
    return ended;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string challenge = "WWW-Authenticate: Digest " + input;
    VornAuthDigest digest(challenge, VornUrl("http://h/f"), "GET", 2, "u", "p");
    std::string line;
    for (int32_t round : {0, 1, 0}) {
        if (digest.BuildHeader(round, challenge, line)) {
            checkLine(line);
        }
    }

    VornNtlmChallenge parsed;
    if (vornNtlmReadChallenge(input, parsed)) {
        check(parsed.serverChallenge.size() == 8 && parsed.targetInfo.size() <= input.size());
    }
    VornAuthNTLM ntlm("http://h/f", 2, "u", "p");
    if (ntlm.BuildHeader(1, "WWW-Authenticate: NTLM " + vornBase64Encode(input), line)) {
        checkLine(line);
    }

    const bool whole = drainEnds(input, input.size() + 1);
    check(drainEnds(input, 1) == whole);
    check(drainEnds(input, 7) == whole);
    return 0;
}
