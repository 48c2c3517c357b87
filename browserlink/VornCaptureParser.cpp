#include "browserlink/VornCaptureParser.h"

#include "base/VornException.h"
#include "base/VornText.h"
#include "storage/VornSettings.h"

#include <charconv>

namespace {

// Applies the lines of one message to a record; false when the message has to be dropped.
class LineReader {
public:
    explicit LineReader(VornDownloadRecord& record) : m_record(record) {}

    bool apply(const std::string& line);
    void finish();

private:
    bool setUrl(VornUrl& target, const std::string& text);
    void setMethod(const std::string& method);
    void addHeader(const std::string& line);

    VornDownloadRecord& m_record;
    bool m_lengthAdded = false;
};

bool isContentLength(const std::string& line) {
    return vornStartsWith(vornToLower(line), "content-length:");
}

// A value that could split or bend the HTTP request it ends up in.
bool hasControlBytes(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 && c != '\t')
            return true;
    }
    return false;
}

int64_t browserSize(const std::string& text) {
    int64_t size = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || size < 0)
        return 0;
    return size;
}

bool LineReader::apply(const std::string& line) {
    const std::string value = vornTrim(line.substr(line.size() < 2 ? line.size() : 2));
    if (vornStartsWith(line, "1:"))
        setMethod(value);
    else if (vornStartsWith(line, "2:"))
        return setUrl(m_record.url, value);
    else if (vornStartsWith(line, "3:"))
        return setUrl(m_record.secondUrl, value);
    else if (vornStartsWith(line, "User-Agent:"))
        m_record.userAgent = line.substr(11);
    else if (vornStartsWith(line, "4:"))
        m_record.pageTitle = value;
    else if (vornStartsWith(line, "6:"))
        m_record.linkType = value;
    else if (vornStartsWith(line, "9:"))
        m_record.linkTitle = value;
    else if (vornStartsWith(line, "8:"))
        m_record.mimeType = value;
    else if (vornStartsWith(line, "5:"))
        m_record.pageUrl = value;
    else if (vornStartsWith(line, "7:"))
        m_record.fileSize = browserSize(value);
    else if (vornStartsWith(line, "Referer: ")) {
        m_record.referrer = line.substr(9);
        addHeader(line);
    } else {
        addHeader(line);
    }
    return true;
}

bool LineReader::setUrl(VornUrl& target, const std::string& text) {
    if (text.empty()) {
        target = VornUrl();
        return true;
    }
    try {
        VornUrl url(text);
        if (url.kind() == URL_KIND_UNSUPPORTED || url.host().empty())
            return false;
        target = url;
        return true;
    } catch (const VornException&) {
        return false;
    }
}

void LineReader::setMethod(const std::string& method) {
    // The method goes into the request line as it stands.
    if (method.empty() || method.find(' ') != std::string::npos || hasControlBytes(method))
        return;
    m_record.method = method;
    if (method == "POST" && !m_record.postData.empty() && !m_lengthAdded) {
        m_record.requestHeaders.push_back("Content-Length: " + std::to_string(m_record.postData.size()));
        m_lengthAdded = true;
    }
}

void LineReader::addHeader(const std::string& line) {
    // An empty line would end the request's header block early; a lone CR or LF would start a new one.
    if (vornTrim(line).empty() || hasControlBytes(line))
        return;
    m_record.requestHeaders.push_back(line);
}

void LineReader::finish() {
    if (!m_lengthAdded)
        return;
    // The length we computed is the one that matches the body we send; the browser's own goes.
    const std::string ours = "Content-Length: " + std::to_string(m_record.postData.size());
    bool kept = false;
    std::erase_if(m_record.requestHeaders, [&](const std::string& line) {
        if (!isContentLength(line))
            return false;
        if (line == ours && !kept) {
            kept = true;
            return false;
        }
        return true;
    });
}

// The marker ends in '_', so the byte before its ':' or '=' tells the " :" form from the ":" form.
size_t markerStart(const std::string& text, size_t bodyStart) {
    const size_t nameLength = std::char_traits<char>::length(VornCaptureParser::POST_MARKER);
    return bodyStart - 1 - nameLength - (text[bodyStart - 2] == ' ' ? 1 : 0);
}

} // namespace

VornCaptureDefaults VornCaptureDefaults::fromSettings() {
    return VornCaptureDefaults{static_cast<uint8_t>(VornSettings::maxConnections()),
                               static_cast<int64_t>(VornSettings::bandWidthLimit())};
}

VornCaptureParser::VornCaptureParser(VornCaptureDefaults defaults) : m_defaults(defaults) {}

VornCaptureParser VornCaptureParser::withSettings() {
    VornCaptureParser parser;
    parser.m_fromSettings = true;
    return parser;
}

std::optional<VornDownloadRecord> VornCaptureParser::receive(const std::string& text, uint64_t now) {
    if (!admit(now))
        return std::nullopt;
    return parse(text, m_fromSettings ? VornCaptureDefaults::fromSettings() : m_defaults);
}

bool VornCaptureParser::admit(uint64_t now) {
    if (now < m_lastAccepted) {
        // The clock went back: count from here, or every message would be dropped until it catches up.
        m_lastAccepted = now;
        return false;
    }
    if (now - m_lastAccepted < GUARD_MS)
        return false;
    m_lastAccepted = now;
    return true;
}

std::optional<VornDownloadRecord> VornCaptureParser::parse(std::string text,
                                                           const VornCaptureDefaults& defaults) {
    VornDownloadRecord record(-1, "", "", defaults.connections, defaults.bandwidthLimit, "normal");
    size_t bodyStart = 0;
    if (vornFindHeaderField(text, POST_MARKER, bodyStart)) {
        record.postData = text.substr(bodyStart);
        text.resize(markerStart(text, bodyStart));
    }
    LineReader reader(record);
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        if (!reader.apply(text.substr(start, end - start)))
            return std::nullopt;
        start = end + 2;
    }
    reader.finish();
    return record;
}

bool VornCaptureParser::holdsDownloadUrl(const std::string& text) {
    const auto record = parse(text, VornCaptureDefaults{});
    return record && record->url.kind() != URL_KIND_UNSUPPORTED;
}
