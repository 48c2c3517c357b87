#pragma once

#include <cstdint>
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
int32_t vornAuthSchemeOf(const std::string& challengeLine);
// The realm parameter of a challenge line, empty when it has none.
std::string vornAuthRealmOf(const std::string& challengeLine);

// One download's authentication handler for a server or a proxy: every request of every connection asks
// it for the Authorization or Proxy-Authorization line.
class VornAuth {
public:
    VornAuth(int32_t schemeType, int32_t kind, const std::string& challenge, const std::string& uri,
             const std::string& user, const std::string& password);
    virtual ~VornAuth() = default;

    virtual void SetCredentials(const std::string& user, const std::string& password);
    // The whole header line for this round; false when none can be built.
    virtual bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) = 0;
    virtual std::string Realm() const { return m_realm; }

    int32_t SchemeType() const { return m_schemeType; }
    int32_t Kind() const { return m_kind; }

protected:
    int32_t m_schemeType;
    int32_t m_kind;
    std::string m_challenge;
    std::string m_uri;
    std::string m_realm;
    std::string m_user;
    std::string m_password;
};

// Basic (RFC 7617): the same line for every round.
class VornAuthBasic : public VornAuth {
public:
    VornAuthBasic(const std::string& challenge, const std::string& uri, int32_t kind, const std::string& user,
                  const std::string& password);
    void SetCredentials(const std::string& user, const std::string& password) override;
    bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) override;

private:
    std::string m_headerLine;
};
