#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads and discards the body of an authentication challenge (401, 407), so that the next request on
// the same connection is sent only once the reply has ended and the next reply starts clean. NTLM
// depends on it: its exchange must stay on one connection.
class VornHttpBodyDrain {
public:
    // Forgets the previous reply; called at every status line.
    void Clear();
    // Notes Content-Length, Transfer-Encoding: chunked and Connection: close from one header line.
    void NoteHeader(const std::string& line);
    // Starts discarding at the end of the header block.
    void Start();
    // Discards body bytes; true once the body has ended (bytes after it are dropped too).
    bool Feed(const char* data, size_t length);
    bool Active() const { return m_active; }
    // The reply said it closes the connection (or its body could not be followed).
    bool Closes() const { return m_closes; }

private:
    bool FeedChunked(const char* data, size_t length);

    enum ChunkStage { CHUNK_SIZE, CHUNK_DATA, CHUNK_DATA_END, CHUNK_TRAILER };

    int64_t m_length = -1;
    bool m_chunked = false;
    bool m_closes = false;
    bool m_active = false;
    uint64_t m_left = 0;
    ChunkStage m_stage = CHUNK_SIZE;
    std::string m_line;
};
