#include "base/VornHash.h"
#include "base/VornHashScramble.h"
#include "base/VornText.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::string hex(const std::string& bytes) {
    return vornDigestText(bytes);
}

std::string fromHex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

TEST(VornHash, LegacyProviderLoads) {
    std::string reason;
    EXPECT_TRUE(vornLegacyCryptoAvailable(&reason)) << reason;
}

TEST(VornHash, Md5MatchesRfc1321) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(hex(vornMd5(input)), expected) << input;
        EXPECT_EQ(vornMd5Text(input), expected) << input;
    }
}

TEST(VornHash, Md4MatchesRfc1320) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {kDigits80, "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(hex(vornMd4(input)), expected) << input;
    }
}

TEST(VornHash, Sha1MatchesFips180) {
    EXPECT_EQ(hex(vornSha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(vornSha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(vornSha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(VornHash, FailureLeavesTheOutputAlone) {
    uint8_t output[16];
    std::fill(std::begin(output), std::end(output), 0xAB);
    EXPECT_FALSE(vornHash("abc", "NO-SUCH-DIGEST", output, sizeof output));
    EXPECT_FALSE(vornHash("abc", "SHA1", output, sizeof output)); // wrong output length
    for (uint8_t b : output) {
        EXPECT_EQ(b, 0xAB);
    }
}

TEST(VornHash, HmacMd5MatchesRfc2104) {
    EXPECT_EQ(hex(vornHmacMd5(std::string(16, '\x0b'), "Hi There")), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hex(vornHmacMd5("Jefe", "what do ya want for nothing?")), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hex(vornHmacMd5(std::string(16, '\xaa'), std::string(50, '\xdd'))),
              "56be34521d144c88dbb8c733f0e8b3f6");
    // The optional parts are one message with the first.
    EXPECT_EQ(vornHmacMd5("Jefe", "what do ", "ya want for", " nothing?"),
              vornHmacMd5("Jefe", "what do ya want for nothing?"));
}

TEST(VornHash, DesKeyWidening) {
    const struct {
        const char* key7;
        const char* key8;
    } cases[] = {
        {"00000000000000", "0101010101010101"}, {"ffffffffffffff", "fefefefefefefefe"},
        {"80000000000000", "8001010101010101"}, // bits taken from the most significant end
        {"00000000000001", "0101010101010102"}, {"fe000000000000", "fe01010101010101"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(vornDesKey(fromHex(c.key7))), c.key8) << c.key7;
    }
}

TEST(VornHash, DesEncryptsClassicVectors) {
    const struct {
        const char* key;
        const char* plain;
        const char* cipher;
    } cases[] = {
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
        {"0101010101010101", "95f8a5e5dd31d900", "8000000000000000"},
    };
    for (const auto& c : cases) {
        const std::string key = fromHex(c.key);
        const std::string plain = fromHex(c.plain);
        uint8_t out[8] = {};
        ASSERT_TRUE(vornDesEncrypt(reinterpret_cast<const uint8_t*>(key.data()),
                                   reinterpret_cast<const uint8_t*>(plain.data()), out));
        EXPECT_EQ(vornDigestText(out, 8), c.cipher);
    }
    // The LAN Manager hash of an empty password: the widened zero key over "KGS!@#$%".
    const std::string key = vornDesKey(std::string(7, '\0'));
    uint8_t out[8] = {};
    ASSERT_TRUE(vornDesEncrypt(reinterpret_cast<const uint8_t*>(key.data()),
                               reinterpret_cast<const uint8_t*>("KGS!@#$%"), out));
    EXPECT_EQ(vornDigestText(out, 8), "aad3b435b51404ee");
}

TEST(VornScramble, RejectsEmptyAndOverlongPasswords) {
    EXPECT_EQ(vornScramble(""), "");
    EXPECT_EQ(vornScramble(std::string(101, 'x')), "");
    const std::string longest = vornScramble(std::string(100, 'x'));
    EXPECT_EQ(longest.size(), 172u);
    // 127 bytes leave one byte over in the last group, so standard Base64 pads it with two '='.
    EXPECT_EQ(longest.substr(170), "==");
    EXPECT_NE(longest[169], '=');
}

TEST(VornScramble, RoundTripsEveryLength) {
    for (size_t length = 1; length <= 100; ++length) {
        std::string password;
        for (size_t i = 0; i < length; ++i) {
            password += static_cast<char>(1 + (i * 37 + length) % 255); // every byte value but 0
        }
        const std::string stored = vornScramble(password);
        ASSERT_EQ(stored.size(), 172u);
        EXPECT_EQ(vornUnscramble(stored), password) << length;
    }
    EXPECT_EQ(vornUnscramble(vornScramble("p\xC3\xA4ss w0rd")), "p\xC3\xA4ss w0rd");
}

TEST(VornScramble, FillerVariesButThePasswordStays) {
    std::set<std::string> stored;
    for (int i = 0; i < 8; ++i) {
        const std::string text = vornScramble("secret");
        EXPECT_EQ(vornUnscramble(text), "secret");
        stored.insert(text);
    }
    EXPECT_GT(stored.size(), 1u);

    // The block is the length byte, the password and printable filler, under the built-in key.
    const std::string key = "5d2e9a41-7c3b-4f18-a6e0-93b1c8d47f25";
    std::string block = vornBase64Decode(*stored.begin());
    ASSERT_EQ(block.size(), 127u);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(block[i] ^ key[i % key.size()]);
    }
    EXPECT_EQ(block.substr(0, 7), std::string(1, char(6 + 32)) + "secret");
    for (size_t i = 7; i < block.size(); ++i) {
        EXPECT_GE(block[i], '!');
        EXPECT_LE(block[i], '~');
    }
}

TEST(VornScramble, DamagedTextsGiveAnEmptyPassword) {
    const std::string key = "5d2e9a41-7c3b-4f18-a6e0-93b1c8d47f25";
    std::string lowLead(127, 'x');
    lowLead[0] = static_cast<char>(' ' ^ key[0]); // decodes to a first byte of 32
    std::string shortBlock = std::string(1, static_cast<char>((32 + 50) ^ key[0])) + "ab";
    shortBlock[1] ^= key[1];
    shortBlock[2] ^= key[2];
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", ""},
        {" " + vornScramble("secret"), ""},
        {"!!!!", ""},
        {vornBase64Encode(lowLead), ""},
        {vornBase64Encode(shortBlock), "ab"}, // a length beyond the block gives what is there
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vornUnscramble(c.text), c.expected) << c.text;
    }
}

} // namespace
