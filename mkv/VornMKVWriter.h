#pragma once

#include "mkv/VornMKVFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The EBML writing primitives over an output file created for writing. Bytes are gathered in a buffer
// and written in large pieces. No primitive throws: a failed write answers false, and so does every
// write after it, so one check at the end of a stage tells whether the whole stage reached the disk.
class VornMKVWriter : public VornMKVFile {
public:
    explicit VornMKVWriter(const std::wstring& path);
    ~VornMKVWriter() override;

    // Where the next byte lands.
    int64_t outputPosition() const { return static_cast<int64_t>(position() + m_buffer.size()); }

    // Big-endian in byteCount bytes (1 to 8).
    bool writeUnsigned(uint64_t value, int byteCount);
    // A size field with its length marker; a length of 0 or less asks for the shortest one. Fails when
    // the value does not fit or the length is above 8.
    bool writeSize(uint64_t value, int length);
    bool writeId(uint32_t id);
    // ID, a one-byte size, the value in its fewest bytes.
    bool writeUnsignedElement(uint32_t id, uint64_t value);
    // ID, a one-byte size, the value in the fewest two's-complement bytes.
    bool writeSignedElement(uint32_t id, int64_t value);
    bool writeStringElement(uint32_t id, const std::string& text);
    bool writeBytesElement(uint32_t id, const void* bytes, size_t count);
    bool writeFloat32(float value);
    // A Void element taking exactly totalLength (at least 2) bytes.
    bool writeVoid(uint64_t totalLength);
    // The ID and the shortest size field of a master element whose payload follows.
    bool writeMasterHeader(uint32_t id, uint64_t payloadSize);
    bool writeRaw(const void* bytes, size_t count);
    // Copies count bytes of an input through a buffer of bounded size. A read that fails throws code
    // 801: the frame promised by the input is not there.
    bool copyFrom(VornMKVFile& input, int64_t position, uint64_t count);

    // Writes out the buffer; seeking and closing do it first.
    bool flushOutput();
    bool seekOutput(int64_t position);
    bool closeOutput();

    bool writeFailed() const { return m_failed; }
    // The system error of the first failed write (0 when none was reported).
    int32_t failureSystemCode() const { return m_failureSystemCode; }

    static int signedLength(int64_t value);

private:
    bool fail(int32_t systemCode);

    std::vector<uint8_t> m_buffer;
    std::vector<uint8_t> m_copyBuffer;
    bool m_failed = false;
    int32_t m_failureSystemCode = 0;
};
