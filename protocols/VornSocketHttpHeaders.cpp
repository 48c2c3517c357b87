#include "base/VornFileName.h"
#include "base/VornMime.h"
#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornSegment.h"
#include "protocols/VornAuth.h"
#include "protocols/VornChunkDecoder.h"
#include "protocols/VornSocketHttp.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace {

// A header matches when the line starts with its name (case-insensitive) and the name is followed by
// ':' or '=' (or a blank and one of them); the value starts right after.
bool headerValue(const std::string& line, const std::string& name, std::string& value,
                 bool lineMode = false) {
    size_t position = 0;
    if (!vornFindHeaderField(line, name, position, true)) {
        return false;
    }
    value = vornHeaderValue(line, position, lineMode);
    return true;
}

bool parameterValue(const std::string& line, const std::string& name, std::string& value) {
    size_t position = 0;
    if (!vornFindHeaderField(line, name, position, false)) {
        return false;
    }
    value = vornHeaderValue(line, position);
    return true;
}

bool readInt64(const std::string& text, int64_t& number) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    number = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != text.c_str() && *end == '\0';
}

} // namespace

void VornSocketHttp::HandleHeader(const std::string& line) {
    VornDownloadEngine* engine = Engine();
    const bool content = m_statusCode == 200 || m_statusCode == 206;
    std::string value;
    const bool challenge = m_statusCode == 401 || m_statusCode == 407;
    if (challenge) {
        // The challenge's own framing, so that its body is read to the end before the next request.
        m_challengeBody.NoteHeader(line);
    }
    if (content && headerValue(line, "Content-Length", value)) {
        HandleContentLength(value);
        return;
    }
    if (m_statusCode == 206 && headerValue(line, "Content-Range", value)) {
        HandleContentRange(line);
        return;
    }
    // A challenge's page names nothing about the file behind it.
    const bool normal = engine->Mode() == ENGINE_MODE_NORMAL && !challenge;
    if (engine->State() == ENGINE_STATE_STARTING || engine->Mode() == ENGINE_MODE_TS) {
        if (normal && headerValue(line, "Content-Disposition", value)) {
            HandleDisposition(line);
            return;
        }
        if (normal && headerValue(line, "Content-Type", value)) {
            m_contentType = value;
            return;
        }
        if (m_statusCode >= 301 && m_statusCode <= 308 && headerValue(line, "Location", value, true)) {
            ++m_redirectCount;
            m_redirectTarget = value;
            Log(LOG_LEVEL_INFO,
                "Redirect Location Detected By Socket (" + IdText() + " ) = " + m_redirectTarget);
            return;
        }
        if (headerValue(line, "Accept-Ranges", value)) {
            engine->SetAcceptRanges(vornToUpper(value) == "NONE" ? 2 : 1);
            return;
        }
    }
    if (content && headerValue(line, "Transfer-Encoding", value)) {
        if (vornContains(vornToUpper(value), "CHUNKED")) {
            m_chunkDecoder = std::make_unique<VornChunkDecoder>();
            Log(LOG_LEVEL_INFO, "Socket ( " + IdText() + " ) Transfer Type Set to TRANSFER_TYPE_CHUNKED.");
            Log(LOG_LEVEL_DEBUG, "a ChunkHandler was Created for Socket ( " + IdText() + " ).");
            engine->SetChunked(true);
        }
        return;
    }
    if (content && headerValue(line, "Content-Encoding", value)) {
        const std::string upper = vornToUpper(value);
        for (const char* coding : {"ZIP", "DEFLAT", "COMPRES", "BR"}) {
            if (vornContains(upper, coding)) {
                engine->SetRetriesLeft(0);
                ConnectionError(L"Unsupported Content-Encoding : " + vornUtf8ToWide(upper));
                return;
            }
        }
        return;
    }
    if (m_statusCode == 401 && headerValue(line, "WWW-Authenticate", value)) {
        HandleAuthenticate(line, AUTH_KIND_SERVER);
    } else if (m_statusCode == 407 && headerValue(line, "Proxy-Authenticate", value)) {
        HandleAuthenticate(line, AUTH_KIND_PROXY);
    }
}

void VornSocketHttp::HandleContentLength(const std::string& text) {
    VornDownloadEngine* engine = Engine();
    int64_t n = 0;
    if (!readInt64(text, n) || n < 0) {
        ConnectionError(L"Malformed FileSize Received from server.");
        return;
    }
    VornSegment* segment = Segment();
    if (engine->Mode() == ENGINE_MODE_TS) {
        if (segment == nullptr) {
            return;
        }
        if (segment->m_end == UNKNOWN_SEGMENT_END) {
            segment->SetEnd(m_statusCode == 200 ? n - 1 : segment->m_received + n - 1, true);
        } else if (segment->m_length - segment->m_received != n) {
            engine->FailDownload(
                L"TS File has not the same Size as Previous try. You Should Redownload File.");
        }
        return;
    }
    if (engine->FileSize() == UNKNOWN_FILE_SIZE) {
        engine->SetFileSize(n);
        return;
    }
    // A ranged reply runs to the end that was asked for; a whole reply to the end of the file.
    const int64_t end = m_statusCode == 206 && RequestedEnd() >= 0 ? RequestedEnd() + 1 : engine->FileSize();
    if (engine->Mode() == ENGINE_MODE_NORMAL && segment != nullptr &&
        segment->m_start + segment->m_received + n != end) {
        ConnectionError(L"Bad Server Reply. File Size is Incorrect. Redownload File.");
    }
}

void VornSocketHttp::HandleContentRange(const std::string& line) {
    VornDownloadEngine* engine = Engine();
    std::string value;
    headerValue(line, "Content-Range", value, true);
    long long from = 0;
    long long to = 0;
    long long total = 0;
    if (std::sscanf(value.c_str(), "bytes %lld-%lld/%lld", &from, &to, &total) < 3) {
        return;
    }
    VornSegment* segment = Segment();
    if (segment == nullptr || engine->Mode() == ENGINE_MODE_HLS_PLAYLIST) {
        return;
    }
    const int64_t position = segment->m_start + segment->m_received;
    if (engine->Mode() == ENGINE_MODE_TS) {
        const wchar_t* message =
            L"TS File Size is not the same as Previous try.You should redownload it from the "
            L"site you have got it.";
        if (segment->m_end == UNKNOWN_SEGMENT_END) {
            if (segment->m_received <= total) {
                segment->SetEnd(total - 1, true);
            } else {
                engine->FailDownload(message);
            }
        } else if (segment->m_length != total || from != position) {
            engine->FailDownload(message);
        }
        return;
    }
    if (engine->FileSize() == UNKNOWN_FILE_SIZE) {
        engine->SetFileSize(total);
    } else if (total != engine->FileSize() || from != position) {
        ConnectionError(
            L"File Size is not the same as Previous try. You should Redownload File from the site you "
            L"have got it.");
    }
}

void VornSocketHttp::HandleDisposition(const std::string& line) {
    std::string value;
    if (parameterValue(line, "filename*", value)) {
        const size_t apostrophes = value.find("''");
        if (apostrophes != std::string::npos) {
            value = value.substr(apostrophes + 2);
        }
        value = vornTrim(value);
        if (!value.empty()) {
            m_dispositionName = value;
            return;
        }
    }
    if (m_dispositionName.empty() && parameterValue(line, "filename", value)) {
        m_dispositionName = value;
    }
}

void VornSocketHttp::HandleAuthenticate(const std::string& line, int kind) {
    VornDownloadEngine* engine = Engine();
    const bool proxy = kind == AUTH_KIND_PROXY;
    int32_t& type = proxy ? engine->ProxyAuthType() : engine->ServerAuthType();
    std::string& challenge = proxy ? m_proxyChallenge : m_serverChallenge;
    const int32_t offered = vornAuthSchemeOf(line);
    if (offered == type) {
        challenge = line;
    }
    // Several challenges settle on the lowest type offered: Basic, then Digest, then NTLM.
    if (engine->State() == ENGINE_STATE_STARTING && offered < type) {
        type = offered;
        challenge = line;
    }
}

std::wstring VornSocketHttp::DeriveFileName() {
    VornDownloadEngine* engine = Engine();
    const VornDownloadRecord& record = engine->Record();
    if (Url().kind() == URL_KIND_FTP) {
        return vornPercentDecode(Url().saveName());
    }
    const std::string stored = record.storedFileName();
    const std::string lowerType = vornToLower(m_contentType);
    std::string extension;
    if (record.linkType == "hls") {
        extension = "ts";
    } else {
        // A generic type says nothing about the file: misconfigured servers and raw file hosts send
        // text/plain or octet-stream for anything, and "big.bin" must not become "big.txt".
        const std::string bareType = vornTrim(lowerType.substr(0, lowerType.find(';')));
        const bool genericType = bareType == "text/plain" || bareType == "application/octet-stream" ||
                                 bareType == "binary/octet-stream";
        const std::string ownExtension = vornFileExtension(stored);
        const std::string typeExtension =
            genericType && !ownExtension.empty() ? std::string() : vornExtensionForMimeType(m_contentType);
        for (const std::string& candidate :
             {vornFileExtension(m_dispositionName), typeExtension, ownExtension}) {
            if (!candidate.empty()) {
                extension = candidate;
                break;
            }
        }
        if (extension.empty() && vornStartsWith(lowerType, "video/")) {
            extension = "mp4";
        } else if (extension.empty() && vornStartsWith(lowerType, "audio/")) {
            extension = "mp3";
        } else if (extension.empty() && record.linkType == "media") {
            extension = "mp4";
        }
    }
    std::string base;
    if (record.linkType == "media" || record.linkType == "hls") {
        base = vornTrim(record.pageTitle);
    }
    if (base.empty()) {
        base = vornFileBaseName(m_dispositionName);
    }
    if (base.empty()) {
        base = vornFileBaseName(stored);
    }
    std::wstring name = vornValidFileName(vornPercentDecode(base), false).substr(0, 200);
    if (!extension.empty()) {
        name += (L"." + vornUtf8ToWide(extension)).substr(0, 24);
    }
    return name;
}
