#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Digests and ciphers over OpenSSL libcrypto. Byte strings are std::string of raw bytes.
// A failing step returns false and leaves the output as it was.

// algorithm is "MD5", "MD4" or "SHA1"; output receives outputLength bytes (16, 16, 20).
bool vornHash(const std::string& data, const std::string& algorithm, uint8_t* output, size_t outputLength);
// Raw digests; empty when the algorithm is not available.
std::string vornMd5(const std::string& data);
std::string vornMd4(const std::string& data);
std::string vornSha1(const std::string& data);
// The three parts are hashed in order as one message; empty on failure.
std::string vornHmacMd5(const std::string& key, const std::string& data,
                        const std::string& data2 = std::string(), const std::string& data3 = std::string());
// 32 lower-case hexadecimal digits of the MD5 of the text's bytes.
std::string vornMd5Text(const std::string& text);

// Widens 7 key bytes to the 8 of a DES key: seven bits a byte, odd parity in the lowest bit.
std::string vornDesKey(const uint8_t key7[7]);
std::string vornDesKey(const std::string& key7);
// One block of DES in ECB mode.
bool vornDesEncrypt(const uint8_t key[8], const uint8_t block[8], uint8_t output[8]);

// MD4 and DES live in OpenSSL's "legacy" provider, loaded once on first use. False, with a reason,
// when it could not be loaded (NTLM cannot work then).
bool vornLegacyCryptoAvailable(std::string* reason = nullptr);
