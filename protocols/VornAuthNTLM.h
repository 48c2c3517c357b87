#pragma once

#include "protocols/VornAuth.h"

// NTLM over HTTP: negotiate on round 0, authenticate on round 1 (answering the challenge that came back
// on the same connection); a third challenge means the credentials were refused.
class VornAuthNTLM : public VornAuth {
public:
    VornAuthNTLM(const std::string& uri, int32_t kind, const std::string& user, const std::string& password);
    bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) override;

    // The Base64 token after the word NTLM in a challenge line; empty when there is none.
    static std::string ChallengeToken(const std::string& challengeLine);

private:
    std::string ClientChallenge();
};
