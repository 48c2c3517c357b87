#pragma once

#include <cstdint>
#include <string>

// Protocol kinds of a VornUrl.
constexpr int32_t URL_KIND_UNSUPPORTED = 0;
constexpr int32_t URL_KIND_HTTP = 1;
constexpr int32_t URL_KIND_HTTPS = 2;
constexpr int32_t URL_KIND_FTP = 3;

// A URL parsed once, forgivingly, into its parts and ready-made recombinations. Parsing never rejects a
// text: one it cannot make sense of gives kind URL_KIND_UNSUPPORTED. Only the conversion of an
// internationalised host throws (VornException 2 or 12).
class VornUrl {
public:
    VornUrl() = default;
    explicit VornUrl(const std::string& text);
    VornUrl(const VornUrl&) = default;
    VornUrl& operator=(const VornUrl&) = default;
    VornUrl& operator=(const std::string& text);
    virtual ~VornUrl() = default;

    // Resets every part, trims blanks and tabs from the text and parses it.
    void assign(const std::string& text);

    // Scheme prefix when withScheme; the port is left out only when omitDefaultPort is set and it is the
    // kind's default, so an unsupported kind always shows one.
    std::string hostWithPort(bool withScheme, bool omitDefaultPort) const;
    // "HTTP", "HTTPS", "FTP" or "UnSupported".
    std::string protocolName() const;
    std::string directoryOrRoot() const;
    // The name to save under when nothing better is known.
    std::string saveName() const;

    const std::string& givenText() const { return m_givenText; }
    const std::string& fullUrl() const { return m_fullUrl; }
    const std::string& scheme() const { return m_scheme; }
    const std::string& query() const { return m_query; }
    const std::string& requestTarget() const { return m_requestTarget; }
    const std::string& directory() const { return m_directory; }
    const std::string& baseUrl() const { return m_baseUrl; }
    const std::string& host() const { return m_host; }
    const std::string& hostAsWritten() const { return m_hostAsWritten; }
    const std::string& fragment() const { return m_fragment; }
    const std::string& user() const { return m_user; }
    const std::string& password() const { return m_password; }
    const std::string& fileName() const { return m_fileName; }
    int32_t kind() const { return m_kind; }
    uint16_t port() const { return m_port; }
    uint8_t secure() const { return m_secure; }

    // The scheme repairs applied before parsing (exposed for tests and diagnostics).
    static std::string repair(const std::string& text);

private:
    void reset();
    void parse(const std::string& text);
    std::string splitPath(const std::string& remainder);
    void splitUserInfo(std::string& authority);
    void splitHostAndPort(const std::string& authority);
    void splitBracketedHost(const std::string& authority);
    void finish();

    int32_t m_kind = URL_KIND_UNSUPPORTED;
    uint16_t m_port = 0;
    uint8_t m_secure = 0;
    std::string m_givenText;
    std::string m_fullUrl;
    std::string m_scheme;
    std::string m_query;
    std::string m_requestTarget;
    std::string m_directory;
    std::string m_baseUrl;
    std::string m_host;
    std::string m_hostAsWritten;
    std::string m_fragment;
    std::string m_user;
    std::string m_password;
    std::string m_fileName;
    std::string m_spare;
};

// True when the text holds a CR, an LF or a NUL: such a URL would split a request or a log line, so it
// is refused before anything is sent.
bool vornUrlHasLineBreak(const std::string& text);

// The URL text with the password of its user information taken out ("u:p@h" becomes "u@h"), for
// storing: the password belongs in the scrambled site credentials.
std::string vornUrlWithoutPassword(const std::string& text);

// A request target (or a proxy's absolute URL) as it may travel: controls, blanks, DEL, bytes above
// 0x7E and the characters browsers escape in paths are percent-encoded; existing escapes stay.
std::string vornWireTarget(const std::string& target);

// A Location value resolved against the URL of the request that got it, as RFC 3986 resolves a
// reference: absolute URLs stay, "//host/x" takes the scheme, "/x", "x", "../x", "?q" and "#f" take
// what they lack from the base; dot segments are removed.
std::string vornResolveReference(const VornUrl& base, const std::string& reference);
