#include "protocols/VornHttpBodyDrain.h"

#include "base/VornText.h"

#include <cerrno>
#include <cstdlib>

namespace {

// A size line or trailer line longer than this is not HTTP.
constexpr size_t kMaxLine = 4096;

bool headerValue(const std::string& line, const char* name, std::string& value) {
    size_t position = 0;
    if (!vornFindHeaderField(line, name, position, true)) {
        return false;
    }
    value = vornHeaderValue(line, position);
    return true;
}

} // namespace

void VornHttpBodyDrain::Clear() {
    *this = VornHttpBodyDrain();
}

void VornHttpBodyDrain::NoteHeader(const std::string& line) {
    std::string value;
    if (headerValue(line, "Content-Length", value)) {
        errno = 0;
        char* end = nullptr;
        const long long length = std::strtoll(value.c_str(), &end, 10);
        if (errno != 0 || end == value.c_str() || *end != '\0' || length < 0) {
            m_closes = true;
        } else {
            m_length = length;
        }
    } else if (headerValue(line, "Transfer-Encoding", value)) {
        m_chunked = vornContains(vornToUpper(value), "CHUNKED");
    } else if (headerValue(line, "Connection", value) || headerValue(line, "Proxy-Connection", value)) {
        if (vornContains(vornToUpper(value), "CLOSE")) {
            m_closes = true;
        }
    }
}

void VornHttpBodyDrain::Start() {
    m_active = true;
    m_stage = CHUNK_SIZE;
    m_line.clear();
    // Without a length or chunked coding the reply carries no body this connection could wait for.
    m_left = !m_chunked && m_length > 0 ? static_cast<uint64_t>(m_length) : 0;
    if (!m_chunked && m_left == 0) {
        m_active = false;
    }
}

bool VornHttpBodyDrain::Feed(const char* data, size_t length) {
    if (!m_active) {
        return true;
    }
    if (m_chunked) {
        m_active = !FeedChunked(data, length);
    } else {
        m_left -= std::min<uint64_t>(m_left, length);
        m_active = m_left > 0;
    }
    return !m_active;
}

bool VornHttpBodyDrain::FeedChunked(const char* data, size_t length) {
    for (size_t at = 0; at < length; ++at) {
        const char c = data[at];
        if (m_stage == CHUNK_DATA) {
            const uint64_t take = std::min<uint64_t>(m_left, length - at);
            m_left -= take;
            at += take - 1;
            if (m_left == 0) {
                m_stage = CHUNK_DATA_END;
            }
            continue;
        }
        if (c != '\n') {
            if (m_line.size() >= kMaxLine) {
                m_closes = true;
                return true;
            }
            m_line += c;
            continue;
        }
        if (!m_line.empty() && m_line.back() == '\r') {
            m_line.pop_back();
        }
        const std::string line = m_line;
        m_line.clear();
        if (m_stage == CHUNK_DATA_END) {
            m_stage = CHUNK_SIZE;
        } else if (m_stage == CHUNK_SIZE) {
            errno = 0;
            char* end = nullptr;
            const unsigned long long size = std::strtoull(line.c_str(), &end, 16);
            if (end == line.c_str() || errno != 0) {
                m_closes = true;
                return true;
            }
            m_left = size;
            m_stage = size == 0 ? CHUNK_TRAILER : CHUNK_DATA;
        } else if (line.empty()) {
            return true;
        }
    }
    return false;
}
