#pragma once

#include <cstdint>
#include <string>

// The proxy used for one protocol, as the engine and its connections read it. The password is held in
// plain text here and stored scrambled.
struct VornProxyRecord {
    static constexpr int32_t kTypeHttp = 0;
    static constexpr int32_t kTypeSocks = 1;

    // Reads the record of protocol 1 (HTTP), 2 (HTTPS) or 3 (FTP); every missing field has its default.
    static VornProxyRecord read(int32_t protocol);
    // Stores every field in one rewrite, so a reader never sees half of an old and half of a new record.
    static bool write(int32_t protocol, const VornProxyRecord& record);
    // "HTTP", "HTTPS", "FTP", and "UNKOWN" for any other protocol number.
    static std::string prefix(int32_t protocol);

    // kTypeHttp or kTypeSocks (the version then comes from the SocksVersion setting).
    int32_t proxyType = kTypeHttp;
    uint8_t enabled = 0;
    std::string address;
    uint16_t port = 0;
    std::string userName;
    std::string password;
};
