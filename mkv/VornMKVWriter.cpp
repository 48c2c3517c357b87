#include "mkv/VornMKVWriter.h"

#include "base/VornException.h"
#include "mkv/VornEbmlSizes.h"
#include "mkv/VornMatroskaIds.h"

#include <algorithm>
#include <bit>

using namespace vornmkv;

namespace {

constexpr size_t kFlushAt = 256 * 1024;
constexpr uint64_t kCopyChunk = 64 * 1024;

} // namespace

VornMKVWriter::VornMKVWriter(const std::wstring& path) : VornMKVFile(path, true) {
    m_buffer.reserve(kFlushAt + kCopyChunk);
}

VornMKVWriter::~VornMKVWriter() {
    closeOutput();
}

bool VornMKVWriter::fail(int32_t systemCode) {
    if (!m_failed)
        m_failureSystemCode = systemCode;
    m_failed = true;
    m_buffer.clear();
    return false;
}

bool VornMKVWriter::writeRaw(const void* bytes, size_t count) {
    if (m_failed)
        return false;
    if (!isOpen())
        return fail(0);
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    m_buffer.insert(m_buffer.end(), data, data + count);
    return m_buffer.size() < kFlushAt || flushOutput();
}

bool VornMKVWriter::flushOutput() {
    if (m_failed)
        return false;
    if (m_buffer.empty())
        return true;
    try {
        write(m_buffer.data(), m_buffer.size());
    } catch (const VornException& error) {
        return fail(error.systemCode());
    }
    m_buffer.clear();
    return true;
}

bool VornMKVWriter::seekOutput(int64_t target) {
    if (!flushOutput())
        return false;
    try {
        seek(target, 0);
    } catch (const VornException& error) {
        return fail(error.systemCode());
    }
    return true;
}

bool VornMKVWriter::closeOutput() {
    bool flushed = !isOpen() || flushOutput();
    close();
    return flushed;
}

bool VornMKVWriter::writeUnsigned(uint64_t value, int byteCount) {
    if (byteCount < 1 || byteCount > 8)
        return false;
    uint8_t bytes[8];
    for (int i = 0; i < byteCount; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * (byteCount - 1 - i)));
    return writeRaw(bytes, static_cast<size_t>(byteCount));
}

bool VornMKVWriter::writeSize(uint64_t value, int length) {
    if (length <= 0)
        length = sizeLength(value);
    if (length < 1 || length > 8 || value > maxSizeValue(length))
        return false;
    return writeUnsigned(value | (uint64_t{1} << (7 * length)), length);
}

bool VornMKVWriter::writeId(uint32_t id) {
    return writeUnsigned(id, idLength(id));
}

bool VornMKVWriter::writeUnsignedElement(uint32_t id, uint64_t value) {
    int length = unsignedLength(value);
    return writeId(id) && writeSize(static_cast<uint64_t>(length), 1) && writeUnsigned(value, length);
}

int VornMKVWriter::signedLength(int64_t value) {
    int length = 1;
    while (length < 8) {
        int64_t limit = int64_t{1} << (8 * length - 1);
        if (value >= -limit && value < limit)
            break;
        ++length;
    }
    return length;
}

bool VornMKVWriter::writeSignedElement(uint32_t id, int64_t value) {
    int length = signedLength(value);
    return writeId(id) && writeSize(static_cast<uint64_t>(length), 1) &&
           writeUnsigned(static_cast<uint64_t>(value), length);
}

bool VornMKVWriter::writeStringElement(uint32_t id, const std::string& text) {
    return writeBytesElement(id, text.data(), text.size());
}

bool VornMKVWriter::writeBytesElement(uint32_t id, const void* bytes, size_t count) {
    return writeId(id) && writeSize(count, 0) && writeRaw(bytes, count);
}

bool VornMKVWriter::writeFloat32(float value) {
    return writeUnsigned(std::bit_cast<uint32_t>(value), 4);
}

bool VornMKVWriter::writeVoid(uint64_t totalLength) {
    if (totalLength < 2)
        return false;
    int length = sizeLength(totalLength - 1);
    if (length == 0)
        return false;
    // The size field keeps the length chosen for the whole element even where the payload alone would
    // take a shorter one: EBML allows it, and the element still fills the space exactly.
    uint64_t payload = totalLength - static_cast<uint64_t>(length) - 1;
    if (!writeId(ID_VOID) || !writeSize(payload, length))
        return false;
    static const uint8_t zeros[4096] = {};
    while (payload > 0) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(payload, sizeof(zeros)));
        if (!writeRaw(zeros, chunk))
            return false;
        payload -= chunk;
    }
    return true;
}

bool VornMKVWriter::writeMasterHeader(uint32_t id, uint64_t payloadSize) {
    return writeId(id) && writeSize(payloadSize, 0);
}

bool VornMKVWriter::copyFrom(VornMKVFile& input, int64_t position, uint64_t count) {
    if (m_copyBuffer.empty())
        m_copyBuffer.resize(kCopyChunk);
    while (count > 0) {
        uint64_t chunk = std::min(count, kCopyChunk);
        if (!input.readBytes(position, chunk, m_copyBuffer.data()))
            VORN_THROW(801, 0, nullptr);
        if (!writeRaw(m_copyBuffer.data(), static_cast<size_t>(chunk)))
            return false;
        position += static_cast<int64_t>(chunk);
        count -= chunk;
    }
    return true;
}
