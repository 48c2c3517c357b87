#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Authentication scheme types, shared with the engine; a lower type is preferred when several are offered.
constexpr int32_t AUTH_TYPE_BASIC = 1;
constexpr int32_t AUTH_TYPE_DIGEST = 2;
constexpr int32_t AUTH_TYPE_NTLM = 3;
constexpr int32_t AUTH_TYPE_UNSUPPORTED = 4;

// Handler kinds.
constexpr int32_t AUTH_KIND_PROXY = 1;
constexpr int32_t AUTH_KIND_SERVER = 2;

// "AUTH_TYPE_BASIC" ... "AUTH_TYPE_UNSUPPORTED", "Unkown" for other values.
std::string vornAuthTypeName(int32_t type);
// The scheme a WWW-Authenticate or Proxy-Authenticate line offers (Basic, Digest, NTLM, else unsupported).
// A line that lists several schemes ("Negotiate, NTLM") gives the lowest supported one.
int32_t vornAuthSchemeOf(const std::string& challengeLine);
// The realm parameter of a challenge line, empty when it has none.
std::string vornAuthRealmOf(const std::string& challengeLine);

// One download's authentication handler for a server or a proxy: every request of every connection asks
// it for the Authorization or Proxy-Authorization line.
class VornAuth {
public:
    // Pseudo-random values (cnonce, client challenges) and the clock (seconds since 1970); replaceable so
    // that tests can check exact bytes.
    using RandomSource = std::function<uint32_t()>;
    using Clock = std::function<int64_t()>;

    VornAuth(int32_t schemeType, int32_t kind, const std::string& challenge, const std::string& uri,
             const std::string& user, const std::string& password);
    virtual ~VornAuth() = default;
    VornAuth(const VornAuth&) = delete;
    VornAuth& operator=(const VornAuth&) = delete;

    virtual void SetCredentials(const std::string& user, const std::string& password);
    // The whole header line for this round; false when the credentials were refused or the challenge
    // cannot be answered.
    virtual bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) = 0;
    virtual std::string Realm() const { return m_realm; }
    // The method and request target of the request about to be sent, for the schemes that sign them.
    virtual void SetRequest(const std::string& method, const std::string& target);

    int32_t SchemeType() const { return m_schemeType; }
    int32_t Kind() const { return m_kind; }
    const std::string& Uri() const { return m_uri; }

    void SetRandomSource(RandomSource source);
    void SetClock(Clock clock);

protected:
    // "Authorization: " or "Proxy-Authorization: " followed by the scheme word and a blank.
    std::string HeaderPrefix(const char* scheme) const;
    uint32_t NextRandom() { return m_random(); }
    int64_t NowSeconds() { return m_clock(); }

    int32_t m_schemeType;
    int32_t m_kind;
    std::string m_challenge;
    std::string m_uri;
    std::string m_realm;
    std::string m_user;
    std::string m_password;

private:
    RandomSource m_random;
    Clock m_clock;
};
