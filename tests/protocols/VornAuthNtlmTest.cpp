// NTLM messages checked byte for byte against values computed by python3-ntlm-auth
// (tests/support/NtlmReference.py prints them), with the random source and clock fixed.
#include "protocols/VornAuthNTLM.h"
#include "base/VornHash.h"
#include "base/VornText.h"
#include "protocols/VornNtlmMessages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::unique_ptr<VornAuthNTLM> handler(const std::string& user, const std::string& password,
                                      int32_t kind = AUTH_KIND_SERVER) {
    auto ntlm = std::make_unique<VornAuthNTLM>("http://h/f", kind, user, password);
    auto counter = std::make_shared<uint32_t>(0);
    ntlm->SetRandomSource([counter] { return (*counter)++; });
    ntlm->SetClock([] { return int64_t{1700000000}; });
    return ntlm;
}

struct ReferenceCase {
    const char* name;
    const char* user;
    const char* password;
    const char* challenge;
    const char* authenticate;
};

class VornAuthNtlmReference : public ::testing::TestWithParam<ReferenceCase> {
protected:
    void SetUp() override {
        if (!vornLegacyCryptoAvailable()) {
            GTEST_SKIP() << "MD4 and DES are not available";
        }
    }
};

} // namespace

TEST(VornAuthNtlm, NegotiateIsTheSame32BytesForEveryDownload) {
    auto ntlm = handler("u", "p");
    std::string line;
    ASSERT_TRUE(ntlm->BuildHeader(0, "", line));
    EXPECT_EQ(line, "Authorization: NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=");
    // Round 1 without a challenge of this connection's own starts over with negotiate.
    ASSERT_TRUE(ntlm->BuildHeader(1, "", line));
    EXPECT_EQ(line, "Authorization: NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=");
    auto proxy = handler("u", "p", AUTH_KIND_PROXY);
    ASSERT_TRUE(proxy->BuildHeader(0, "Proxy-Authenticate: NTLM", line));
    EXPECT_EQ(line, "Proxy-Authorization: NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_FALSE(proxy->BuildHeader(2, "Proxy-Authenticate: NTLM", line));
}

TEST_P(VornAuthNtlmReference, AuthenticateMessageMatchesTheIndependentImplementation) {
    const ReferenceCase& c = GetParam();
    auto ntlm = handler(c.user, c.password);
    std::string line;
    ASSERT_TRUE(ntlm->BuildHeader(1, std::string("WWW-Authenticate: NTLM ") + c.challenge, line));
    EXPECT_EQ(line, std::string("Authorization: NTLM ") + c.authenticate);
}

INSTANTIATE_TEST_SUITE_P(
    Python, VornAuthNtlmReference,
    ::testing::Values(
        ReferenceCase{
            "V1Unicode", "User", "Password",
            "TlRMTVNTUAACAAAAAAAAADAAAAABggAAASNFZ4mrze8AAAAAAAAAAA4ADgAwAAAAAgAGAEQATwBNAAAAAAA=",
            "TlRMTVNTUAADAAAAGAAYAGIAAAAYABgAegAAABAAEABAAAAACAAIAFAAAAAKAAoAWAAAAAAAAAAAAAAAAYIAAE0AWQBEAE8"
            "ATQBBAEkATgBVAFMARQBSAE0AWQBNAEEAQwBnxDAR8wKYoq017OZPFjMcRL2+2SeEH5RnxDAR8wKYoq017OZPFjMcRL2+2S"
            "eEH5Q="},
        ReferenceCase{
            "V1Oem", "User", "Password",
            "TlRMTVNTUAACAAAAAAAAADAAAAACggAAASNFZ4mrze8AAAAAAAAAAA4ADgAwAAAAAgAGAEQATwBNAAAAAAA=",
            "TlRMTVNTUAADAAAAGAAYAFEAAAAYABgAaQAAAAgACABAAAAABAAEAEgAAAAFAAUATAAAAAAAAAAAAAAAAoIAAE1ZRE9NQUl"
            "OVVNFUk1ZTUFDZ8QwEfMCmKKtNezmTxYzHES9vtknhB+UZ8QwEfMCmKKtNezmTxYzHES9vtknhB+U"},
        ReferenceCase{
            "V2Unicode", "User", "Password",
            "TlRMTVNTUAACAAAAAAAAADAAAAABgggAASNFZ4mrze8AAAAAAAAAAA4ADgAwAAAAAgAGAEQATwBNAAAAAAA=",
            "TlRMTVNTUAADAAAAGAAYAGIAAAA6ADoAegAAABAAEABAAAAACAAIAFAAAAAKAAoAWAAAAAAAAAAAAAAAAYIIAE0AWQBEAE8"
            "ATQBBAEkATgBVAFMARQBSAE0AWQBNAEEAQwBpTY0tHdAefITneuyFPUpaAQIDBAUGBwh2lD8S17oLuTRJ3IgCLfIAAQEAAA"
            "AAAAAAAG3GRxfaAQkKCwwNDg8QAAAAAAIABgBEAE8ATQAAAAAA"},
        // Non-ASCII user and password go out as UTF-16LE, not one byte widened per character.
        ReferenceCase{
            "V2NonAscii", "\xc3\x85sa", "p\xc3\xa4ssw\xc3\xb6rd\xe2\x82\xac",
            "TlRMTVNTUAACAAAAAAAAADAAAAABgggAASNFZ4mrze8AAAAAAAAAAA4ADgAwAAAAAgAGAEQATwBNAAAAAAA=",
            "TlRMTVNTUAADAAAAGAAYAGAAAAA6ADoAeAAAABAAEABAAAAABgAGAFAAAAAKAAoAVgAAAAAAAAAAAAAAAYIIAE0AWQBEAE8"
            "ATQBBAEkATgDFAFMAQQBNAFkATQBBAEMAWXWoNj6H22Ik0zrmiQAIDAECAwQFBgcINfHTgo2DwkK2PRQ5s3W2ZQEBAAAAAA"
            "AAAABtxkcX2gEJCgsMDQ4PEAAAAAACAAYARABPAE0AAAAAAA=="}),
    [](const ::testing::TestParamInfo<ReferenceCase>& info) { return std::string(info.param.name); });

TEST(VornAuthNtlm, NtHashOfANonAsciiPasswordIsMd4OfItsUtf16) {
    if (!vornLegacyCryptoAvailable()) {
        GTEST_SKIP() << "MD4 is not available";
    }
    EXPECT_EQ(vornDigestText(vornNtlmHash("p\xc3\xa4ssw\xc3\xb6rd\xe2\x82\xac")),
              "7f20bf6e69d97371914a8807579cab5c");
    // A character beyond the basic plane takes a surrogate pair.
    EXPECT_EQ(vornNtlmPlacedString("\xf0\x9f\x98\x80", true, false), std::string("\x3d\xd8\x00\xde", 4));
    // Bytes that are not UTF-8 are widened one by one.
    EXPECT_EQ(vornNtlmPlacedString("a\xe9", true, true), std::string("A\0\xe9\0", 4));
}

TEST(VornAuthNtlm, V1SendsTheSame24BytesAsLmAndNtResponse) {
    if (!vornLegacyCryptoAvailable()) {
        GTEST_SKIP() << "MD4 and DES are not available";
    }
    VornNtlmChallenge challenge;
    challenge.flags = 0x00008201;
    challenge.serverChallenge = "\x01\x23\x45\x67\x89\xab\xcd\xef";
    VornNtlmClient client{"MYDOMAIN", "User", "Password", "MYMAC", "", "", 0};
    std::string message;
    ASSERT_TRUE(vornNtlmAuthenticateMessage(challenge, client, message));
    auto buffer = [&](size_t at) {
        const size_t length = static_cast<uint8_t>(message[at]) | static_cast<uint8_t>(message[at + 1]) << 8;
        const size_t offset = static_cast<uint8_t>(message[at + 4]) | static_cast<uint8_t>(message[at + 5])
                                                                          << 8;
        return message.substr(offset, length);
    };
    EXPECT_EQ(buffer(12).size(), 24u);
    EXPECT_EQ(buffer(12), buffer(20));
}

TEST(VornAuthNtlm, MalformedChallengesAreRefused) {
    if (!vornLegacyCryptoAvailable()) {
        GTEST_SKIP() << "MD4 and DES are not available";
    }
    const std::string good = vornBase64Decode(
        "TlRMTVNTUAACAAAAAAAAADAAAAABgggAASNFZ4mrze8AAAAAAAAAAA4ADgAwAAAAAgAGAEQATwBNAAAAAAA=");
    VornNtlmChallenge parsed;
    ASSERT_TRUE(vornNtlmReadChallenge(good, parsed));
    EXPECT_EQ(parsed.targetInfo.size(), 14u);

    std::string wrongSignature = good;
    wrongSignature[0] = 'X';
    std::string wrongType = good;
    wrongType[8] = 3;
    std::string infoOutside = good;
    infoOutside[44] = 60; // offset 60 + length 14 runs past the 62 bytes
    std::string hugeOffset = good;
    hugeOffset[47] = '\xff';
    const std::string cases[] = {good.substr(0, 47), wrongSignature, wrongType, infoOutside, hugeOffset};
    for (const std::string& message : cases) {
        EXPECT_FALSE(vornNtlmReadChallenge(message, parsed));
        auto ntlm = handler("u", "p");
        std::string line = "unchanged";
        EXPECT_FALSE(ntlm->BuildHeader(1, "WWW-Authenticate: NTLM " + vornBase64Encode(message), line));
        EXPECT_EQ(line, "unchanged");
    }
}

TEST(VornAuthNtlm, TheTokenIsFoundAfterTheWordNtlm) {
    EXPECT_EQ(VornAuthNTLM::ChallengeToken("WWW-Authenticate: NTLM TlRM+/9="), "TlRM+/9=");
    EXPECT_EQ(VornAuthNTLM::ChallengeToken("WWW-Authenticate: Negotiate, ntlm  abc, Basic"), "abc");
    EXPECT_EQ(VornAuthNTLM::ChallengeToken("WWW-Authenticate: NTLM"), "");
    EXPECT_EQ(VornAuthNTLM::ChallengeToken("WWW-Authenticate: NTLMX abc"), "");
}
