#include "protocols/VornChunkDecoder.h"

#include "base/VornText.h"

#include <cstring>
#include <string_view>

namespace {

const wchar_t kMalformed[] = L"MallFormed Chunk Size Received From Server.";
constexpr uint32_t kMaxLineWithoutEnd = 10;
constexpr uint32_t kMaxSizeLine = 8;

// Leading hexadecimal digits as an unsigned 32-bit number; false without a digit or when out of range.
bool parseChunkSize(const std::string& text, uint32_t& size) {
    uint64_t value = 0;
    size_t digits = 0;
    for (char c : text) {
        const int digit = vornHexValue(c);
        if (digit < 0) {
            break;
        }
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > UINT32_MAX) {
            return false;
        }
        ++digits;
    }
    size = static_cast<uint32_t>(value);
    return digits > 0;
}

} // namespace

VornChunkDecoder::VornChunkDecoder() : m_pending(std::make_unique<VornBuffer<char>>(PENDING_CAPACITY)) {}

int VornChunkDecoder::Decode(VornBuffer<char>& receiveBuffer, std::wstring& errorMessage) {
    // The decoded bytes are never more than the bytes taken in, so they always fit back into the
    // receive buffer. Input that does not fit into pending at once is fed in turns.
    const std::string input = receiveBuffer.ToString();
    receiveBuffer.Clear();
    size_t offset = 0;
    for (;;) {
        const uint32_t room = m_pending->FreeSpace();
        const auto take = static_cast<uint32_t>(std::min<size_t>(input.size() - offset, room));
        m_pending->Append(input.data() + offset, take);
        offset += take;
        const int result = DecodePending(receiveBuffer, errorMessage);
        if (result != CHUNK_MORE_DATA || offset == input.size()) {
            return result;
        }
    }
}

int VornChunkDecoder::DecodePending(VornBuffer<char>& output, std::wstring& errorMessage) {
    while (!m_pending->Empty()) {
        if (m_chunkSize == 0) {
            const int result = ReadSizeLine(errorMessage);
            if (result != CHUNK_MORE_DATA || m_chunkSize == 0) {
                return result;
            }
        } else {
            ReadChunkData(output);
        }
    }
    return CHUNK_MORE_DATA;
}

// Returns CHUNK_MORE_DATA with the chunk size still 0 when the line is incomplete.
int VornChunkDecoder::ReadSizeLine(std::wstring& errorMessage) {
    const std::string_view pending(m_pending->Data(), m_pending->Length());
    const size_t lineEnd = pending.find("\r\n");
    if (lineEnd == std::string_view::npos) {
        m_chunkSize = 0;
        m_stillToConsume = 0;
        if (pending.size() >= kMaxLineWithoutEnd) {
            errorMessage = kMalformed;
            return CHUNK_MALFORMED;
        }
        return CHUNK_MORE_DATA;
    }
    if (lineEnd == 0 || lineEnd > kMaxSizeLine) {
        errorMessage = std::wstring(kMalformed) + L" HexCharsCount= " + std::to_wstring(lineEnd);
        return CHUNK_MALFORMED;
    }
    uint32_t size = 0;
    // A size whose count with the closing CRLF would wrap 32 bits counts as out of range.
    if (!parseChunkSize(vornTrim(std::string(pending.substr(0, lineEnd))), size) || size > UINT32_MAX - 2) {
        errorMessage = kMalformed;
        return CHUNK_MALFORMED;
    }
    ++m_chunkCount;
    m_chunkSize = size;
    if (size == 0) {
        return CHUNK_LAST_READ;
    }
    m_stillToConsume = size + 2;
    m_pending->RemoveFront(static_cast<uint32_t>(lineEnd + 2));
    return CHUNK_MORE_DATA;
}

void VornChunkDecoder::ReadChunkData(VornBuffer<char>& output) {
    const uint32_t r = m_stillToConsume;
    const uint32_t p = m_pending->Length();
    if (p >= r) {
        if (r > 2) {
            output.Append(m_pending->Data(), r - 2);
        }
        m_pending->RemoveFront(r);
        m_chunkSize = 0;
        m_stillToConsume = 0;
        return;
    }
    if (r >= 2 && p > r - 2) {
        // The data is complete; part of its CRLF is still to come.
        output.Append(m_pending->Data(), r - 2);
    } else {
        output.Append(m_pending->Data(), p);
    }
    m_stillToConsume = r - p;
    m_pending->Clear();
}
