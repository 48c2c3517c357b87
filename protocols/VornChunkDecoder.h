#pragma once

#include "protocols/VornBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

// Undoes HTTP/1.1 chunked transfer coding in place in a connection's receive buffer, so the rest of
// the connection sees a plain body. One decoder per response; not used again after an error.
class VornChunkDecoder {
public:
    static constexpr uint32_t PENDING_CAPACITY = 32768;

    enum Result { CHUNK_MORE_DATA = 0, CHUNK_MALFORMED = 1, CHUNK_LAST_READ = 2 };

    VornChunkDecoder();

    // Takes every byte of receiveBuffer and leaves only decoded body bytes in it. CHUNK_MALFORMED sets
    // the message; CHUNK_LAST_READ means the size-0 chunk was read (its trailer is not).
    int Decode(VornBuffer<char>& receiveBuffer, std::wstring& errorMessage);

    uint32_t ChunkCount() const { return m_chunkCount; }
    uint32_t PendingFreeSpace() const { return m_pending->FreeSpace(); }

private:
    int DecodePending(VornBuffer<char>& output, std::wstring& errorMessage);
    int ReadSizeLine(std::wstring& errorMessage);
    void ReadChunkData(VornBuffer<char>& output);

    std::unique_ptr<VornBuffer<char>> m_pending;
    uint32_t m_chunkCount = 0;
    uint32_t m_chunkSize = 0;
    uint32_t m_stillToConsume = 0;
};
