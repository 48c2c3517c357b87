#pragma once

#include "base/VornFileWindows.h"

#include <cstdint>
#include <string>
#include <vector>

// The common base of the WebM reader and the Matroska muxer: a file opened for reading (with its size
// taken at open) or created for writing, with the EBML reading primitives. The primitives never throw: a
// position outside the file, a failed seek or a short read makes them answer false.
class VornMKVFile : public VornFileWindows {
public:
    // The size of an element written before its end was known (live streams); it fits no bound.
    static constexpr uint64_t UNKNOWN_SIZE = UINT64_MAX;

    // Opening failures do not throw here: a reader left closed has size 0 and nothing parses, and a
    // writer left closed fails its first write.
    VornMKVFile(const std::wstring& path, bool forWriting);

    uint64_t fileSize() const { return m_fileSize; }

    // count bytes at position; the whole range must lie inside the file.
    bool readBytes(int64_t position, uint64_t count, void* buffer);
    // The EBML variable-size integer, marker bit removed; length is 1 to 8.
    bool readSize(int64_t position, uint64_t& value, int& length);
    // An element ID of 1 to 4 bytes, marker bits kept.
    bool readId(int64_t position, uint32_t& id, int& length);
    // Big-endian, length 1 to 8.
    bool readUnsigned(int64_t position, int length, uint64_t& value);
    // A big-endian IEEE 754 single (length 4) or double (length 8); infinities and NaN fail.
    bool readFloat(int64_t position, int length, double& value);
    bool readSigned16(int64_t position, int16_t& value);
    // Exactly length (> 0) bytes.
    bool readString(int64_t position, uint64_t length, std::string& value);
    // Reads an ID and a size field and moves position past both. A size field of all ones (of any
    // length) means the size is unknown and reads as UNKNOWN_SIZE.
    bool readElementHeader(int64_t& position, uint32_t& id, uint64_t& size);
    // The payload of an unsigned element: an empty one is 0, one longer than 8 bytes fails.
    bool readUnsignedPayload(int64_t position, uint64_t size, uint64_t& value);
    // The payload of a signed element, two's complement, sign-extended.
    bool readSignedPayload(int64_t position, uint64_t size, int64_t& value);

protected:
    uint64_t m_fileSize = 0;

private:
    bool inFile(int64_t position, uint64_t count) const;
    bool readDirect(int64_t position, uint64_t count, uint8_t* buffer);
    bool readCached(int64_t position, uint64_t count, uint8_t* buffer);

    // Element headers are a few bytes each; reading them through a window of the file saves a
    // system call for nearly every one.
    std::vector<uint8_t> m_window;
    int64_t m_windowStart = 0;
    uint64_t m_windowLength = 0;
};
