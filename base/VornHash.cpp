#include "base/VornHash.h"

#include "base/VornText.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <memory>

namespace {

// Loading any provider explicitly stops the automatic default one, so both are loaded together. They
// are unloaded at exit so that leak checkers see a clean process.
class Providers {
public:
    Providers() {
        m_default = OSSL_PROVIDER_load(nullptr, "default");
        m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        if (m_legacy == nullptr) {
            m_reason = "OpenSSL's legacy provider could not be loaded: MD4 and DES are unavailable";
            ERR_clear_error();
        }
    }
    ~Providers() {
        if (m_legacy) {
            OSSL_PROVIDER_unload(m_legacy);
        }
        if (m_default) {
            OSSL_PROVIDER_unload(m_default);
        }
    }
    Providers(const Providers&) = delete;
    Providers& operator=(const Providers&) = delete;

    bool legacy() const { return m_legacy != nullptr; }
    const std::string& reason() const { return m_reason; }

private:
    OSSL_PROVIDER* m_default = nullptr;
    OSSL_PROVIDER* m_legacy = nullptr;
    std::string m_reason;
};

const Providers& providers() {
    static const Providers loaded;
    return loaded;
}

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct MacFree {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

std::string digestOf(const std::string& data, const char* algorithm, size_t length) {
    std::string out(length, '\0');
    if (!vornHash(data, algorithm, reinterpret_cast<uint8_t*>(out.data()), length)) {
        return std::string();
    }
    return out;
}

} // namespace

bool vornLegacyCryptoAvailable(std::string* reason) {
    const Providers& loaded = providers();
    if (reason) {
        *reason = loaded.reason();
    }
    return loaded.legacy();
}

bool vornHash(const std::string& data, const std::string& algorithm, uint8_t* output, size_t outputLength) {
    providers();
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, algorithm.c_str(), nullptr));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!md || !ctx || static_cast<size_t>(EVP_MD_get_size(md.get())) != outputLength) {
        ERR_clear_error();
        return false;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        ERR_clear_error();
        return false;
    }
    std::copy(digest, digest + outputLength, output);
    return true;
}

std::string vornMd5(const std::string& data) {
    return digestOf(data, "MD5", 16);
}
std::string vornMd4(const std::string& data) {
    return digestOf(data, "MD4", 16);
}
std::string vornSha1(const std::string& data) {
    return digestOf(data, "SHA1", 20);
}

std::string vornHmacMd5(const std::string& key, const std::string& data, const std::string& data2,
                        const std::string& data3) {
    providers();
    std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    if (!ctx) {
        ERR_clear_error();
        return std::string();
    }
    char digestName[] = "MD5";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                                 OSSL_PARAM_construct_end()};
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.data());
    bool ok = EVP_MAC_init(ctx.get(), keyBytes, key.size(), params) == 1;
    for (const std::string* part : {&data, &data2, &data3}) {
        ok = ok && EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(part->data()),
                                  part->size()) == 1;
    }
    std::string out(16, '\0');
    size_t length = 0;
    ok = ok &&
         EVP_MAC_final(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length, out.size()) == 1;
    if (!ok || length != 16) {
        ERR_clear_error();
        return std::string();
    }
    return out;
}

std::string vornMd5Text(const std::string& text) {
    uint8_t digest[16] = {};
    vornHash(text, "MD5", digest, sizeof digest);
    return vornDigestText(digest, sizeof digest);
}

std::string vornDesKey(const uint8_t key7[7]) {
    uint64_t bits = 0;
    for (int i = 0; i < 7; ++i) {
        bits = (bits << 8) | key7[i];
    }
    std::string key(8, '\0');
    for (int i = 0; i < 8; ++i) {
        const auto group = static_cast<uint8_t>((bits >> (49 - 7 * i)) & 0x7F);
        const bool evenOnes = __builtin_popcount(group) % 2 == 0;
        key[i] = static_cast<char>((group << 1) | (evenOnes ? 1 : 0));
    }
    return key;
}

std::string vornDesKey(const std::string& key7) {
    uint8_t bytes[7] = {};
    std::copy_n(key7.begin(), std::min<size_t>(key7.size(), 7), bytes);
    return vornDesKey(bytes);
}

bool vornDesEncrypt(const uint8_t key[8], const uint8_t block[8], uint8_t output[8]) {
    providers();
    std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr));
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    uint8_t result[16];
    int length = 0;
    if (!cipher || !ctx || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_EncryptUpdate(ctx.get(), result, &length, block, 8) != 1 || length != 8) {
        ERR_clear_error();
        return false;
    }
    std::copy(result, result + 8, output);
    return true;
}
